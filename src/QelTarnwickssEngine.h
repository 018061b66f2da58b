// The synthesizer engine: the one object a loaded plugin keeps for the life
// of the process.
//
// Ownership: the server owns the engine's lifetime (mrcp_plugin_create builds
// it, the engine table's destroy deletes it). The engine owns its event
// processor and everything created on it at start-up; channels are created by
// the engine table's create_channel and destroyed by the server.
//
// Threads: the constructor, Open, Close and the destructor run on the
// server's control thread, one after the other (the server never overlaps
// them). OnStart, OnShutdown, OnTimeoutElapsed and every channel task run on
// the event-processor thread; OnOpenChannel, OnCloseChannel and the list of
// open channels are confined to that thread and take no lock.
#ifndef QEL_TARNWICKSS_ENGINE_H
#define QEL_TARNWICKSS_ENGINE_H

#include <cstdint>
#include <list>
#include <string>

#include "OdaEdpfSoftEventProcessor.h"
#include "OdaEdpfTimer.h"
#include "corvex/mrcp_engine.h"

class BrillCloudRequester;

namespace TARNWICKSS {

class Channel;

class Engine : public OdaEdpf::SoftEventProcessor::Observer, public OdaEdpf::TimerHandler {
 public:
  // Initialises the runtime and, when init-sdk holds (it does until a
  // configuration says otherwise), the cloud SDK.
  explicit Engine(const std::string& name);
  // Stops whatever Close left running, shuts the SDK down when shutdown-sdk
  // holds and releases the runtime.
  ~Engine() override;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Starts the engine; the server learns the result later, from the
  // event-processor thread (OnStart). False when nothing was started.
  virtual bool Open();
  // Stops the processor (running OnShutdown on it), releases the rest and
  // acknowledges the close. Always true.
  virtual bool Close();

  // Observer of the event processor; runs on its thread.
  bool OnStart(OdaEdpf::SoftEventProcessor* processor) override;
  void OnShutdown(OdaEdpf::SoftEventProcessor* processor) override;
  // Timer handler; runs on the event-processor thread.
  void OnTimeoutElapsed(OdaEdpf::Timer* timer) override;

  // Channel bookkeeping, on the event-processor thread.
  void OnOpenChannel(Channel* channel);
  void OnCloseChannel(Channel* channel);

  void SetHostEngine(mrcp_engine_t* host_engine) { host_engine_ = host_engine; }
  mrcp_engine_t* host_engine() const { return host_engine_; }
  OdaEdpf::SoftEventProcessor* event_processor() const { return event_processor_; }
  BrillCloudRequester* requester() const { return requester_; }
  const std::string& name() const { return name_; }
  std::size_t in_use_count() const { return open_channels_.size(); }
  std::uint64_t max_used() const { return max_used_; }

 private:
  bool CreateEventProcessor();
  void DestroyEventProcessor();

  bool ProcessStart();
  bool ProcessOpen();
  void ProcessShutdown();
  void Cleanup();
  void DestroyBrillRequester();

  // Reports a change of the channel usage; the status outputs hang off it.
  void OnUsageChange();

  std::string name_;
  mrcp_engine_t* host_engine_ = nullptr;
  OdaEdpf::SoftEventProcessor* event_processor_ = nullptr;
  bool init_sdk_ = true;
  bool shutdown_sdk_ = true;
  BrillCloudRequester* requester_ = nullptr;
  std::list<Channel*> open_channels_;  // not owned; event-processor thread only
  std::uint64_t max_used_ = 0;         // never lowered
};

}  // namespace TARNWICKSS

#endif  // QEL_TARNWICKSS_ENGINE_H
