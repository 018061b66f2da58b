// The host runtime's shared record (Host::Impl) and its channel records,
// seen by the runtime's sources: host_runtime.cpp (plugin loading and the
// engine), host_channel.cpp (channels and their media) and synth_session.cpp
// (the synthesizer session: SPEAK queue, session parameters, what the client
// sees).
//
// Threads and ownership:
//  - The control thread (the caller of every public Host method) owns the
//    plugin handle, the engine, the channel list and all pools, and is the
//    only thread that creates or destroys one of them.
//  - Acknowledgements and messages arrive on whatever thread the plugin
//    uses. Their callbacks check the message, copy what the client is told
//    into a HostEvent under mutex and only mark requests as answered; the
//    control thread releases answered requests' pools later (Reap), so a
//    pool never disappears under a plugin thread that is still returning
//    from the callback. When a SPEAK ends, the callback passes the next
//    queued SPEAK to the plugin (outside the mutex); a close waits for that.
//    Scratch pools for the text the client is shown are top-level pools.
//  - One media thread per channel reads frames into a buffer the channel owns;
//    it touches only its channel's stream, buffer, sinks, stop flag and the
//    atomics of the underrun count.
//
// A request's pool is a sub-pool of its channel's pool and is released once
// the request had its final answer (as the protocol checker tells) or with
// the channel. A channel is destroyed only after its close was acknowledged.
#ifndef CORVEX_HOST_IMPL_H
#define CORVEX_HOST_IMPL_H

#include <apr_time.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <deque>
#include <list>
#include <map>
#include <utility>

#include "corvex/apt_log.h"
#include "corvex/host_runtime.hpp"
#include "message_headers.h"
#include "protocol_checker.h"

#define HOST_LOG(priority, ...) apt_log(def_log_source, APT_LOG_MARK, priority, __VA_ARGS__)

namespace corvex {

struct Host::Impl {
  struct Request {
    mrcp_message_t* message = nullptr;
    apr_pool_t* pool = nullptr;
    mrcp_request_id id = 0;
    mrcp_method_id method = 0;
    std::uint64_t seq = 0;  // order of sending on the channel; 0 until sent
    bool sent = false;
    bool forwarded = false;                // passed to the plugin
    bool queued = false;                   // answered PENDING by the host before the plugin had it
    bool answered = false;                 // had its final answer; the pool may go
    bool kill_on_barge_in = true;          // a SPEAK, with the session's headers
    std::vector<mrcp_request_id> targets;  // a STOP or BARGE-IN passed on: the queued SPEAKs it also ends
    bool holds_queue = false;              // counted in stops_outstanding until answered
    std::vector<std::string> asked;        // a GET-PARAMS: the header names it asks for
  };

  struct Channel {
    Impl* impl = nullptr;
    int index = -1;
    // Control thread only.
    apr_pool_t* pool = nullptr;
    mrcp_engine_channel_t* handle = nullptr;
    mpf_audio_stream_t* stream = nullptr;
    mpf_codec_descriptor_t* codec = nullptr;
    bool open_called = false;  // open was accepted; close is owed
    bool closed = false;
    bool close_refused = false;
    bool destroyed = false;
    bool unclosed = false;  // left in place: its close never came
    mrcp_request_id next_request_id = 1;
    std::uint64_t next_seq = 1;
    // Guarded by Impl::mutex.
    bool open_acked = false;
    bool open_status = false;
    bool close_acked = false;
    std::list<Request> requests;
    // The server's synthesizer state (guarded by Impl::mutex): the SPEAK the
    // plugin has and has not ended, the SPEAKs answered PENDING in order,
    // STOPs and BARGE-INs passed on and not answered yet (nothing queued is
    // passed on meanwhile, so that a STOP never meets a SPEAK sent after it),
    // and the session's headers.
    mrcp_request_id speaking = 0;
    std::deque<mrcp_request_id> queue;
    int stops_outstanding = 0;
    bool closing = false;                                      // nothing more is passed to the plugin
    int dispatching = 0;                                       // queued SPEAKs being passed on outside the mutex
    std::vector<std::string> session;                          // "Name: value" lines
    std::map<mrcp_request_id, std::uint64_t> underrun_counts;  // SPEAKs that played
    // Shared with the media thread, lock-free: the SPEAK the plugin has and
    // has not ended (0: none), whether it is paused or being stopped, how far
    // its audio is (kBeforeAudio, kInAudio, kAfterAudio: gaps count only in
    // between), and its underruns so far.
    enum AudioPhase { kBeforeAudio, kInAudio, kAfterAudio };
    std::atomic<mrcp_request_id> playing{0};
    std::atomic<bool> held{false};
    std::atomic<int> audio_phase{kBeforeAudio};
    std::atomic<std::uint64_t> underruns{0};
    // Media: the thread reads these only between start and join.
    std::thread media;
    std::atomic<bool> media_stop{false};
    std::vector<unsigned char> frame_buffer;
    FrameSink* sink = nullptr;
    FrameSink* timeline = nullptr;
    bool realtime = false;
    std::atomic<std::uint64_t> frames_read{0};
  };

  explicit Impl(HostConfig cfg) : config(std::move(cfg)) {}

  HostConfig config;
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
  std::map<int, std::unique_ptr<Channel>> channels;
  int next_index = 0;

  // Guarded by mutex.
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<HostEvent> events;
  bool engine_open_acked = false;
  bool engine_open_status = false;
  bool engine_close_acked = false;
  ProtocolChecker checker;
  std::size_t violations_logged = 0;

  static HostEvent NewEvent(HostEvent::Kind kind, int channel) {
    HostEvent event;
    event.kind = kind;
    event.time_us = apr_time_now();
    event.thread = std::this_thread::get_id();
    event.channel = channel;
    return event;
  }

  // A client-side copy of message.
  static HostEvent MessageEvent(int channel, const mrcp_message_t* message) {
    HostEvent event = NewEvent(HostEvent::Kind::Message, channel);
    const mrcp_start_line_t& line = message->start_line;
    event.message_type = line.message_type;
    event.method_id = line.method_id;
    event.request_id = line.request_id;
    event.status_code = line.status_code;
    event.request_state = line.request_state;
    if (message->synth_header && (message->synth_properties & (1u << SYNTHESIZER_HEADER_COMPLETION_CAUSE))) {
      event.has_completion_cause = true;
      event.completion_cause = message->synth_header->completion_cause;
    }
    if (message->body.buf && message->body.length > 0) event.body.assign(message->body.buf, message->body.length);
    event.text = Render(message);
    return event;
  }

  // Appends under mutex (already held by the caller) and wakes the waiters.
  void PushLocked(HostEvent&& event) {
    events.push_back(std::move(event));
    changed.notify_all();
  }

  // Logs the checker's new findings (under mutex).
  void LogViolationsLocked() {
    const std::vector<ProtocolViolation>& found = checker.violations();
    for (; violations_logged < found.size(); ++violations_logged) {
      const ProtocolViolation& v = found[violations_logged];
      HOST_LOG(APT_PRIO_WARNING, "protocol violation: channel %d, request %" PRIu32 ": %s (%s)", v.channel,
               v.request_id, v.rule.c_str(), v.detail.c_str());
    }
  }

  // The live channel at `index`, or null (logged when `caller` is given).
  Channel* Find(int index, const char* caller) const {
    const auto it = channels.find(index);
    if (it == channels.end() || it->second->destroyed) {
      if (caller) HOST_LOG(APT_PRIO_WARNING, "%s: no channel %d", caller, index);
      return nullptr;
    }
    return it->second.get();
  }

  // The newest sent request of the channel with that id (under mutex).
  static Request* FindRequest(Channel* channel, mrcp_request_id id) {
    for (auto it = channel->requests.rbegin(); it != channel->requests.rend(); ++it) {
      if (it->sent && it->id == id) return &*it;
    }
    return nullptr;
  }

  template <typename Pred>
  bool Wait(std::chrono::milliseconds wait, Pred pred) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, wait, pred);
  }

  // A SPEAK goes to the plugin (under mutex): the media thread counts for it
  // from now on.
  void StartPlayingLocked(Channel* channel, mrcp_request_id id) {
    const mrcp_request_id before = channel->playing.load();
    if (before) channel->underrun_counts[before] = channel->underruns.load();  // replaced in the plugin
    channel->underruns.store(0);
    channel->audio_phase.store(Channel::kBeforeAudio);
    channel->held.store(false);
    channel->playing.store(id);
  }

  // A SPEAK had its final answer (under mutex): its underruns are kept and
  // the next queued SPEAK may go.
  void SpeakEndedLocked(Channel* channel, mrcp_request_id id) {
    if (channel->playing.load() == id) {
      channel->underrun_counts[id] = channel->underruns.load();
      channel->playing.store(0);
    }
    if (channel->speaking == id) channel->speaking = 0;
  }

  // Removes the queued SPEAKs among ids (all of them when all); returns the
  // ones removed (under mutex). They had their final answer: the response
  // that names them.
  std::vector<mrcp_request_id> DequeueLocked(Channel* channel, const std::vector<mrcp_request_id>& ids, bool all) {
    std::vector<mrcp_request_id> removed;
    for (auto it = channel->queue.begin(); it != channel->queue.end();) {
      if (all || std::find(ids.begin(), ids.end(), *it) != ids.end()) {
        removed.push_back(*it);
        if (Request* r = FindRequest(channel, *it)) r->answered = true;
        it = channel->queue.erase(it);
      } else {
        ++it;
      }
    }
    return removed;
  }

  // The queued SPEAK to pass to the plugin now, or null (under mutex).
  Request* NextQueuedLocked(Channel* channel) {
    if (channel->speaking || channel->stops_outstanding || channel->closing || channel->queue.empty()) {
      return nullptr;
    }
    Request* next = FindRequest(channel, channel->queue.front());
    channel->queue.pop_front();
    if (!next) return nullptr;
    channel->speaking = next->id;
    StartPlayingLocked(channel, next->id);
    next->forwarded = true;
    checker.Forwarded(channel->index, next->id, next->method);
    ++channel->dispatching;
    return next;
  }

  // Passes queued SPEAKs to the plugin while one may go (not under mutex).
  void Dispatch(Channel* channel, Request* next) {
    while (next) {
      const bool accepted = channel->handle->method_vtable->process_request(channel->handle, next->message) != FALSE;
      std::lock_guard<std::mutex> lock(mutex);
      --channel->dispatching;
      changed.notify_all();
      if (accepted) return;
      HOST_LOG(APT_PRIO_WARNING, "channel %d: plugin refused queued SPEAK %" PRIu32, channel->index, next->id);
      next->answered = true;
      SpeakEndedLocked(channel, next->id);
      next = NextQueuedLocked(channel);
    }
  }

  // Reads the session's headers into a SPEAK that does not carry them
  // (control thread, before the plugin has the request).
  void MergeSession(Channel* channel, mrcp_message_t* request) {
    std::vector<std::string> add;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (channel->session.empty()) return;
      const std::vector<std::string> own = HeaderLines(request);
      for (const std::string& line : channel->session) {
        const std::string name = HeaderName(line);
        if (std::none_of(own.begin(), own.end(), [&](const std::string& o) { return SameName(HeaderName(o), name); })) {
          add.push_back(line);
        }
      }
    }
    if (add.empty()) return;
    mrcp_message_t* merged = WithHeaders(request, add, request->pool);
    if (!merged) {
      HOST_LOG(APT_PRIO_WARNING, "channel %d: the session's headers cannot be added to SPEAK %" PRIu32, channel->index,
               request->start_line.request_id);
      return;
    }
    merged->channel_id = request->channel_id;
    *request = *merged;
  }

  // Stores SET-PARAMS's headers for the session (control thread).
  void StoreSession(Channel* channel, const mrcp_message_t* request) {
    const std::vector<std::string> lines = HeaderLines(request);
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::string& line : lines) {
      const std::string name = HeaderName(line);
      if (!IsSessionHeader(name) || line.size() <= name.size() + 1) continue;  // empty values set nothing
      auto same = std::find_if(channel->session.begin(), channel->session.end(),
                               [&](const std::string& s) { return SameName(HeaderName(s), name); });
      if (same != channel->session.end()) {
        *same = line;
      } else {
        channel->session.push_back(line);
      }
    }
  }

  // Releases the pools of answered requests (control thread).
  void Reap() {
    std::vector<apr_pool_t*> done;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (auto& [index, channel] : channels) {
        if (channel->destroyed) continue;
        for (auto it = channel->requests.begin(); it != channel->requests.end();) {
          if (it->answered) {
            done.push_back(it->pool);
            it = channel->requests.erase(it);
          } else {
            ++it;
          }
        }
      }
    }
    for (apr_pool_t* pool : done) apr_pool_destroy(pool);
  }

  void MediaLoop(Channel* channel);
  void StopMedia(Channel* channel);
  bool CloseChannel(Channel* channel, std::chrono::milliseconds wait);
  bool DestroyChannel(Channel* channel);
  void TeardownChannels();
  bool HasUnclosed() const {
    return std::any_of(channels.begin(), channels.end(), [](const auto& c) { return c.second->unclosed; });
  }
  void Unload();
};

using Impl = Host::Impl;

// The host record of an engine or channel handle, or null (logged).
Host::Impl* EngineImpl(mrcp_engine_t* engine, const char* caller);
Host::Impl::Channel* ChannelOf(mrcp_engine_channel_t* channel, const char* caller);

// The plugin's calls into the server for a channel.
apt_bool_t OnChannelOpen(mrcp_engine_channel_t* channel, apt_bool_t status);
apt_bool_t OnChannelClose(mrcp_engine_channel_t* channel);
apt_bool_t OnChannelMessage(mrcp_engine_channel_t* channel, mrcp_message_t* message);

}  // namespace corvex

#endif  // CORVEX_HOST_IMPL_H
