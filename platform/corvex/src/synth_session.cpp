// The server's synthesizer session on a channel: what it does with a
// request (answer it itself, queue it, or pass it to the plugin) and what
// the client sees of the plugin's answers.
//
// The server answers without asking the plugin: a request id not above the
// last one received (410); PAUSE, RESUME or CONTROL with no SPEAK active,
// DEFINE-LEXICON with one (402); a SET-PARAMS or GET-PARAMS naming a header
// the synthesizer does not keep (403) or a SET-PARAMS with a value outside
// its grammar (404); and, when it queues, a SPEAK that arrives while another
// is active (PENDING), a STOP that only ends queued SPEAKs, a
// BARGE-IN-OCCURRED that ends nothing. A request the plugin refuses to take
// gets 407.
#include <algorithm>
#include <cinttypes>

#include "host_channel.h"
#include "message_headers.h"

namespace corvex {

namespace {

bool Success(mrcp_status_code_e status) { return status >= 200 && status < 300; }

}  // namespace

HostChannel::Request* HostChannel::FindRequest(mrcp_request_id id, Among among) {
  for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
    if (it->sent && it->id == id && (among == kForwarded ? it->forwarded : it->queued)) return &*it;
  }
  return nullptr;
}

bool HostChannel::SpeakActive() {
  return std::any_of(requests.begin(), requests.end(),
                     [](const Request& r) { return r.sent && !r.answered && r.method == SYNTHESIZER_SPEAK; });
}

void HostChannel::StartPlaying(mrcp_request_id id) {
  const mrcp_request_id before = playing.load();
  if (before) KeepUnderruns(before);  // replaced in the plugin
  underruns.store(0);
  audio_phase.store(kBeforeAudio);
  held.store(false);
  playing.store(id);
}

void HostChannel::KeepUnderruns(mrcp_request_id id) {
  // Only SPEAKs with gaps are kept: a channel may play millions without one.
  if (const std::uint64_t count = underruns.load()) underrun_counts[id] = count;
}

void HostChannel::SpeakEnded(mrcp_request_id id) {
  if (playing.load() == id) {
    KeepUnderruns(id);
    playing.store(0);
  }
  if (speaking == id) speaking = 0;
}

std::vector<mrcp_request_id> HostChannel::Dequeue(const std::vector<mrcp_request_id>& ids, bool all) {
  std::vector<mrcp_request_id> removed;
  for (auto it = queue.begin(); it != queue.end();) {
    if (all || std::find(ids.begin(), ids.end(), *it) != ids.end()) {
      removed.push_back(*it);
      if (Request* r = FindRequest(*it, kQueued)) r->answered = true;
      it = queue.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
}

HostChannel::Request* HostChannel::NextQueued() {
  if (speaking || stops_outstanding || closing || queue.empty()) return nullptr;
  Request* next = FindRequest(queue.front(), kQueued);
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
    Refused(next);
    next = NextQueued();
  }
}

void HostChannel::Tell(const mrcp_message_t* message, const std::vector<std::string>& headers,
                       const std::vector<mrcp_request_id>& ended) {
  if (!message) return;
  apr_pool_t* scratch = nullptr;
  apr_pool_create(&scratch, nullptr);
  const mrcp_message_t* shown = headers.empty() ? message : WithHeaders(message, headers, scratch);
  HostEvent event = Impl::MessageEvent(index, shown ? shown : message);
  event.from_host = true;
  event.ended = ended;
  impl->Push(std::move(event));
  apr_pool_destroy(scratch);
}

void HostChannel::Refused(Request* rec) {
  HOST_LOG(APT_PRIO_WARNING, "channel %d: plugin refused %s %" PRIu32 "; answered 407", index,
           mrcp_synth_method_name_get(rec->method), rec->id);
  rec->answered = true;  // nothing more will come for it
  rec->refused = true;
  impl->checker.Withdraw(index, rec->id);
  if (rec->method == SYNTHESIZER_SET_PARAMS) params.Settle(rec->id, false);
  if (rec->holds_queue) {
    rec->holds_queue = false;
    --stops_outstanding;
  }
  apr_pool_t* scratch = nullptr;
  apr_pool_create(&scratch, nullptr);
  std::vector<std::string> headers;
  mrcp_message_t* answer = nullptr;
  if (rec->method == SYNTHESIZER_SPEAK) {
    SpeakEnded(rec->id);
    silence.End(rec->id, NowUs());
    headers.push_back("Completion-Cause: 004 error");
    // A SPEAK the client had as PENDING ends with its SPEAK-COMPLETE.
    answer = rec->queued ? mrcp_event_create(rec->message, SYNTHESIZER_SPEAK_COMPLETE, scratch)
                         : mrcp_response_create(rec->message, scratch);
  } else {
    answer = mrcp_response_create(rec->message, scratch);
  }
  if (answer) {
    answer->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    if (answer->start_line.message_type == MRCP_MESSAGE_TYPE_RESPONSE) {
      answer->start_line.status_code = MRCP_STATUS_CODE_METHOD_FAILED;
    }
  }
  Tell(answer, headers, {});
  apr_pool_destroy(scratch);
}

void HostChannel::MergeSession(mrcp_message_t* request) {
  std::vector<std::string> add;
  {
    MutexLock lock(&impl->mutex);
    add = params.ForSpeak(request);
  }
  if (add.empty()) return;
  mrcp_message_t* merged = WithHeaders(request, add, request->pool);
  if (!merged) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: the session's parameters cannot be added to SPEAK %" PRIu32, index,
             request->start_line.request_id);
    return;
  }
  merged->channel_id = request->channel_id;
  *request = *merged;
}

bool HostChannel::AnswersItself(Request* rec, const mrcp_message_t* request, Answer* answer) {
  const mrcp_method_id method = rec->method;
  if (rec->id <= last_request_id) {
    answer->status = MRCP_STATUS_CODE_OUT_OF_ORDER;
    return true;
  }
  last_request_id = rec->id;
  const bool active = SpeakActive();
  if (((method == SYNTHESIZER_PAUSE || method == SYNTHESIZER_RESUME || method == SYNTHESIZER_CONTROL) && !active) ||
      (method == SYNTHESIZER_DEFINE_LEXICON && active)) {
    answer->status = MRCP_STATUS_CODE_METHOD_NOT_VALID;
    return true;
  }
  if ((method == SYNTHESIZER_SET_PARAMS || method == SYNTHESIZER_GET_PARAMS) &&
      rec->params.status != MRCP_STATUS_CODE_SUCCESS) {
    answer->status = rec->params.status;
    answer->headers = rec->params.offending;
    return true;
  }
  if (!impl->config.queue_speaks || closing) return false;
  if (method == SYNTHESIZER_SPEAK) {
    if (speaking || !queue.empty()) {
      answer->state = MRCP_REQUEST_STATE_PENDING;
      rec->queued = true;
      queue.push_back(rec->id);
      return true;
    }
    speaking = rec->id;
  } else if (method == SYNTHESIZER_STOP) {
    const bool listed = mrcp_generic_header_property_check(request, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
    const std::vector<mrcp_request_id> ids =
        listed ? ParseIdList(request->generic_header->active_request_id_list) : std::vector<mrcp_request_id>();
    if (!speaking || (listed && std::find(ids.begin(), ids.end(), speaking) == ids.end())) {
      answer->ended = Dequeue(ids, !listed);  // nothing the plugin has is to stop
      if (!answer->ended.empty()) answer->headers.push_back("Active-Request-Id-List: " + IdList(answer->ended));
      return true;
    }
    for (mrcp_request_id id : queue) {
      if (!listed || std::find(ids.begin(), ids.end(), id) != ids.end()) rec->targets.push_back(id);
    }
    ++stops_outstanding;
    rec->holds_queue = true;
  } else if (method == SYNTHESIZER_BARGE_IN_OCCURRED) {
    const Request* speaking_request = speaking ? FindRequest(speaking, kForwarded) : nullptr;
    if (!speaking_request || !speaking_request->kill_on_barge_in) return true;  // nothing speaks, or may not be killed
    rec->targets.assign(queue.begin(), queue.end());
    ++stops_outstanding;
    rec->holds_queue = true;
  }
  return false;
}

bool HostChannel::ClientView(const mrcp_message_t* message, Request* request,
                             const std::vector<mrcp_request_id>& ended_by_plugin, bool final, HostEvent* event) {
  const mrcp_start_line_t& line = message->start_line;
  const bool response = line.message_type == MRCP_MESSAGE_TYPE_RESPONSE;
  const bool success = Success(line.status_code);
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
    case SYNTHESIZER_RESUME: {
      if (response && success && request->method == SYNTHESIZER_RESUME) held.store(false);
      if (!response || !success) return true;
      // They act on the SPEAK the plugin is playing, and say which.
      mrcp_request_id acted_on = speaking;
      for (auto it = requests.rbegin(); !acted_on && it != requests.rend(); ++it) {
        if (it->forwarded && !it->answered && it->method == SYNTHESIZER_SPEAK) acted_on = it->id;
      }
      removed.push_back("Active-Request-Id-List");
      if (acted_on) headers.push_back("Active-Request-Id-List: " + std::to_string(acted_on));
      break;
    }
    case SYNTHESIZER_SET_PARAMS:
      // Its values stay only when it succeeded.
      if (final) params.Settle(request->id, response && success);
      return true;
    case SYNTHESIZER_GET_PARAMS:
      if (!response || !success) return true;
      headers = params.Answer(request->params);
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

void HostChannel::OnMessage(const mrcp_message_t& written, const mrcp_message_t& in_range) {
  const mrcp_message_t* message = &in_range;
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
    impl->checker.CheckForm(index, handle->id, written);
    const std::vector<mrcp_request_id> ended = impl->checker.Message(index, *message);
    Request* request = FindRequest(line.request_id, kForwarded);  // the plugin answers only what it has
    const bool final = request && impl->checker.IsFinal(index, request->id);
    const std::int64_t now = NowUs();
    if (request && request->method == SYNTHESIZER_SPEAK) {
      if (final) {
        silence.End(request->id, now);
      } else if (line.message_type == MRCP_MESSAGE_TYPE_RESPONSE &&
                 line.request_state == MRCP_REQUEST_STATE_INPROGRESS && Success(line.status_code)) {
        ReportAudioAfterEnd(silence.Begin(request->id, now));
      }
    }
    for (mrcp_request_id id : ended) silence.End(id, now);
    impl->LogViolations();
    const bool shown = ClientView(message, request, ended, final, &event);
    if (final) request->answered = true;
    for (mrcp_request_id id : ended) {
      if (Request* speak = FindRequest(id, kForwarded)) speak->answered = true;
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
  if (method == SYNTHESIZER_SPEAK) MergeSession(request);
  SessionParams::Verdict verdict;
  if (method == SYNTHESIZER_SET_PARAMS) verdict = SessionParams::JudgeSet(request);
  if (method == SYNTHESIZER_GET_PARAMS) verdict = SessionParams::JudgeGet(request);

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
    rec->params = std::move(verdict);
    if (method == SYNTHESIZER_SPEAK &&
        mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_KILL_ON_BARGE_IN)) {
      rec->kill_on_barge_in = request->synth_header->kill_on_barge_in != FALSE;
    }
    Answer answer;
    if (AnswersItself(rec, request, &answer)) {
      if (!rec->queued) rec->answered = true;
      mrcp_message_t* response = mrcp_response_create(request, request->pool);
      if (response) {
        response->start_line.status_code = answer.status;
        response->start_line.request_state = answer.state;
      }
      Tell(response, answer.headers, answer.ended);
      return true;
    }
    rec->forwarded = true;
    if (method == SYNTHESIZER_SPEAK) StartPlaying(rec->id);
    if (method == SYNTHESIZER_SET_PARAMS) params.Propose(rec->id, rec->params);
    impl->checker.Forwarded(index, rec->id, method);
  }
  if (method == SYNTHESIZER_PAUSE || method == SYNTHESIZER_STOP || method == SYNTHESIZER_BARGE_IN_OCCURRED) {
    held.store(true);  // gaps from here on are asked for
  }
  // Answers may arrive on other threads before process_request returns.
  if (handle->method_vtable->process_request(handle, request)) return true;
  Request* next = nullptr;
  {
    MutexLock lock(&impl->mutex);
    Refused(rec);
    if (impl->config.queue_speaks) next = NextQueued();
  }
  Dispatch(next);
  return false;
}

}  // namespace corvex
