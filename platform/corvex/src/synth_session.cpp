// The server's synthesizer session on a channel: what it does with a
// request (queue it, answer it or pass it to the plugin) and what the client
// sees of the plugin's answers.
#include <algorithm>
#include <cinttypes>

#include "host_channel.h"
#include "message_headers.h"

namespace corvex {

namespace {

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

}  // namespace

HostChannel::Request* HostChannel::FindRequest(mrcp_request_id id) {
  for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
    if (it->sent && it->id == id) return &*it;
  }
  return nullptr;
}

void HostChannel::StartPlaying(mrcp_request_id id) {
  const mrcp_request_id before = playing.load();
  if (before) underrun_counts[before] = underruns.load();  // replaced in the plugin
  underruns.store(0);
  audio_phase.store(kBeforeAudio);
  held.store(false);
  playing.store(id);
}

void HostChannel::SpeakEnded(mrcp_request_id id) {
  if (playing.load() == id) {
    underrun_counts[id] = underruns.load();
    playing.store(0);
  }
  if (speaking == id) speaking = 0;
}

std::vector<mrcp_request_id> HostChannel::Dequeue(const std::vector<mrcp_request_id>& ids, bool all) {
  std::vector<mrcp_request_id> removed;
  for (auto it = queue.begin(); it != queue.end();) {
    if (all || std::find(ids.begin(), ids.end(), *it) != ids.end()) {
      removed.push_back(*it);
      if (Request* r = FindRequest(*it)) r->answered = true;
      it = queue.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
}

HostChannel::Request* HostChannel::NextQueued() {
  if (speaking || stops_outstanding || closing || queue.empty()) return nullptr;
  Request* next = FindRequest(queue.front());
  queue.pop_front();
  if (!next) return nullptr;
  speaking = next->id;
  StartPlaying(next->id);
  next->forwarded = true;
  impl->checker.Forwarded(index, next->id, next->method);
  ++dispatching;
  return next;
}

void HostChannel::Dispatch(Request* next) {
  while (next) {
    const bool accepted = handle->method_vtable->process_request(handle, next->message) != FALSE;
    MutexLock lock(&impl->mutex);
    --dispatching;
    impl->changed.notify_all();
    if (accepted) return;
    HOST_LOG(APT_PRIO_WARNING, "channel %d: plugin refused queued SPEAK %" PRIu32, index, next->id);
    next->answered = true;
    SpeakEnded(next->id);
    next = NextQueued();
  }
}

void HostChannel::MergeSession(mrcp_message_t* request) {
  std::vector<std::string> add;
  {
    MutexLock lock(&impl->mutex);
    if (session.empty()) return;
    const std::vector<std::string> own = HeaderLines(request);
    for (const std::string& line : session) {
      const std::string name = HeaderName(line);
      if (std::none_of(own.begin(), own.end(), [&](const std::string& o) { return SameName(HeaderName(o), name); })) {
        add.push_back(line);
      }
    }
  }
  if (add.empty()) return;
  mrcp_message_t* merged = WithHeaders(request, add, request->pool);
  if (!merged) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: the session's headers cannot be added to SPEAK %" PRIu32, index,
             request->start_line.request_id);
    return;
  }
  merged->channel_id = request->channel_id;
  *request = *merged;
}

void HostChannel::StoreSession(const mrcp_message_t* request) {
  const std::vector<std::string> lines = HeaderLines(request);
  MutexLock lock(&impl->mutex);
  for (const std::string& line : lines) {
    const std::string name = HeaderName(line);
    if (!IsSessionHeader(name) || line.size() <= name.size() + 1) continue;  // empty values set nothing
    auto same = std::find_if(session.begin(), session.end(),
                             [&](const std::string& s) { return SameName(HeaderName(s), name); });
    if (same != session.end()) {
      *same = line;
    } else {
      session.push_back(line);
    }
  }
}

bool HostChannel::ClientView(const mrcp_message_t* message, Request* request,
                             const std::vector<mrcp_request_id>& ended_by_plugin, bool final, HostEvent* event) {
  const mrcp_start_line_t& line = message->start_line;
  const bool response = line.message_type == MRCP_MESSAGE_TYPE_RESPONSE;
  const bool success = line.status_code >= 200 && line.status_code < 300;
  if (!request) return true;
  std::vector<std::string> headers;
  std::vector<std::string> removed;
  apr_pool_t* scratch = nullptr;
  switch (request->method) {
    case SYNTHESIZER_SPEAK:
      if (response && success && line.request_state == MRCP_REQUEST_STATE_INPROGRESS && request->queued) {
        return false;
      }
      if (final) SpeakEnded(request->id);
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
          *event = Impl::MessageEvent(index, complete);
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
        --stops_outstanding;
      }
      if (!success) return true;
      // The client is told the host's own account of what ended, never the plugin's.
      std::vector<mrcp_request_id> ended = ended_by_plugin;
      for (mrcp_request_id id : ended) SpeakEnded(id);
      for (mrcp_request_id id : Dequeue(request->targets, false)) ended.push_back(id);
      event->ended = ended;
      if (ended.empty()) {
        removed.push_back("Active-Request-Id-List");
      } else {
        headers.push_back("Active-Request-Id-List: " + IdList(ended));
      }
      break;
    }
    case SYNTHESIZER_PAUSE:
    case SYNTHESIZER_RESUME:
      if (response && success && request->method == SYNTHESIZER_RESUME) held.store(false);
      // They act on the speaking SPEAK, and say which.
      if (!response || !success || !impl->config.queue_speaks || !speaking) return true;
      headers.push_back("Active-Request-Id-List: " + std::to_string(speaking));
      break;
    case SYNTHESIZER_GET_PARAMS:
      if (!response || !success || !impl->config.queue_speaks) return true;
      for (const std::string& name : request->asked) {
        auto value = std::find_if(session.begin(), session.end(),
                                  [&](const std::string& s) { return SameName(HeaderName(s), name); });
        headers.push_back(value != session.end() ? *value : name + ":");
      }
      if (headers.empty()) return true;
      break;
    default:
      return true;
  }
  if (headers.empty() &&
      (removed.empty() || !mrcp_generic_header_property_check(message, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST))) {
    return true;
  }
  apr_pool_create(&scratch, nullptr);
  if (mrcp_message_t* shown = WithHeaders(message, headers, scratch, removed)) event->text = Render(shown);
  apr_pool_destroy(scratch);
  return true;
}

void HostChannel::OnMessage(const mrcp_message_t* message) {
  const mrcp_start_line_t& line = message->start_line;
  // Copy everything now: the message lives in a request pool that may be
  // released as soon as the request counts as answered.
  HostEvent event = Impl::MessageEvent(index, message);
  if (event.text.empty()) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: message for request %" PRIu32 " has no text form", index, line.request_id);
  }
  Request* next = nullptr;
  {
    MutexLock lock(&impl->mutex);
    const std::vector<mrcp_request_id> ended = impl->checker.Message(index, handle->id, *message);
    Request* request = FindRequest(line.request_id);
    if (request && !request->forwarded) request = nullptr;  // not the plugin's to answer
    const bool final = request && impl->checker.IsFinal(index, request->id);
    const std::int64_t now = NowUs();
    if (request && request->method == SYNTHESIZER_SPEAK) {
      if (final) {
        silence.End(request->id, now);
      } else if (line.message_type == MRCP_MESSAGE_TYPE_RESPONSE &&
                 line.request_state == MRCP_REQUEST_STATE_INPROGRESS && line.status_code >= 200 &&
                 line.status_code < 300) {
        ReportAudioAfterEnd(silence.Begin(request->id, now));
      }
    }
    for (mrcp_request_id id : ended) silence.End(id, now);
    impl->LogViolations();
    const bool shown = ClientView(message, request, ended, final, &event);
    if (final) request->answered = true;
    for (mrcp_request_id id : ended) {
      if (Request* speak = FindRequest(id)) speak->answered = true;
    }
    if (shown) impl->Push(std::move(event));
    if (impl->config.queue_speaks) next = NextQueued();
  }
  Dispatch(next);
}

bool HostChannel::Receive(mrcp_message_t* request) {
  {
    MutexLock lock(&impl->mutex);
    auto it =
        std::find_if(requests.begin(), requests.end(), [request](const Request& r) { return r.message == request; });
    if (!request || it == requests.end() || it->sent) {
      HOST_LOG(APT_PRIO_WARNING, "SendRequest: not an unsent request of channel %d", index);
      return false;
    }
  }
  const mrcp_method_id method = request->start_line.method_id;
  if (impl->config.queue_speaks && method == SYNTHESIZER_SPEAK) MergeSession(request);
  if (impl->config.queue_speaks && method == SYNTHESIZER_SET_PARAMS) StoreSession(request);
  std::vector<std::string> asked;
  if (method == SYNTHESIZER_GET_PARAMS) {
    for (const std::string& line : HeaderLines(request)) asked.push_back(HeaderName(line));
  }

  // What the server does with it: queue it, answer it, or pass it on.
  bool forward = true;
  Request* rec = nullptr;
  {
    MutexLock lock(&impl->mutex);
    auto it =
        std::find_if(requests.begin(), requests.end(), [request](const Request& r) { return r.message == request; });
    rec = &*it;
    // The caller may have edited the start line since CreateRequest.
    rec->sent = true;
    rec->seq = next_seq++;
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
    if (impl->config.queue_speaks && !closing) {
      Request* speaking_request = speaking ? FindRequest(speaking) : nullptr;
      if (method == SYNTHESIZER_SPEAK) {
        if (speaking || !queue.empty()) {
          forward = false;
          state = MRCP_REQUEST_STATE_PENDING;
          rec->queued = true;
          queue.push_back(rec->id);
        } else {
          speaking = rec->id;
        }
      } else if (method == SYNTHESIZER_STOP) {
        const bool listed = mrcp_generic_header_property_check(request, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
        const std::vector<mrcp_request_id> ids =
            listed ? ParseIdList(request->generic_header->active_request_id_list) : std::vector<mrcp_request_id>();
        if (speaking && (!listed || std::find(ids.begin(), ids.end(), speaking) != ids.end())) {
          for (mrcp_request_id id : queue) {
            if (!listed || std::find(ids.begin(), ids.end(), id) != ids.end()) rec->targets.push_back(id);
          }
          ++stops_outstanding;
          rec->holds_queue = true;
        } else {
          forward = false;  // nothing the plugin has is to stop
          ended = Dequeue(ids, !listed);
        }
      } else if (method == SYNTHESIZER_BARGE_IN_OCCURRED) {
        if (speaking_request && speaking_request->kill_on_barge_in) {
          rec->targets.assign(queue.begin(), queue.end());
          ++stops_outstanding;
          rec->holds_queue = true;
        } else {
          forward = false;  // nothing speaks, or what speaks is not to be killed
        }
      }
    }
    if (forward) {
      rec->forwarded = true;
      if (method == SYNTHESIZER_SPEAK) StartPlaying(rec->id);
      impl->checker.Forwarded(index, rec->id, method);
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
        impl->Push(std::move(event));
      }
    }
  }
  if (!forward) return true;
  if (method == SYNTHESIZER_PAUSE || method == SYNTHESIZER_STOP || method == SYNTHESIZER_BARGE_IN_OCCURRED) {
    held.store(true);  // gaps from here on are asked for
  }
  // Answers may arrive on other threads before process_request returns.
  bool accepted = handle->method_vtable->process_request(handle, request) != FALSE;
  if (!accepted) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: plugin refused request %" PRIu32, index, request->start_line.request_id);
    Request* next = nullptr;
    {
      MutexLock lock(&impl->mutex);
      rec->answered = true;  // nothing more will come for it
      impl->checker.Withdraw(index, rec->id);
      if (method == SYNTHESIZER_SPEAK) SpeakEnded(rec->id);
      if (rec->holds_queue) {
        rec->holds_queue = false;
        --stops_outstanding;
      }
      if (impl->config.queue_speaks) next = NextQueued();
    }
    Dispatch(next);
  }
  return accepted;
}

}  // namespace corvex
