#include "QelTarnwickssEngine.h"

#include <algorithm>

#include "OdaEdpfGlobal.h"
#include "QelTarnwickssChannel.h"
#include "QelTarnwickssPlugin.h"
#include "brillify/BrillCloudRequester.h"
#include "brillify/Module.h"

namespace TARNWICKSS {

Engine::Engine(const std::string& name) : name_(name) {
  OdaEdpf::GlobalInit();
  if (init_sdk_) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Init Tarnwick SDK");
    init_o_integer_module();
  }
}

Engine::~Engine() {
  DestroyEventProcessor();
  if (shutdown_sdk_) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Shutdown Tarnwick SDK");
    cleanup_o_integer_module();
  }
  OdaEdpf::GlobalDeinit();
}

bool Engine::Open() {
  if (!CreateEventProcessor()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Event Processor");
    return false;
  }
  return true;
}

bool Engine::Close() {
  DestroyEventProcessor();
  mrcp_engine_close_respond(host_engine_);
  return true;
}

bool Engine::CreateEventProcessor() {
  if (event_processor_) return false;
  event_processor_ = new OdaEdpf::SoftEventProcessor();
  event_processor_->AddObserver(this);
  if (!event_processor_->Start()) {
    delete event_processor_;
    event_processor_ = nullptr;
    return false;
  }
  return true;
}

void Engine::DestroyEventProcessor() {
  if (!event_processor_) return;
  event_processor_->Shutdown(true);
  delete event_processor_;
  event_processor_ = nullptr;
}

bool Engine::OnStart(OdaEdpf::SoftEventProcessor* /*processor*/) {
  bool result = ProcessStart();
  mrcp_engine_open_respond(host_engine_, result ? TRUE : FALSE);
  return result;
}

void Engine::OnShutdown(OdaEdpf::SoftEventProcessor* /*processor*/) { ProcessShutdown(); }

void Engine::OnTimeoutElapsed(OdaEdpf::Timer* /*timer*/) {}

bool Engine::ProcessStart() {
  OnUsageChange();
  ProcessOpen();
  OnUsageChange();
  return true;
}

bool Engine::ProcessOpen() { return true; }

void Engine::ProcessShutdown() {
  OnUsageChange();
  Cleanup();
}

void Engine::Cleanup() { DestroyBrillRequester(); }

void Engine::DestroyBrillRequester() {
  if (!requester_) return;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Destroy Brill Requester");
  delete requester_;
  requester_ = nullptr;
}

void Engine::OnOpenChannel(Channel* channel) {
  open_channels_.push_back(channel);
  max_used_ = std::max<std::uint64_t>(max_used_, open_channels_.size());
  OnUsageChange();
}

void Engine::OnCloseChannel(Channel* channel) {
  open_channels_.remove(channel);
  OnUsageChange();
}

void Engine::OnUsageChange() {}

}  // namespace TARNWICKSS
