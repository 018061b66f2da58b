// The host runtime's shared record, Host::Impl: the plugin library and its
// engine, the channels, and what the plugin has told the host. Its sources
// by role: host_runtime.cpp (plugin loading and the engine), host_channel.cpp
// (channels and their media), synth_session.cpp (the synthesizer session:
// SPEAK queue, session parameters, state rules, what the client sees) and
// protocol_checker.cpp (the checker).
//
// Threads and ownership:
//  - The control thread (the caller of every public Host method) owns the
//    plugin handle, the engine, the channel list and all pools, and is the
//    only thread that creates or destroys one of them.
//  - Acknowledgements and messages arrive on whatever thread the plugin
//    uses. Their callbacks check the message, copy what the client is told
//    into a HostEvent under `mutex` and only mark requests as answered; the
//    control thread releases answered requests' pools later (Reap), so a
//    pool never disappears under a plugin thread that is still returning
//    from the callback. When a SPEAK ends, the callback passes the next
//    queued SPEAK to the plugin (outside the mutex); a close waits for that.
//    Scratch pools for the text the client is shown are top-level pools.
//  - One media thread per channel reads frames into a buffer the channel
//    owns (see HostChannel).
//
// One mutex guards everything the control thread shares with the plugin's
// threads: the fields marked GUARDED_BY here and in HostChannel. A channel's
// fields name it as impl->mutex, so code working on a channel takes it
// through the channel.
#ifndef CORVEX_HOST_IMPL_H
#define CORVEX_HOST_IMPL_H

#include <condition_variable>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "corvex/apt_log.h"
#include "corvex/host_runtime.hpp"
#include "host_mutex.h"
#include "protocol_checker.h"

#define HOST_LOG(priority, ...) apt_log(def_log_source, APT_LOG_MARK, priority, __VA_ARGS__)

namespace corvex {

class HostChannel;

struct Host::Impl {
  explicit Impl(HostConfig cfg);
  ~Impl();

  const HostConfig config;
  apr_pool_t* root_pool = nullptr;
  apt_dir_layout_t* layout = nullptr;

  // Control thread only.
  void* library = nullptr;
  std::string plugin_name;
  apr_pool_t* engine_pool = nullptr;
  mrcp_engine_t* engine = nullptr;
  mrcp_engine_config_t* engine_config = nullptr;
  bool engine_open_called = false;  // open was accepted; close is owed
  bool engine_closed = false;
  // The live channels by index; a destroyed channel's record goes with it,
  // so a host that opens channels for months does not grow. Indexes are
  // never reused.
  std::map<int, std::unique_ptr<HostChannel>> channels;
  int next_index = 0;

  mutable Mutex mutex;
  // Notified (under mutex) whenever a guarded field changes.
  mutable std::condition_variable changed;
  std::vector<HostEvent> events GUARDED_BY(mutex);
  bool engine_open_acked GUARDED_BY(mutex) = false;
  bool engine_open_status GUARDED_BY(mutex) = false;
  bool engine_close_acked GUARDED_BY(mutex) = false;
  ProtocolChecker checker GUARDED_BY(mutex);
  std::size_t violations_logged GUARDED_BY(mutex) = 0;

  static HostEvent NewEvent(HostEvent::Kind kind, int channel);
  // A client-side copy of message.
  static HostEvent MessageEvent(int channel, const mrcp_message_t* message);

  // Appends an event and wakes the waiters.
  void Push(HostEvent&& event) REQUIRES(mutex);
  // Logs the checker's new findings.
  void LogViolations() REQUIRES(mutex);

  // The live channel at `index`, or null (logged when `caller` is given).
  // Control thread.
  HostChannel* Find(int index, const char* caller) const;
  // Waits until the engine's open (or close) was acknowledged; false on time-out.
  bool WaitEngineAck(bool open, std::chrono::milliseconds wait) const EXCLUDES(mutex);
  // Destroys a channel and drops its record (control thread).
  bool DestroyChannel(HostChannel* channel);
  void TeardownChannels();
  bool HasUnclosed() const;
  void Unload();
};

using Impl = Host::Impl;

}  // namespace corvex

#endif  // CORVEX_HOST_IMPL_H
