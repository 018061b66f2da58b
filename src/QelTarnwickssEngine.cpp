#include "QelTarnwickssEngine.h"

#include <apr_env.h>

#include <algorithm>

#include "OdaEdpfGlobal.h"
#include "OdaEdpfLogger.h"
#include "QelCloudWorkers.h"
#include "QelLogRedirectDevice.h"
#include "QelLogUrls.h"
#include "QelTarnwickssChannel.h"
#include "QelTarnwickssPlugin.h"
#include "brillify/BrillCloudRequester.h"
#include "brillify/Module.h"

namespace TARNWICKSS {

namespace {
// The engine names its files after itself unless the configuration says
// otherwise.
constexpr const char* kEngineFilePrefix = "tarnwickss-";
}  // namespace

Engine::Engine(const std::string& name) : name_(name) {
  OdaEdpf::GlobalInit();
  if (init_sdk_) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Init Tarnwick SDK");
    init_o_integer_module();
  }
  waveform_manager_settings_.file_prefix = kEngineFilePrefix;
  sdr_manager_settings_.file_prefix = kEngineFilePrefix;
}

Engine::~Engine() {
  DestroyEventProcessor();
  DestroyLogger();
  if (shutdown_sdk_) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Shutdown Tarnwick SDK");
    cleanup_o_integer_module();
  }
  OdaEdpf::GlobalDeinit();
}

bool Engine::Open() {
  if (!host_engine_ || !LoadConfig("tarnwickss.xml", "tarnwickss", host_engine_->dir_layout, host_engine_->pool)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Load QEL TARNWICKSS Config");
    return false;
  }
  if (!CreateLogger()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Logger");
    return false;
  }
  if (!CreateEventProcessor()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Event Processor");
    return false;
  }
  return true;
}

bool Engine::Close() {
  DestroyEventProcessor();
  DestroyLogger();
  mrcp_engine_close_respond(host_engine_);
  return true;
}

bool Engine::CreateLogger() {
  if (logger_) return true;
  logger_ = OdaEdpf::Logger::CreateInstance();
  auto* device = new LogRedirectDevice();
  // Refused when another holder registered its own already; ours stays ours.
  if (!logger_->AddLogDevice(device)) delete device;
  logger_->Start();
  return true;
}

void Engine::DestroyLogger() {
  if (!logger_) return;
  logger_ = nullptr;
  OdaEdpf::Logger::DestroyInstance();
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

void Engine::OnTimeoutElapsed(OdaEdpf::Timer* timer) {
  if (timer && timer == usage_refresh_timer_) RunMonitoringHandler(monitoring_settings_.usage_refresh_handler);
}

bool Engine::ProcessStart() {
  OnUsageChange();
  ProcessOpen();
  if (!CreateBrillRequester()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Brill Requester");
    Cleanup();
    return false;
  }
  if (!CreateWaveformManager(waveform_manager_settings_)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Waveform Manager");
    Cleanup();
    return false;
  }
  if (!CreateSdrManager(sdr_manager_settings_)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create SDR Manager");
    Cleanup();
    return false;
  }
  if (!CreateCloudWorkers()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Cloud Workers");
    Cleanup();
    return false;
  }
  OnUsageChange();
  StartUsageRefreshTimer();
  return true;
}

bool Engine::ProcessOpen() {
  const std::string& proxy = synth_settings_.http_proxy;
  if (!proxy.empty()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Set HTTP Proxy %s", MaskUrlUserInfo(proxy).c_str());
    apr_env_set("http_proxy", proxy.c_str(), host_engine_ ? host_engine_->pool : nullptr);
  }
  return true;
}

void Engine::ProcessShutdown() {
  OnUsageChange();
  // Channels destroyed from now on are deleted without this thread.
  open_channels_.clear();
  // Still queued: the processor's timer queue deletes it with the processor.
  usage_refresh_timer_ = nullptr;
  Cleanup();
}

void Engine::Cleanup() {
  // First: the workers send what the requester composed.
  DestroyCloudWorkers();
  DestroyBrillRequester();
  DestroyWaveformManager();
  DestroySdrManager();
}

bool Engine::CreateSdrManager(const SdrManager::Settings& settings) {
  if (sdr_manager_) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "SDR Manager Already Exists");
    return false;
  }
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create SDR Manager");
  sdr_manager_ = new SdrManager(settings);
  sdr_manager_->SetTimerProcessor(event_processor_);
  // The folder is loaded (created, purged, aged) whether or not records are
  // saved; a folder problem does not stop the engine.
  sdr_manager_->LoadFileEntries();
  return true;
}

void Engine::DestroySdrManager() {
  if (!sdr_manager_) return;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Destroy SDR Manager");
  delete sdr_manager_;
  sdr_manager_ = nullptr;
}

bool Engine::CreateCloudWorkers() {
  const int count = synth_settings_.cloud_workers;
  if (count <= 0 || cloud_workers_) return true;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create Cloud Workers [%d]", count);
  cloud_workers_ = CloudWorkers::Create(count, event_processor_);
  if (cloud_workers_ && static_cast<int>(cloud_workers_->size()) < count) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Started [%d] of [%d] Cloud Workers",
            static_cast<int>(cloud_workers_->size()), count);
  }
  return cloud_workers_ != nullptr;
}

void Engine::DestroyCloudWorkers() {
  if (!cloud_workers_) return;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Destroy Cloud Workers");
  cloud_workers_.reset();
}

void Engine::DestroyBrillRequester() {
  if (!requester_) return;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Destroy Brill Requester");
  delete requester_;
  requester_ = nullptr;
}

bool Engine::CreateWaveformManager(const WaveformManager::Settings& settings) {
  if (waveform_manager_) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Waveform Manager Already Exists");
    return false;
  }
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create Waveform Manager");
  waveform_manager_ = new WaveformManager(settings, synth_settings_.caching);
  waveform_manager_->SetTimerProcessor(event_processor_);
  if (waveform_manager_->LoadFileEntries()) return true;
  // Only the cache and saved waveforms write there; without them the folder
  // is read only for local files, which then fail one by one.
  if (synth_settings_.caching || settings.save_waveforms) return false;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
          "Waveform Folder Not Usable [%s], Caching and Saving Waveforms Are Off",
          waveform_manager_->directory().c_str());
  return true;
}

void Engine::DestroyWaveformManager() {
  if (!waveform_manager_) return;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Destroy Waveform Manager");
  // What the next start-up would otherwise read from every attribute file.
  apr_pool_t* pool = nullptr;
  if (waveform_manager_->caching() && apr_pool_create(&pool, nullptr) == APR_SUCCESS) {
    waveform_manager_->SaveCacheIndex(pool);
    apr_pool_destroy(pool);
  }
  delete waveform_manager_;
  waveform_manager_ = nullptr;
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

void Engine::OnDestroyChannel(Channel* channel) {
  // Only a channel destroyed without its close acknowledged is still listed.
  const std::size_t before = open_channels_.size();
  open_channels_.remove(channel);
  if (open_channels_.size() != before) OnUsageChange();
}

}  // namespace TARNWICKSS
