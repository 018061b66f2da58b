// The host runtime: loads a plugin and drives it the way the server does.
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
#include "corvex/host_runtime.hpp"

#include <apr_file_io.h>
#include <apr_general.h>
#include <apr_strings.h>
#include <apr_time.h>
#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <utility>

#include "corvex/mrcp_text.h"
#include "protocol_checker.h"

namespace corvex {

namespace {

constexpr std::chrono::milliseconds kFramePeriod{10};
// A paced media thread further behind than this restarts its schedule
// instead of reading a burst of frames to catch up.
constexpr std::chrono::milliseconds kMaxLag{200};
// An unpaced media thread reads back to back while the plugin plays. Once
// it has read nothing but idle frames (no audio, no event) for kIdleSpin,
// it reads one every kIdleSleep instead: spinning on an idle channel only
// takes the processor from the threads that are to produce its audio.
constexpr std::chrono::milliseconds kIdleSpin{2};
constexpr std::chrono::microseconds kIdleSleep{500};

#define HOST_LOG(priority, ...) apt_log(def_log_source, APT_LOG_MARK, priority, __VA_ARGS__)

std::string BaseName(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  std::size_t dot = name.find('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name.empty() ? std::string("plugin") : name;
}

// Codec names are compared without regard to case, as in SDP.
bool OffersLpcm(const mpf_stream_capabilities_t* caps, unsigned rate) {
  if (!caps || !caps->codecs.attrib_arr ||
      caps->codecs.attrib_arr->elt_size != static_cast<int>(sizeof(mpf_codec_attribs_t))) {
    return false;
  }
  int mask = mpf_sample_rate_mask_get(static_cast<apr_uint16_t>(rate));
  const auto* attribs = reinterpret_cast<const mpf_codec_attribs_t*>(caps->codecs.attrib_arr->elts);
  for (int i = 0; i < caps->codecs.attrib_arr->nelts; ++i) {
    const apt_str_t& name = attribs[i].name;
    if (name.buf && name.length == 4 && strncasecmp(name.buf, "LPCM", 4) == 0 && (attribs[i].sample_rates & mask)) {
      return true;
    }
  }
  return false;
}

std::uint32_t ProcessTag() {
  static const std::uint32_t tag =
      static_cast<std::uint32_t>(getpid()) * 2654435761u ^ static_cast<std::uint32_t>(apr_time_sec(apr_time_now()));
  return tag;
}

std::atomic<std::uint32_t> g_channel_serial{0};

// Text helpers for the server's own answers and headers. They work on the
// text form, so that every header the text form knows can be stored, merged
// and answered without a field-by-field copy.

// "Name: value" lines of the message's headers, without Channel-Identifier
// and Content-Length (the channel's and the body's own); empty when the text
// form cannot carry the message.
std::vector<std::string> HeaderLines(const mrcp_message_t* message) {
  std::vector<std::string> lines;
  std::string text(mrcp_text_render(message, nullptr, 0) + 1, '\0');
  text.resize(mrcp_text_render(message, &text[0], text.size()));
  std::size_t pos = text.find("\r\n");
  while (pos != std::string::npos && pos + 2 < text.size()) {
    const std::size_t end = text.find("\r\n", pos + 2);
    if (end == std::string::npos || end == pos + 2) break;
    std::string line = text.substr(pos + 2, end - pos - 2);
    const std::string name = line.substr(0, line.find(':'));
    if (strcasecmp(name.c_str(), "Channel-Identifier") != 0 && strcasecmp(name.c_str(), "Content-Length") != 0) {
      lines.push_back(std::move(line));
    }
    pos = end;
  }
  return lines;
}

std::string HeaderName(const std::string& line) { return line.substr(0, line.find(':')); }

bool SameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// Headers of a request, never of a session: they describe one message.
bool IsSessionHeader(const std::string& name) {
  static const char* const kNot[] = {
      "Content-Type",           "Content-ID",    "Content-Base",     "Content-Encoding",  "Content-Location",
      "Active-Request-Id-List", "Proxy-Sync-Id", "Completion-Cause", "Completion-Reason", "Failed-URI",
      "Failed-URI-Cause",       "Speak-Restart", "Speak-Length",     "Jump-Size"};
  for (const char* other : kNot) {
    if (SameName(name, other)) return false;
  }
  return true;
}

// Parses the message's text with `lines` added to its headers, into pool.
// Null when the text form cannot carry it.
mrcp_message_t* WithHeaders(const mrcp_message_t* message, const std::vector<std::string>& lines, apr_pool_t* pool) {
  std::string text(mrcp_text_render(message, nullptr, 0) + 1, '\0');
  text.resize(mrcp_text_render(message, &text[0], text.size()));
  const std::size_t end = text.find("\r\n\r\n");
  if (text.empty() || end == std::string::npos) return nullptr;
  std::string added;
  for (const std::string& line : lines) added += line + "\r\n";
  text.insert(end + 2, added);
  // The length the text states changes with the headers: leave it out.
  const std::size_t first = text.find(' ');
  const std::size_t second = text.find(' ', first + 1);
  text.erase(first, second - first);
  return mrcp_text_parse(text.data(), text.size(), 0, pool, nullptr, nullptr);
}

std::string Render(const mrcp_message_t* message) {
  std::string text;
  if (apr_size_t length = mrcp_text_render(message, nullptr, 0)) {
    text.resize(length + 1);  // room for the terminating zero
    mrcp_text_render(message, &text[0], text.size());
    text.resize(length);
  }
  return text;
}

std::string IdList(const std::vector<mrcp_request_id>& ids) {
  std::string list;
  for (mrcp_request_id id : ids) list += (list.empty() ? "" : ",") + std::to_string(id);
  return list;
}

// The ids of an Active-Request-Id-List ("1,2, 3"); what is no id is skipped.
std::vector<mrcp_request_id> ParseIdList(const apt_str_t& text) {
  std::vector<mrcp_request_id> ids;
  std::string value(text.buf ? text.buf : "", text.buf ? text.length : 0);
  std::size_t pos = 0;
  while (pos <= value.size()) {
    std::size_t comma = value.find(',', pos);
    if (comma == std::string::npos) comma = value.size();
    const std::string item = value.substr(pos, comma - pos);
    char* end = nullptr;
    const unsigned long long id = std::strtoull(item.c_str(), &end, 10);
    if (end != item.c_str() && id <= 0xFFFFFFFFull) ids.push_back(static_cast<mrcp_request_id>(id));
    pos = comma + 1;
  }
  return ids;
}

}  // namespace

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

namespace {

using Impl = Host::Impl;

Impl* EngineImpl(mrcp_engine_t* engine, const char* caller) {
  Impl* impl = engine ? static_cast<Impl*>(engine->event_obj) : nullptr;
  if (!impl) HOST_LOG(APT_PRIO_WARNING, "%s: not an engine of this host", caller);
  return impl;
}

Impl::Channel* ChannelOf(mrcp_engine_channel_t* channel, const char* caller) {
  auto* rec = channel ? static_cast<Impl::Channel*>(channel->event_obj) : nullptr;
  if (!rec) HOST_LOG(APT_PRIO_WARNING, "%s: not a channel of this host", caller);
  return rec;
}

apt_bool_t OnEngineOpen(mrcp_engine_t* engine, apt_bool_t status) {
  Impl* impl = EngineImpl(engine, "engine open acknowledgement");
  if (!impl) return FALSE;
  HostEvent event = Impl::NewEvent(HostEvent::Kind::EngineOpened, -1);
  event.status = status != FALSE;
  std::lock_guard<std::mutex> lock(impl->mutex);
  impl->engine_open_acked = true;
  impl->engine_open_status = event.status;
  impl->checker.EngineOpenAcknowledged();
  impl->LogViolationsLocked();
  impl->PushLocked(std::move(event));
  return TRUE;
}

apt_bool_t OnEngineClose(mrcp_engine_t* engine) {
  Impl* impl = EngineImpl(engine, "engine close acknowledgement");
  if (!impl) return FALSE;
  HostEvent event = Impl::NewEvent(HostEvent::Kind::EngineClosed, -1);
  std::lock_guard<std::mutex> lock(impl->mutex);
  impl->engine_close_acked = true;
  impl->checker.EngineCloseAcknowledged();
  impl->LogViolationsLocked();
  impl->PushLocked(std::move(event));
  return TRUE;
}

apt_bool_t OnChannelOpen(mrcp_engine_channel_t* channel, apt_bool_t status) {
  Impl::Channel* rec = ChannelOf(channel, "channel open acknowledgement");
  if (!rec) return FALSE;
  HostEvent event = Impl::NewEvent(HostEvent::Kind::ChannelOpened, rec->index);
  event.status = status != FALSE;
  std::lock_guard<std::mutex> lock(rec->impl->mutex);
  rec->open_acked = true;
  rec->open_status = event.status;
  rec->impl->checker.ChannelOpenAcknowledged(rec->index);
  rec->impl->LogViolationsLocked();
  rec->impl->PushLocked(std::move(event));
  return TRUE;
}

apt_bool_t OnChannelClose(mrcp_engine_channel_t* channel) {
  Impl::Channel* rec = ChannelOf(channel, "channel close acknowledgement");
  if (!rec) return FALSE;
  HostEvent event = Impl::NewEvent(HostEvent::Kind::ChannelClosed, rec->index);
  std::lock_guard<std::mutex> lock(rec->impl->mutex);
  rec->close_acked = true;
  rec->impl->checker.ChannelCloseAcknowledged(rec->index);
  rec->impl->LogViolationsLocked();
  rec->impl->PushLocked(std::move(event));
  return TRUE;
}

// What the client is told of a plugin message (under mutex): nothing (false)
// for the IN-PROGRESS of a SPEAK the client had as PENDING; a SPEAK-COMPLETE
// for such a SPEAK's error response; the Active-Request-Id-List of a STOP,
// BARGE-IN-OCCURRED, PAUSE or RESUME; the session's values for GET-PARAMS.
bool ClientView(Impl* impl, Impl::Channel* rec, const mrcp_message_t* message, Impl::Request* request,
                const std::vector<mrcp_request_id>& ended_by_plugin, bool final, HostEvent* event) {
  const mrcp_start_line_t& line = message->start_line;
  const bool response = line.message_type == MRCP_MESSAGE_TYPE_RESPONSE;
  const bool success = line.status_code >= 200 && line.status_code < 300;
  if (!request) return true;
  std::vector<std::string> headers;
  apr_pool_t* scratch = nullptr;
  switch (request->method) {
    case SYNTHESIZER_SPEAK:
      if (response && success && line.request_state == MRCP_REQUEST_STATE_INPROGRESS && request->queued) {
        return false;
      }
      if (final) impl->SpeakEndedLocked(rec, request->id);
      if (final && response && request->queued) {
        // It had its response (PENDING): its failure to start is its end.
        apr_pool_create(&scratch, nullptr);
        mrcp_message_t* complete = mrcp_event_create(request->message, SYNTHESIZER_SPEAK_COMPLETE, scratch);
        if (complete) {
          complete->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
          const bool has_cause =
              message->synth_header && (message->synth_properties & (1u << SYNTHESIZER_HEADER_COMPLETION_CAUSE));
          mrcp_resource_header_prepare(complete)->completion_cause =
              has_cause ? message->synth_header->completion_cause : SYNTHESIZER_COMPLETION_CAUSE_ERROR;
          mrcp_resource_header_property_add(complete, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
          const std::thread::id thread = event->thread;
          *event = Impl::MessageEvent(rec->index, complete);
          event->thread = thread;
          event->from_host = true;
        }
        apr_pool_destroy(scratch);
      }
      return true;
    case SYNTHESIZER_STOP:
    case SYNTHESIZER_BARGE_IN_OCCURRED: {
      if (!response) return true;
      if (request->holds_queue) {
        request->holds_queue = false;
        --rec->stops_outstanding;
      }
      if (!success) return true;
      std::vector<mrcp_request_id> ended = ended_by_plugin;
      for (mrcp_request_id id : ended) impl->SpeakEndedLocked(rec, id);
      for (mrcp_request_id id : impl->DequeueLocked(rec, request->targets, false)) ended.push_back(id);
      if (ended.empty()) return true;
      event->ended = ended;
      headers.push_back("Active-Request-Id-List: " + IdList(ended));
      break;
    }
    case SYNTHESIZER_PAUSE:
    case SYNTHESIZER_RESUME:
      if (response && success && request->method == SYNTHESIZER_RESUME) rec->held.store(false);
      // They act on the speaking SPEAK, and say which.
      if (!response || !success || !impl->config.queue_speaks || !rec->speaking) return true;
      headers.push_back("Active-Request-Id-List: " + std::to_string(rec->speaking));
      break;
    case SYNTHESIZER_GET_PARAMS:
      if (!response || !success || !impl->config.queue_speaks) return true;
      for (const std::string& name : request->asked) {
        auto value = std::find_if(rec->session.begin(), rec->session.end(),
                                  [&](const std::string& s) { return SameName(HeaderName(s), name); });
        headers.push_back(value != rec->session.end() ? *value : name + ":");
      }
      if (headers.empty()) return true;
      break;
    default:
      return true;
  }
  apr_pool_create(&scratch, nullptr);
  if (mrcp_message_t* shown = WithHeaders(message, headers, scratch)) event->text = Render(shown);
  apr_pool_destroy(scratch);
  return true;
}

apt_bool_t OnChannelMessage(mrcp_engine_channel_t* channel, mrcp_message_t* message) {
  Impl::Channel* rec = ChannelOf(channel, "channel message");
  if (!rec) return FALSE;
  if (!message) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: null message refused", rec->index);
    return FALSE;
  }
  const mrcp_start_line_t& line = message->start_line;
  if (line.message_type != MRCP_MESSAGE_TYPE_RESPONSE && line.message_type != MRCP_MESSAGE_TYPE_EVENT) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: message of type %d refused (only responses and events)", rec->index,
             static_cast<int>(line.message_type));
    return FALSE;
  }
  // Copy everything now: the message lives in a request pool that may be
  // released as soon as the request counts as answered.
  HostEvent event = Impl::MessageEvent(rec->index, message);
  if (event.text.empty()) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: message for request %" PRIu32 " has no text form", rec->index,
             line.request_id);
  }
  Impl* impl = rec->impl;
  Impl::Request* next = nullptr;
  {
    std::lock_guard<std::mutex> lock(impl->mutex);
    const std::vector<mrcp_request_id> ended = impl->checker.Message(rec->index, *message);
    impl->LogViolationsLocked();
    Impl::Request* request = Impl::FindRequest(rec, line.request_id);
    if (request && !request->forwarded) request = nullptr;  // not the plugin's to answer
    const bool final = request && impl->checker.IsFinal(rec->index, request->id);
    const bool shown = ClientView(impl, rec, message, request, ended, final, &event);
    if (final) request->answered = true;
    for (mrcp_request_id id : ended) {
      if (Impl::Request* speak = Impl::FindRequest(rec, id)) speak->answered = true;
    }
    if (shown) impl->PushLocked(std::move(event));
    if (impl->config.queue_speaks) next = impl->NextQueuedLocked(rec);
  }
  impl->Dispatch(rec, next);
  return TRUE;
}

const mrcp_engine_event_vtable_t kEngineEvents = {OnEngineOpen, OnEngineClose};
const mrcp_engine_channel_event_vtable_t kChannelEvents = {OnChannelOpen, OnChannelClose, OnChannelMessage};

bool EngineTableComplete(const mrcp_engine_method_vtable_t* table) {
  return table && table->destroy && table->open && table->close && table->create_channel;
}

bool ChannelTableComplete(const mrcp_engine_channel_method_vtable_t* table) {
  return table && table->destroy && table->open && table->close && table->process_request;
}

}  // namespace

// ---------------------------------------------------------------- media

// The frame path: no allocation, no lock of the host's own.
void Host::Impl::MediaLoop(Channel* channel) {
  mpf_audio_stream_t* stream = channel->stream;
  apt_bool_t (*read_frame)(mpf_audio_stream_t*, mpf_frame_t*) = stream->vtable->read_frame;
  unsigned char* const buffer = channel->frame_buffer.data();
  const apr_size_t size = channel->frame_buffer.size();
  bool warned_result = false;
  bool warned_frame = false;
  auto next = Clock::now();
  auto last_busy = next;
  // Frames without audio since the SPEAK's last audio frame: a gap the
  // caller hears once audio follows it. (The plugin's end-of-stream frame
  // and the frames until SPEAK-COMPLETE arrives are no gap.)
  std::uint64_t gap = 0;
  mpf_frame_t frame;
  while (!channel->media_stop.load(std::memory_order_acquire)) {
    frame.type = MEDIA_FRAME_TYPE_NONE;
    frame.marker = 0;
    frame.codec_frame.buffer = buffer;
    frame.codec_frame.size = size;
    // Taken before the read: a frame read while the SPEAK was active is its
    // own, even when its final answer comes during the read.
    const bool active = channel->playing.load(std::memory_order_relaxed) != 0;
    apt_bool_t ok = read_frame(stream, &frame);
    if (!ok && !warned_result) {
      warned_result = true;
      HOST_LOG(APT_PRIO_WARNING, "channel %d: read_frame failed", channel->index);
    }
    if (frame.codec_frame.buffer != buffer || frame.codec_frame.size != size) {
      // The buffer is the server's: a plugin that swaps or resizes it gets
      // its frame dropped.
      if (!warned_frame) {
        warned_frame = true;
        HOST_LOG(APT_PRIO_WARNING, "channel %d: read_frame changed the frame buffer or size (%lu, expected %lu)",
                 channel->index, static_cast<unsigned long>(frame.codec_frame.size), static_cast<unsigned long>(size));
      }
    } else {
      if (channel->sink) channel->sink->OnFrame(channel->index, frame);
      if (active) {
        const int phase = channel->audio_phase.load(std::memory_order_relaxed);
        if (frame.type & MEDIA_FRAME_TYPE_EVENT) {
          channel->audio_phase.store(Channel::kAfterAudio, std::memory_order_relaxed);
        } else if (frame.type & MEDIA_FRAME_TYPE_AUDIO) {
          if (phase == Channel::kBeforeAudio) {
            channel->audio_phase.store(Channel::kInAudio, std::memory_order_relaxed);
          } else if (phase == Channel::kInAudio && gap > 0) {
            channel->underruns.fetch_add(gap, std::memory_order_relaxed);
          }
          gap = 0;
        } else if (phase == Channel::kInAudio && !channel->held.load(std::memory_order_relaxed)) {
          ++gap;
        }
        if (channel->timeline) channel->timeline->OnFrame(channel->index, frame);
      }
    }
    channel->frames_read.fetch_add(1, std::memory_order_relaxed);
    if (channel->realtime) {
      next += kFramePeriod;
      auto now = Clock::now();
      if (now - next > kMaxLag) next = now;
      std::this_thread::sleep_until(next);
    } else if (frame.type & (MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT)) {
      last_busy = Clock::now();
      std::this_thread::yield();
    } else if (Clock::now() - last_busy < kIdleSpin) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(kIdleSleep);
    }
  }
}

void Host::Impl::StopMedia(Channel* channel) {
  if (!channel->media.joinable()) return;
  channel->media_stop.store(true, std::memory_order_release);
  if (channel->media.get_id() == std::this_thread::get_id()) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: media cannot be stopped from its own thread", channel->index);
    return;
  }
  channel->media.join();
  HOST_LOG(APT_PRIO_INFO, "channel %d: media stopped after %" PRIu64 " frames", channel->index,
           channel->frames_read.load());
}

// ---------------------------------------------------------------- channels

bool Host::Impl::CloseChannel(Channel* channel, std::chrono::milliseconds wait) {
  if (!channel->open_called || channel->closed) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: close of a channel that is not open", channel->index);
    return false;
  }
  StopMedia(channel);
  {
    // Queued SPEAKs end with their session; a SPEAK being passed on from
    // the queue gets there before the close does.
    std::unique_lock<std::mutex> lock(mutex);
    channel->closing = true;
    DequeueLocked(channel, {}, true);
    changed.wait(lock, [channel] { return channel->dispatching == 0; });
    channel->close_acked = false;
    checker.ChannelCloseCalled(channel->index);
  }
  channel->closed = true;
  if (!channel->handle->method_vtable->close(channel->handle)) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: plugin refused close", channel->index);
    channel->close_refused = true;
    std::lock_guard<std::mutex> lock(mutex);
    checker.ChannelCloseRefused(channel->index);
    return false;
  }
  if (!Wait(wait, [channel] { return channel->close_acked; })) {
    HOST_LOG(APT_PRIO_WARNING,
             "channel %d: no close acknowledgement within %lld ms; waiting for it before the channel is freed "
             "(the plugin may still be working on it)",
             channel->index, static_cast<long long>(wait.count()));
    return false;
  }
  return true;
}

bool Host::Impl::DestroyChannel(Channel* channel) {
  if (channel->unclosed) return false;
  StopMedia(channel);
  // The plugin relies on a closed channel before destroy, as the server does.
  if (channel->open_called && !channel->closed) CloseChannel(channel, kDefaultWait);
  // A channel is freed only once its close was acknowledged: the plugin may
  // be working on it until then.
  if (channel->closed &&
      (channel->close_refused || !Wait(config.close_grace, [channel] { return channel->close_acked; }))) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d (%s) is not closed: its close was %s; it is left in place, not freed",
             channel->index, channel->handle->id, channel->close_refused ? "refused" : "never acknowledged");
    std::lock_guard<std::mutex> lock(mutex);
    channel->unclosed = true;
    checker.Forget(channel->index);
    LogViolationsLocked();
    return false;
  }
  bool result = channel->handle->method_vtable->destroy(channel->handle) != FALSE;
  {
    std::lock_guard<std::mutex> lock(mutex);
    channel->requests.clear();  // their pools go with the channel's pool
    channel->destroyed = true;
    checker.Forget(channel->index);
    LogViolationsLocked();
  }
  apr_pool_destroy(channel->pool);
  channel->pool = nullptr;
  channel->handle = nullptr;
  channel->stream = nullptr;
  channel->codec = nullptr;
  channel->frame_buffer = std::vector<unsigned char>();
  {
    std::lock_guard<std::mutex> lock(mutex);
    channels.erase(channel->index);  // `channel` is gone from here on
  }
  return result;
}

// The server's order: all media stops, then every channel closes, then all are destroyed.
void Host::Impl::TeardownChannels() {
  for (auto& [index, channel] : channels) StopMedia(channel.get());
  for (auto& [index, channel] : channels) {
    if (channel->open_called && !channel->closed) CloseChannel(channel.get(), kDefaultWait);
  }
  std::vector<Channel*> all;
  for (auto& [index, channel] : channels) all.push_back(channel.get());
  for (Channel* channel : all) DestroyChannel(channel);  // an unclosed one stays
}

void Host::Impl::Unload() {
  if (engine_pool) apr_pool_destroy(engine_pool);
  engine_pool = nullptr;
  engine = nullptr;
  engine_config = nullptr;
  if (library) dlclose(library);
  library = nullptr;
  engine_open_called = false;
  engine_closed = false;
  std::lock_guard<std::mutex> lock(mutex);
  engine_open_acked = false;
  engine_open_status = false;
  engine_close_acked = false;
}

// ---------------------------------------------------------------- Host

Host::Host(HostConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {
  apr_initialize();
  apr_pool_create(&impl_->root_pool, nullptr);
  const std::string& root = impl_->config.root;
  impl_->layout = apt_default_dir_layout_create(root.empty() ? "." : root.c_str(), impl_->root_pool);
  if (impl_->config.create_dirs && !root.empty()) {
    for (apr_size_t id = 0; id < APT_LAYOUT_DIR_COUNT; ++id) {
      const char* dir = apt_dir_layout_path_get(impl_->layout, id);
      apr_status_t status = apr_dir_make_recursive(dir, APR_OS_DEFAULT, impl_->root_pool);
      if (status != APR_SUCCESS) {
        char reason[128];
        HOST_LOG(APT_PRIO_WARNING, "cannot create directory %s: %s", dir, apr_strerror(status, reason, sizeof(reason)));
      }
    }
    // The plugin's status files go to var/status.
    const char* status_dir = apt_vardir_filepath_get(impl_->layout, "status", impl_->root_pool);
    if (!status_dir || apr_dir_make_recursive(status_dir, APR_OS_DEFAULT, impl_->root_pool) != APR_SUCCESS) {
      HOST_LOG(APT_PRIO_WARNING, "cannot create directory %s", status_dir ? status_dir : "var/status");
    }
  }
}

Host::~Host() {
  if (impl_->library) DestroyEngine();
  if (impl_->HasUnclosed()) {
    // The plugin may still call into a channel that never closed: its
    // records, the pools and the library stay as they are.
    HOST_LOG(APT_PRIO_WARNING, "host ends with channels that never closed; their memory is left in place");
    impl_.release();
    return;
  }
  apr_pool_destroy(impl_->root_pool);
  apr_terminate();
}

bool Host::LoadPlugin(const std::string& path) {
  Impl& impl = *impl_;
  if (impl.library) {
    HOST_LOG(APT_PRIO_WARNING, "a plugin is loaded already; %s refused", path.c_str());
    return false;
  }
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* reason = dlerror();
    HOST_LOG(APT_PRIO_WARNING, "cannot load plugin %s: %s", path.c_str(), reason ? reason : "unknown");
    return false;
  }
  auto creator = reinterpret_cast<mrcp_plugin_creator_f>(dlsym(library, MRCP_PLUGIN_CREATOR_SYM));
  auto version = static_cast<const mrcp_plugin_version_t*>(dlsym(library, MRCP_PLUGIN_VERSION_SYM));
  auto logger_set = reinterpret_cast<mrcp_plugin_logger_set_f>(dlsym(library, MRCP_PLUGIN_LOGGER_SET_SYM));
  auto source_set = reinterpret_cast<mrcp_plugin_log_source_set_f>(dlsym(library, MRCP_PLUGIN_LOG_SOURCE_SET_SYM));
  if (!creator || !version || !logger_set || !source_set) {
    HOST_LOG(APT_PRIO_WARNING, "plugin %s lacks %s", path.c_str(),
             !creator      ? MRCP_PLUGIN_CREATOR_SYM
             : !version    ? MRCP_PLUGIN_VERSION_SYM
             : !logger_set ? MRCP_PLUGIN_LOGGER_SET_SYM
                           : MRCP_PLUGIN_LOG_SOURCE_SET_SYM);
    dlclose(library);
    return false;
  }
  if (version->major != PLUGIN_MAJOR_VERSION || version->minor != PLUGIN_MINOR_VERSION) {
    HOST_LOG(APT_PRIO_WARNING, "plugin %s has interface version %d.%d.%d.%d; this server implements %d.%d",
             path.c_str(), version->major, version->minor, version->patch, version->build, PLUGIN_MAJOR_VERSION,
             PLUGIN_MINOR_VERSION);
    dlclose(library);
    return false;
  }
  apt_logger_t* logger = apt_log_instance_get();
  if (logger) logger_set(logger);
  if (!source_set(def_log_source)) {
    HOST_LOG(APT_PRIO_WARNING, "plugin %s did not take the log source", path.c_str());
  }

  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, impl.root_pool);
  mrcp_engine_t* engine = creator(pool);
  if (!engine) {
    HOST_LOG(APT_PRIO_WARNING, "plugin %s created no engine", path.c_str());
    apr_pool_destroy(pool);
    dlclose(library);
    return false;
  }
  if (!EngineTableComplete(engine->method_vtable) || engine->resource_id != MRCP_SYNTHESIZER_RESOURCE) {
    HOST_LOG(APT_PRIO_WARNING, "plugin %s: engine refused (%s)", path.c_str(),
             engine->resource_id != MRCP_SYNTHESIZER_RESOURCE ? "not a synthesizer" : "incomplete method table");
    if (engine->method_vtable && engine->method_vtable->destroy) engine->method_vtable->destroy(engine);
    apr_pool_destroy(pool);
    dlclose(library);
    return false;
  }

  impl.library = library;
  impl.plugin_name = BaseName(path);
  impl.engine_pool = pool;
  impl.engine = engine;
  auto* config = static_cast<mrcp_engine_config_t*>(apr_pcalloc(pool, sizeof(mrcp_engine_config_t)));
  config->id = apr_pstrdup(pool, impl.plugin_name.c_str());
  config->name = config->id;
  config->max_channel_count = impl.config.max_channel_count;
  config->params = apr_table_make(pool, 1);
  impl.engine_config = config;
  engine->id = config->id;
  engine->config = config;
  engine->dir_layout = impl.layout;
  engine->event_obj = &impl;
  engine->event_vtable = &kEngineEvents;
  HOST_LOG(APT_PRIO_INFO, "plugin %s loaded (interface %d.%d.%d.%d)", path.c_str(), version->major, version->minor,
           version->patch, version->build);
  return true;
}

mrcp_engine_t* Host::engine() const { return impl_->engine; }

bool Host::OpenEngine(std::chrono::milliseconds wait) {
  Impl& impl = *impl_;
  if (!impl.engine || impl.engine_open_called) {
    HOST_LOG(APT_PRIO_WARNING, "OpenEngine: %s", impl.engine ? "engine opened already" : "no engine");
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    impl.engine_open_acked = false;
  }
  // The acknowledgement may arrive on any thread, before open returns or after.
  if (!impl.engine->method_vtable->open(impl.engine)) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s refused open", impl.plugin_name.c_str());
    return false;
  }
  impl.engine_open_called = true;
  if (!impl.Wait(wait, [&impl] { return impl.engine_open_acked; })) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s: no open acknowledgement within %lld ms", impl.plugin_name.c_str(),
             static_cast<long long>(wait.count()));
    return false;
  }
  std::lock_guard<std::mutex> lock(impl.mutex);
  if (!impl.engine_open_status) HOST_LOG(APT_PRIO_WARNING, "engine %s failed to open", impl.plugin_name.c_str());
  return impl.engine_open_status;
}

bool Host::CloseEngine(std::chrono::milliseconds wait) {
  Impl& impl = *impl_;
  if (!impl.engine || !impl.engine_open_called || impl.engine_closed) {
    HOST_LOG(APT_PRIO_WARNING, "CloseEngine: engine is not open");
    return false;
  }
  // Channels cannot outlive their engine's close.
  impl.TeardownChannels();
  if (impl.HasUnclosed()) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s not closed: a channel's close was never acknowledged",
             impl.plugin_name.c_str());
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    impl.engine_close_acked = false;
  }
  impl.engine_closed = true;
  if (!impl.engine->method_vtable->close(impl.engine)) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s refused close", impl.plugin_name.c_str());
    return false;
  }
  if (!impl.Wait(wait, [&impl] { return impl.engine_close_acked; })) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s: no close acknowledgement within %lld ms", impl.plugin_name.c_str(),
             static_cast<long long>(wait.count()));
    return false;
  }
  return true;
}

void Host::DestroyEngine() {
  Impl& impl = *impl_;
  if (!impl.engine) {
    HOST_LOG(APT_PRIO_WARNING, "DestroyEngine: no engine");
    return;
  }
  impl.TeardownChannels();
  if (impl.HasUnclosed()) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s not destroyed: a channel's close was never acknowledged",
             impl.plugin_name.c_str());
    return;
  }
  if (impl.engine_open_called && !impl.engine_closed) CloseEngine();
  impl.engine->method_vtable->destroy(impl.engine);
  impl.Unload();
  HOST_LOG(APT_PRIO_INFO, "plugin %s unloaded", impl.plugin_name.c_str());
}

int Host::CreateChannel(unsigned rate) {
  Impl& impl = *impl_;
  bool engine_open;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    engine_open = impl.engine && impl.engine_open_called && !impl.engine_closed && impl.engine_open_status;
  }
  if (!engine_open) {
    HOST_LOG(APT_PRIO_WARNING, "CreateChannel: engine is not open");
    return -1;
  }
  if (rate != 8000 && rate != 16000) {
    HOST_LOG(APT_PRIO_WARNING, "CreateChannel: rate %u is not supported (8000 or 16000)", rate);
    return -1;
  }
  if (impl.channels.size() >= impl.config.max_channel_count) {
    HOST_LOG(APT_PRIO_WARNING, "CreateChannel: all %lu channels in use",
             static_cast<unsigned long>(impl.config.max_channel_count));
    return -1;
  }
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, impl.root_pool);
  mrcp_engine_channel_t* handle = impl.engine->method_vtable->create_channel(impl.engine, pool);
  const char* problem = nullptr;
  mpf_audio_stream_t* stream = nullptr;
  if (!handle) {
    problem = "plugin created no channel";
  } else if (!ChannelTableComplete(handle->method_vtable)) {
    problem = "incomplete channel method table";
  } else if (!handle->termination || !(stream = handle->termination->audio_stream) || !stream->vtable ||
             !stream->vtable->read_frame) {
    problem = "no source stream with read_frame";
  } else if (!stream->capabilities || !(stream->capabilities->direction & STREAM_DIRECTION_RECEIVE)) {
    problem = "stream is not a source";
  } else if (!OffersLpcm(stream->capabilities, rate)) {
    problem = "stream does not offer LPCM at this rate";
  }
  if (problem) {
    HOST_LOG(APT_PRIO_WARNING, "CreateChannel(%u): %s", rate, problem);
    if (handle && handle->method_vtable && handle->method_vtable->destroy) handle->method_vtable->destroy(handle);
    apr_pool_destroy(pool);
    return -1;
  }

  auto channel = std::make_unique<Impl::Channel>();
  channel->impl = &impl;
  channel->index = impl.next_index++;
  channel->pool = pool;
  channel->handle = handle;
  channel->stream = stream;
  auto* codec = static_cast<mpf_codec_descriptor_t*>(apr_pcalloc(pool, sizeof(mpf_codec_descriptor_t)));
  codec->payload_type = 96;  // dynamic: LPCM has no static payload type
  apt_string_assign(&codec->name, "LPCM", pool);
  codec->sampling_rate = static_cast<apr_uint16_t>(rate);
  codec->channel_count = 1;
  channel->codec = codec;
  stream->rx_descriptor = codec;
  handle->id =
      apr_psprintf(pool, "%08" PRIx32 "%08" PRIx32 "@speechsynth", ProcessTag(), g_channel_serial.fetch_add(1) + 1);
  handle->mrcp_version = MRCP_VERSION_2;
  handle->event_obj = channel.get();
  handle->event_vtable = &kChannelEvents;
  const int index = channel->index;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    impl.channels.emplace(index, std::move(channel));
  }
  HOST_LOG(APT_PRIO_INFO, "channel %d created: %s, LPCM/%u", index, handle->id, rate);
  return index;
}

bool Host::OpenChannel(int index, std::chrono::milliseconds wait) {
  Impl::Channel* channel = impl_->Find(index, "OpenChannel");
  if (!channel) return false;
  if (channel->open_called) {
    HOST_LOG(APT_PRIO_WARNING, "OpenChannel: channel %d opened already", index);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    channel->open_acked = false;
    impl_->checker.ChannelOpenCalled(index);
  }
  if (!channel->handle->method_vtable->open(channel->handle)) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: plugin refused open", index);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->checker.ChannelOpenRefused(index);
    return false;
  }
  channel->open_called = true;
  if (!impl_->Wait(wait, [channel] { return channel->open_acked; })) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: no open acknowledgement within %lld ms", index,
             static_cast<long long>(wait.count()));
    return false;
  }
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return channel->open_status;
}

bool Host::CloseChannel(int index, std::chrono::milliseconds wait) {
  Impl::Channel* channel = impl_->Find(index, "CloseChannel");
  return channel && impl_->CloseChannel(channel, wait);
}

bool Host::DestroyChannel(int index) {
  Impl::Channel* channel = impl_->Find(index, "DestroyChannel");
  return channel && impl_->DestroyChannel(channel);
}

mrcp_engine_channel_t* Host::channel(int index) const {
  const Impl::Channel* channel = impl_->Find(index, nullptr);
  return channel ? channel->handle : nullptr;
}

const mpf_codec_descriptor_t* Host::codec(int index) const {
  const Impl::Channel* channel = impl_->Find(index, nullptr);
  return channel ? channel->codec : nullptr;
}

mrcp_message_t* Host::CreateRequest(int index, mrcp_method_id method) {
  impl_->Reap();
  Impl::Channel* channel = impl_->Find(index, "CreateRequest");
  if (!channel) return nullptr;
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, channel->pool);
  mrcp_message_t* request = mrcp_request_create(channel->handle->mrcp_version, method, channel->next_request_id, pool);
  if (!request) {
    apr_pool_destroy(pool);
    return nullptr;
  }
  ++channel->next_request_id;
  apt_string_assign(&request->channel_id, channel->handle->id, pool);
  Impl::Request rec;
  rec.message = request;
  rec.pool = pool;
  rec.id = request->start_line.request_id;
  rec.method = method;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  channel->requests.push_back(rec);
  return request;
}

bool Host::SendRequest(int index, mrcp_message_t* request) {
  Impl& impl = *impl_;
  Impl::Channel* channel = impl.Find(index, "SendRequest");
  if (!channel) return false;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    auto it = std::find_if(channel->requests.begin(), channel->requests.end(),
                           [request](const Impl::Request& r) { return r.message == request; });
    if (!request || it == channel->requests.end() || it->sent) {
      HOST_LOG(APT_PRIO_WARNING, "SendRequest: not an unsent request of channel %d", index);
      return false;
    }
  }
  const mrcp_method_id method = request->start_line.method_id;
  if (impl.config.queue_speaks && method == SYNTHESIZER_SPEAK) impl.MergeSession(channel, request);
  if (impl.config.queue_speaks && method == SYNTHESIZER_SET_PARAMS) impl.StoreSession(channel, request);
  std::vector<std::string> asked;
  if (method == SYNTHESIZER_GET_PARAMS) {
    for (const std::string& line : HeaderLines(request)) asked.push_back(HeaderName(line));
  }

  // What the server does with it: queue it, answer it, or pass it on.
  bool forward = true;
  Impl::Request* rec = nullptr;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    auto it = std::find_if(channel->requests.begin(), channel->requests.end(),
                           [request](const Impl::Request& r) { return r.message == request; });
    rec = &*it;
    // The caller may have edited the start line since CreateRequest.
    rec->sent = true;
    rec->seq = channel->next_seq++;
    rec->id = request->start_line.request_id;
    rec->method = method;
    rec->asked = std::move(asked);
    if (method == SYNTHESIZER_SPEAK &&
        mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_KILL_ON_BARGE_IN)) {
      rec->kill_on_barge_in = request->synth_header->kill_on_barge_in != FALSE;
    }
    mrcp_status_code_e status = MRCP_STATUS_CODE_SUCCESS;
    mrcp_request_state_e state = MRCP_REQUEST_STATE_COMPLETE;
    std::vector<mrcp_request_id> ended;
    if (impl.config.queue_speaks && !channel->closing) {
      Impl::Request* speaking = channel->speaking ? Impl::FindRequest(channel, channel->speaking) : nullptr;
      if (method == SYNTHESIZER_SPEAK) {
        if (channel->speaking || !channel->queue.empty()) {
          forward = false;
          state = MRCP_REQUEST_STATE_PENDING;
          rec->queued = true;
          channel->queue.push_back(rec->id);
        } else {
          channel->speaking = rec->id;
        }
      } else if (method == SYNTHESIZER_STOP) {
        const bool listed = mrcp_generic_header_property_check(request, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
        const std::vector<mrcp_request_id> ids =
            listed ? ParseIdList(request->generic_header->active_request_id_list) : std::vector<mrcp_request_id>();
        if (channel->speaking && (!listed || std::find(ids.begin(), ids.end(), channel->speaking) != ids.end())) {
          for (mrcp_request_id id : channel->queue) {
            if (!listed || std::find(ids.begin(), ids.end(), id) != ids.end()) rec->targets.push_back(id);
          }
          ++channel->stops_outstanding;
          rec->holds_queue = true;
        } else {
          forward = false;  // nothing the plugin has is to stop
          ended = impl.DequeueLocked(channel, ids, !listed);
        }
      } else if (method == SYNTHESIZER_BARGE_IN_OCCURRED) {
        if (speaking && speaking->kill_on_barge_in) {
          rec->targets.assign(channel->queue.begin(), channel->queue.end());
          ++channel->stops_outstanding;
          rec->holds_queue = true;
        } else {
          forward = false;  // nothing speaks, or what speaks is not to be killed
        }
      }
    }
    if (forward) {
      rec->forwarded = true;
      if (method == SYNTHESIZER_SPEAK) impl.StartPlayingLocked(channel, rec->id);
      impl.checker.Forwarded(index, rec->id, method);
    } else {
      if (!rec->queued) rec->answered = true;
      mrcp_message_t* answer = mrcp_response_create(request, request->pool);
      if (answer) {
        answer->start_line.status_code = status;
        answer->start_line.request_state = state;
        if (!ended.empty()) {
          const std::string list = IdList(ended);
          apt_string_assign(&mrcp_generic_header_prepare(answer)->active_request_id_list, list.c_str(), request->pool);
          mrcp_generic_header_property_add(answer, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
        }
        HostEvent event = Impl::MessageEvent(index, answer);
        event.from_host = true;
        event.ended = ended;
        impl.PushLocked(std::move(event));
      }
    }
  }
  if (!forward) return true;
  if (method == SYNTHESIZER_PAUSE || method == SYNTHESIZER_STOP || method == SYNTHESIZER_BARGE_IN_OCCURRED) {
    channel->held.store(true);  // gaps from here on are asked for
  }
  // Answers may arrive on other threads before process_request returns.
  bool accepted = channel->handle->method_vtable->process_request(channel->handle, request) != FALSE;
  if (!accepted) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: plugin refused request %" PRIu32, index, request->start_line.request_id);
    Impl::Request* next = nullptr;
    {
      std::lock_guard<std::mutex> lock(impl.mutex);
      rec->answered = true;  // nothing more will come for it
      impl.checker.Withdraw(index, rec->id);
      if (method == SYNTHESIZER_SPEAK) impl.SpeakEndedLocked(channel, rec->id);
      if (rec->holds_queue) {
        rec->holds_queue = false;
        --channel->stops_outstanding;
      }
      if (impl.config.queue_speaks) next = impl.NextQueuedLocked(channel);
    }
    impl.Dispatch(channel, next);
  }
  return accepted;
}

std::vector<int> Host::UnclosedChannels() const {
  std::vector<int> unclosed;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (const auto& [index, channel] : impl_->channels) {
    if (channel->unclosed) unclosed.push_back(index);
  }
  return unclosed;
}

std::uint64_t Host::Underruns(int index, mrcp_request_id speak) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Impl::Channel* channel = impl_->Find(index, nullptr);
  if (!channel) return 0;
  if (channel->playing.load() == speak) return channel->underruns.load();
  auto it = channel->underrun_counts.find(speak);
  return it == channel->underrun_counts.end() ? 0 : it->second;
}

std::vector<ProtocolViolation> Host::Violations() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->checker.violations();
}

bool Host::StartMedia(int index, FrameSink* sink, bool realtime, FrameSink* timeline) {
  Impl::Channel* channel = impl_->Find(index, "StartMedia");
  if (!channel) return false;
  bool open;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    open = channel->open_called && !channel->closed && channel->open_acked && channel->open_status;
  }
  if (!open || channel->media.joinable()) {
    HOST_LOG(APT_PRIO_WARNING, "StartMedia: channel %d %s", index, open ? "has media running already" : "is not open");
    return false;
  }
  // 10 ms of 16-bit mono samples; allocated here so the frame path allocates nothing.
  channel->frame_buffer.assign(channel->codec->sampling_rate / 100 * 2, 0);
  channel->sink = sink;
  channel->timeline = timeline;
  channel->realtime = realtime;
  channel->media_stop.store(false);
  channel->frames_read.store(0);
  Impl* impl = impl_.get();
  channel->media = std::thread([impl, channel] { impl->MediaLoop(channel); });
  return true;
}

void Host::StopMedia(int index) {
  Impl::Channel* channel = impl_->Find(index, "StopMedia");
  if (channel) impl_->StopMedia(channel);
}

std::vector<HostEvent> Host::Events() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->events;
}

std::vector<HostEvent> Host::TakeEvents() {
  std::vector<HostEvent> taken;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  taken.swap(impl_->events);
  return taken;
}

bool Host::WaitFor(const std::function<bool(const std::vector<HostEvent>&)>& pred,
                   std::chrono::milliseconds wait) const {
  const Impl& impl = *impl_;
  return impl.Wait(wait, [&impl, &pred] { return pred(impl.events); });
}

bool Host::WaitForMessage(int channel, mrcp_message_type_e type, mrcp_method_id method,
                          std::chrono::milliseconds wait) const {
  return WaitFor(
      [=](const std::vector<HostEvent>& events) {
        return std::any_of(events.begin(), events.end(), [=](const HostEvent& e) {
          return e.kind == HostEvent::Kind::Message && e.channel == channel && e.message_type == type &&
                 e.method_id == method;
        });
      },
      wait);
}

const apt_dir_layout_t* Host::dir_layout() const { return impl_->layout; }

const HostConfig& Host::config() const { return impl_->config; }

}  // namespace corvex
