// The protocol checker: one record per request the plugin was given, kept
// until enough later ones have ended.
#include "protocol_checker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "corvex_internal.h"
#include "message_headers.h"

namespace corvex {

const char* const ProtocolChecker::kOneResponse = "exactly one response per request";
const char* const ProtocolChecker::kSpeakFinal =
    "a SPEAK ends with an error response, a SPEAK-COMPLETE after its IN-PROGRESS, or the STOP or "
    "BARGE-IN-OCCURRED that ended it";
const char* const ProtocolChecker::kSpeakComplete = "SPEAK-COMPLETE has request-state COMPLETE and a Completion-Cause";
const char* const ProtocolChecker::kNothingAfterFinal = "nothing for a request after its final answer";
const char* const ProtocolChecker::kKnownRequest = "no message for an unknown request id";
const char* const ProtocolChecker::kAcknowledgedOnce = "open and close acknowledged exactly once";
const char* const ProtocolChecker::kStatusCode = "a status code of RFC 6787";
const char* const ProtocolChecker::kRequestState = "request-state PENDING, IN-PROGRESS or COMPLETE";
const char* const ProtocolChecker::kSynthEvent = "events of the synthesizer resource only";
const char* const ProtocolChecker::kCauseCode = "Completion-Cause 000 to 007";
const char* const ProtocolChecker::kSpeechMarker = "a SPEECH-MARKER carries Speech-Marker";
const char* const ProtocolChecker::kChannelId = "Channel-Identifier is the channel's own";
const char* const ProtocolChecker::kActiveList = "Active-Request-Id-List names only SPEAKs the channel was given";
const char* const ProtocolViolation::kAudioAfterEnd = "audio after the end";

namespace {

const char* StateName(mrcp_request_state_e state) {
  const char* name = mrcp_request_state_name_get(state);
  return name ? name : "(unknown state)";
}

bool Success(mrcp_status_code_e status) { return status >= 200 && status < 300; }

// The number in an enumerated field, read as a number.
template <typename E>
unsigned Raw(const E& field) {
  static_assert(sizeof(E) == sizeof(unsigned), "an enum of the C interface");
  unsigned value;
  std::memcpy(&value, &field, sizeof value);
  return value;
}

// Sets the field to `unknown` when its number lies beyond the bits of the
// type's enumerators up to `last`, which is all a C++ enum holds.
template <typename E>
void Clamp(E* field, E last, E unknown) {
  unsigned bits = 1;
  while (bits < static_cast<unsigned>(last)) bits = bits << 1 | 1;
  if (Raw(*field) > bits) *field = unknown;
}

bool HasCause(const mrcp_message_t& message) {
  return message.synth_header && (message.synth_properties & (1u << SYNTHESIZER_HEADER_COMPLETION_CAUSE));
}

}  // namespace

std::string DescribeMessage(const mrcp_message_t& message) {
  const mrcp_start_line_t& line = message.start_line;
  std::string text;
  if (line.message_type == MRCP_MESSAGE_TYPE_RESPONSE) {
    text = std::to_string(static_cast<int>(line.status_code)) + " " + StateName(line.request_state);
  } else {
    const char* event = mrcp_synth_event_name_get(line.method_id);
    text = std::string(event ? event : "(unknown event)") + " " + StateName(line.request_state);
  }
  if (HasCause(message)) {
    char cause[32];
    std::snprintf(cause, sizeof(cause), " with Completion-Cause %03u",
                  static_cast<unsigned>(message.synth_header->completion_cause));
    text += cause;
  }
  return text;
}

void ProtocolChecker::Violate(int channel, mrcp_request_id id, const char* rule, const std::string& detail) {
  ProtocolViolation violation;
  violation.channel = channel;
  violation.request_id = id;
  violation.rule = rule;
  violation.detail = detail;
  violations_.push_back(std::move(violation));
}

void ProtocolChecker::EngineOpenAcknowledged() {
  if (++engine_open_acks_ > 1) Violate(-1, 0, kAcknowledgedOnce, "the engine's open acknowledged again");
}

void ProtocolChecker::EngineCloseAcknowledged() {
  if (++engine_close_acks_ > 1) Violate(-1, 0, kAcknowledgedOnce, "the engine's close acknowledged again");
}

void ProtocolChecker::ChannelOpenCalled(int channel) { At(channel).open_called = true; }

void ProtocolChecker::ChannelOpenAcknowledged(int channel) {
  Channel& c = At(channel);
  if (!c.open_called) {
    Violate(channel, 0, kAcknowledgedOnce, "an open acknowledged that was never asked for");
  } else if (++c.open_acks > 1) {
    Violate(channel, 0, kAcknowledgedOnce, "the open acknowledged again");
  }
}

void ProtocolChecker::ChannelCloseCalled(int channel) { At(channel).close_called = true; }

void ProtocolChecker::ChannelCloseAcknowledged(int channel) {
  Channel& c = At(channel);
  if (!c.close_called) {
    Violate(channel, 0, kAcknowledgedOnce, "a close acknowledged that was never asked for");
    return;
  }
  if (++c.close_acks > 1) {
    Violate(channel, 0, kAcknowledgedOnce, "the close acknowledged again");
    return;
  }
  for (auto& [id, request] : c.requests) {
    if (request.responses == 0) {
      Violate(channel, id, kOneResponse,
              std::string("a ") + mrcp_synth_method_name_get(request.method) +
                  " without a response when the close was acknowledged");
    }
    // A SPEAK still playing simply ends with its channel.
    request.final = true;
    if (request.ended_by.empty()) request.ended_by = "the close";
  }
}

void ProtocolChecker::Forget(int channel) {
  auto it = channels_.find(channel);
  if (it == channels_.end()) return;
  const Channel& c = it->second;
  if (c.open_called && c.open_acks == 0) Violate(channel, 0, kAcknowledgedOnce, "the open was never acknowledged");
  if (c.close_called && c.close_acks == 0) Violate(channel, 0, kAcknowledgedOnce, "the close was never acknowledged");
  channels_.erase(it);
}

void ProtocolChecker::Forwarded(int channel, mrcp_request_id id, mrcp_method_id method) {
  Channel& c = At(channel);
  // Dropped here, not as they end: a STOP's response ends several while
  // the map is walked.
  while (c.finals.size() > kRememberedFinals) {
    const auto dropped = c.requests.find(c.finals.front());
    if (dropped != c.requests.end() && dropped->second.final) {
      c.forgotten = std::max(c.forgotten, dropped->first);
      c.requests.erase(dropped);
    }
    c.finals.pop_front();
  }
  Request request;
  request.method = method;
  request.seq = c.next_seq++;
  c.requests[id] = request;
}

void ProtocolChecker::MarkFinal(Channel& c, mrcp_request_id id, Request& r, std::string how) {
  r.final = true;
  r.ended_by = std::move(how);
  c.finals.push_back(id);
}

std::size_t ProtocolChecker::Remembered(int channel) const {
  const auto c = channels_.find(channel);
  return c == channels_.end() ? 0 : c->second.requests.size();
}

void ProtocolChecker::AfterFinal(int channel, mrcp_request_id id, const Request& r, const std::string& what) {
  const std::string detail =
      what + " after the " + mrcp_synth_method_name_get(r.method) + " had ended by " + r.ended_by;
  // A SPEAK that a STOP or BARGE-IN-OCCURRED ended is silent from then on.
  Violate(channel, id, r.stopped ? ProtocolViolation::kAudioAfterEnd : kNothingAfterFinal, detail);
}

void ProtocolChecker::AudioAfterEnd(int channel, mrcp_request_id speak, const std::string& detail) {
  Violate(channel, speak, ProtocolViolation::kAudioAfterEnd, detail);
}

void ProtocolChecker::CheckForm(int channel, const std::string& channel_id, const mrcp_message_t& message) {
  const mrcp_start_line_t& line = message.start_line;
  const mrcp_request_id id = line.request_id;
  const unsigned type = Raw(line.message_type);
  const std::string what =
      std::string(type == MRCP_MESSAGE_TYPE_EVENT ? "an event" : "a response") + " for request " + std::to_string(id);
  if (type == MRCP_MESSAGE_TYPE_RESPONSE && !corvex_status_code_known(Raw(line.status_code))) {
    Violate(channel, id, kStatusCode, what + " with status " + std::to_string(Raw(line.status_code)));
  }
  if (Raw(line.request_state) >= MRCP_REQUEST_STATE_COUNT) {
    Violate(channel, id, kRequestState, what + " with request-state " + std::to_string(Raw(line.request_state)));
  }
  if (type == MRCP_MESSAGE_TYPE_EVENT && line.method_id >= SYNTHESIZER_EVENT_COUNT) {
    Violate(channel, id, kSynthEvent, "an event of kind " + std::to_string(line.method_id));
  }
  if (HasCause(message) && Raw(message.synth_header->completion_cause) >= SYNTHESIZER_COMPLETION_CAUSE_COUNT) {
    Violate(channel, id, kCauseCode,
            what + " with Completion-Cause " + std::to_string(Raw(message.synth_header->completion_cause)));
  }
  if (type == MRCP_MESSAGE_TYPE_EVENT && line.method_id == SYNTHESIZER_SPEECH_MARKER &&
      !mrcp_resource_header_property_check(&message, SYNTHESIZER_HEADER_SPEECH_MARKER)) {
    Violate(channel, id, kSpeechMarker, "a SPEECH-MARKER without Speech-Marker");
  }
  const std::string own(message.channel_id.buf ? message.channel_id.buf : "",
                        message.channel_id.buf ? message.channel_id.length : 0);
  if (own != channel_id) {
    Violate(channel, id, kChannelId, what + " with Channel-Identifier \"" + own + "\", not \"" + channel_id + "\"");
  }
}

mrcp_message_t InRange(const mrcp_message_t& message, mrcp_synth_header_t* synth) {
  mrcp_message_t copy = message;
  mrcp_start_line_t& line = copy.start_line;
  Clamp(&line.message_type, MRCP_MESSAGE_TYPE_EVENT, MRCP_MESSAGE_TYPE_UNKNOWN);
  Clamp(&line.request_state, MRCP_REQUEST_STATE_COUNT, MRCP_REQUEST_STATE_UNKNOWN);
  Clamp(&line.status_code, MRCP_STATUS_CODE_RESOURCE_SPECIFIC_FAILURE, MRCP_STATUS_CODE_UNKNOWN);
  if (message.synth_header) {
    *synth = *message.synth_header;
    copy.synth_header = synth;
    Clamp(&synth->completion_cause, SYNTHESIZER_COMPLETION_CAUSE_COUNT, SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN);
    Clamp(&synth->voice_param.gender, VOICE_GENDER_UNKNOWN, VOICE_GENDER_UNKNOWN);
    mrcp_prosody_rate_t& rate = synth->prosody_param.rate;
    Clamp(&rate.type, PROSODY_RATE_TYPE_UNKNOWN, PROSODY_RATE_TYPE_UNKNOWN);
    if (Raw(rate.type) == PROSODY_RATE_TYPE_LABEL) Clamp(&rate.value.label, PROSODY_RATE_UNKNOWN, PROSODY_RATE_UNKNOWN);
    mrcp_prosody_volume_t& volume = synth->prosody_param.volume;
    Clamp(&volume.type, PROSODY_VOLUME_TYPE_UNKNOWN, PROSODY_VOLUME_TYPE_UNKNOWN);
    if (Raw(volume.type) == PROSODY_VOLUME_TYPE_LABEL) {
      Clamp(&volume.value.label, PROSODY_VOLUME_UNKNOWN, PROSODY_VOLUME_UNKNOWN);
    }
  }
  return copy;
}

void ProtocolChecker::CheckActiveList(int channel, const mrcp_message_t& message, const std::string& what) {
  if (!mrcp_generic_header_property_check(&message, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST)) return;
  const Channel& c = At(channel);
  for (mrcp_request_id listed : ParseIdList(message.generic_header->active_request_id_list)) {
    const auto it = c.requests.find(listed);
    if (it == c.requests.end() || it->second.method != SYNTHESIZER_SPEAK) {
      Violate(channel, message.start_line.request_id, kActiveList,
              what + " names request " + std::to_string(listed) + ", never a SPEAK of this channel");
    }
  }
}

bool ProtocolChecker::IsFinal(int channel, mrcp_request_id id) const {
  auto c = channels_.find(channel);
  if (c == channels_.end()) return true;
  auto r = c->second.requests.find(id);
  return r == c->second.requests.end() || r->second.final;
}

std::vector<mrcp_request_id> ProtocolChecker::Message(int channel, const mrcp_message_t& message) {
  std::vector<mrcp_request_id> ended;
  const mrcp_start_line_t& line = message.start_line;
  const mrcp_request_id id = line.request_id;
  const std::string what = DescribeMessage(message);
  Channel& c = At(channel);
  if (c.close_acks > 0) {
    Violate(channel, id, kNothingAfterFinal, what + " after the channel's close was acknowledged");
    return ended;
  }
  auto it = c.requests.find(id);
  if (it == c.requests.end()) {
    if (id != 0 && id <= c.forgotten) {
      Violate(channel, id, kNothingAfterFinal, what + " after the request had ended, long before");
    } else {
      Violate(channel, id, kKnownRequest, what + " for a request the plugin was never given");
    }
    return ended;
  }
  Request& r = it->second;
  const char* method = mrcp_synth_method_name_get(r.method);
  const bool speak = r.method == SYNTHESIZER_SPEAK;

  if (line.message_type == MRCP_MESSAGE_TYPE_RESPONSE) {
    if (++r.responses > 1) {
      Violate(channel, id, kOneResponse, std::string("a second response to a ") + method + ": " + what);
      return ended;
    }
    if (r.final) {
      AfterFinal(channel, id, r, what);
      return ended;
    }
    CheckActiveList(channel, message, what);
    const bool success = Success(line.status_code);
    if (speak && success && line.request_state != MRCP_REQUEST_STATE_COMPLETE) {
      r.in_progress = true;
      return ended;
    }
    MarkFinal(c, id, r, "its response " + what);
    if (speak && success) {
      Violate(channel, id, kSpeakFinal, "a SPEAK answered " + what + ": its success response is IN-PROGRESS");
    } else if (line.request_state != MRCP_REQUEST_STATE_COMPLETE) {
      Violate(channel, id, kOneResponse,
              std::string("a ") + method + " answered " + what + ": the only response is the final one, COMPLETE");
    }
    if (success && (r.method == SYNTHESIZER_STOP || r.method == SYNTHESIZER_BARGE_IN_OCCURRED)) {
      // It ended every SPEAK passed before it that was still going.
      for (auto& [other_id, other] : c.requests) {
        if (other.method != SYNTHESIZER_SPEAK || other.seq > r.seq || other.final) continue;
        other.stopped = true;
        MarkFinal(c, other_id, other, std::string("the ") + method + " " + std::to_string(id));
        ended.push_back(other_id);
      }
    }
    return ended;
  }

  // An event.
  const bool complete = line.method_id == SYNTHESIZER_SPEAK_COMPLETE;
  if (r.final) {
    AfterFinal(channel, id, r, what);
    return ended;
  }
  if (!speak) {
    Violate(channel, id, kSpeakFinal, what + " for a " + method + ": events belong to a SPEAK");
    return ended;
  }
  if (!r.in_progress) {
    Violate(channel, id, kSpeakFinal,
            what + (r.responses == 0 ? " with no response before it" : " without an IN-PROGRESS before it"));
  }
  if (complete) {
    MarkFinal(c, id, r, what);
    const bool has_cause =
        message.synth_header && (message.synth_properties & (1u << SYNTHESIZER_HEADER_COMPLETION_CAUSE));
    if (line.request_state != MRCP_REQUEST_STATE_COMPLETE || !has_cause) {
      Violate(channel, id, kSpeakComplete,
              "a SPEAK-COMPLETE " + std::string(line.request_state != MRCP_REQUEST_STATE_COMPLETE
                                                    ? std::string("in state ") + StateName(line.request_state)
                                                    : std::string("without a Completion-Cause")));
    }
  }
  return ended;
}

}  // namespace corvex
