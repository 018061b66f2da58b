// The server's synthesizer session: what it does with a request (queue it,
// answer it or pass it to the plugin) and what the client sees of the
// plugin's answers.
#include "host_impl.h"

namespace corvex {

namespace {

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

}  // namespace

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

}  // namespace corvex
