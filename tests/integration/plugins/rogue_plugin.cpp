// A synchronous plugin that breaks the protocol on request, one rule at a
// time, for the host's checker. Every acknowledgement and answer comes at
// once from the calling (control) thread. It offers LPCM at 8000 Hz only (and
// PCMU at 16000), and its version has a patch level. A request's body names
// what it does wrong:
//   twice           SPEAK: IN-PROGRESS, then two SPEAK-COMPLETEs
//   no-response     SPEAK: a SPEAK-COMPLETE and no response
//   early           SPEAK: SPEAK-COMPLETE, then its IN-PROGRESS
//   open-state      SPEAK: IN-PROGRESS, then SPEAK-COMPLETE in state IN-PROGRESS
//   no-cause        SPEAK: IN-PROGRESS, then SPEAK-COMPLETE without a cause
//   complete        SPEAK: 200 COMPLETE
//   two-responses   any request: two responses
//   stranger        any request: its response, then one for a request id it never had
//   keep-playing    SPEAK: IN-PROGRESS, and SPEAK-COMPLETE only when asked to
//                   stop (which it refuses with 407) or after 300 ms
//   deaf            SPEAK: IN-PROGRESS and 1 s of audio, which a STOP's
//                   success response does not end
//   phantom         SPEAK: IN-PROGRESS; the STOP after it is answered with an
//                   Active-Request-Id-List naming request 4242
//   cause-42, odd-event, state-7, status-250, bare-marker, other-channel
//                   SPEAK: a message of the wrong form (a Completion-Cause
//                   42, an event of kind 5, request-state 7, status 250, a
//                   SPEECH-MARKER without Speech-Marker, another channel's
//                   Channel-Identifier), then SPEAK-COMPLETE 000
//   refuse          any request: process_request returns false
//   refuse-params   SET-PARAMS: 404
//   silent          any request: no answer at all, as from a hung synthesizer
// and anything else is answered properly (a SPEAK with IN-PROGRESS and
// SPEAK-COMPLETE 000). ROGUE_PLUGIN_ACK in the environment, read at create:
// "twice" acknowledges each channel open twice; "late" acknowledges each
// close 1500 ms late, from another thread, then reads the channel.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin_support.h"

TEST_PLUGIN_LOG_EXPORTS("ROGUE-PLUGIN")

extern "C" {
mrcp_plugin_version_t mrcp_plugin_version = {PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, 3, 9};
}

namespace {

std::string g_ack;                                            // ROGUE_PLUGIN_ACK
test_plugin::Worker* g_worker = nullptr;                      // late answers; control thread creates and stops it
std::atomic<mrcp_message_t*> g_playing{nullptr};              // keep-playing's SPEAK until it completes
std::atomic<bool> g_phantom{false};                           // the next STOP names a request never given
std::atomic<std::chrono::steady_clock::rep> g_loud_until{0};  // deaf's audio plays until then

apt_bool_t ReadFrame(mpf_audio_stream_t*, mpf_frame_t* frame) {
  if (std::chrono::steady_clock::now().time_since_epoch().count() < g_loud_until.load()) {
    std::memset(frame->codec_frame.buffer, 0x11, frame->codec_frame.size);
    frame->type |= MEDIA_FRAME_TYPE_AUDIO;
  }
  return TRUE;
}

const mpf_audio_stream_vtable_t kStreamTable = {nullptr, nullptr, nullptr, ReadFrame,
                                                nullptr, nullptr, nullptr, nullptr};

mrcp_message_t* Response(mrcp_message_t* request, int status, int state) {
  mrcp_message_t* response = mrcp_response_create(request, request->pool);
  response->start_line.status_code = static_cast<mrcp_status_code_e>(status);
  response->start_line.request_state = static_cast<mrcp_request_state_e>(state);
  return response;
}

void Respond(mrcp_engine_channel_t* ch, mrcp_message_t* request, int status, int state) {
  mrcp_engine_channel_message_send(ch, Response(request, status, state));
}

// A SPEAK-COMPLETE (or, with `kind`, another event) with the given cause (-1: none).
// A SPEAK-COMPLETE (or another event) for the request, in `pool`.
mrcp_message_t* Event(mrcp_message_t* request, apr_pool_t* pool, int cause = 0,
                      mrcp_request_state_e state = MRCP_REQUEST_STATE_COMPLETE,
                      mrcp_method_id kind = SYNTHESIZER_SPEAK_COMPLETE) {
  mrcp_message_t* event = mrcp_event_create(request, SYNTHESIZER_SPEAK_COMPLETE, pool);
  event->start_line.method_id = kind;
  event->start_line.request_state = state;
  if (cause >= 0) {
    mrcp_resource_header_prepare(event)->completion_cause = static_cast<mrcp_synth_completion_cause_e>(cause);
    mrcp_resource_header_property_add(event, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
  }
  return event;
}

void Complete(mrcp_engine_channel_t* ch, mrcp_message_t* request, int cause = 0,
              mrcp_request_state_e state = MRCP_REQUEST_STATE_COMPLETE,
              mrcp_method_id kind = SYNTHESIZER_SPEAK_COMPLETE) {
  mrcp_engine_channel_message_send(ch, Event(request, request->pool, cause, state, kind));
}

apt_bool_t ChannelDestroy(mrcp_engine_channel_t*) { return TRUE; }

apt_bool_t ChannelOpen(mrcp_engine_channel_t* ch) {
  if (g_ack == "twice") mrcp_engine_channel_open_respond(ch, TRUE);
  return mrcp_engine_channel_open_respond(ch, TRUE);
}

apt_bool_t ChannelClose(mrcp_engine_channel_t* ch) {
  if (g_ack != "late") return mrcp_engine_channel_close_respond(ch);
  g_worker->Post(
      [ch] {
        // Still working on the channel: a host that freed it would be read here.
        if (std::strlen(ch->id) == 0) apt_log(PLUGIN_LOG, APT_LOG_MARK, APT_PRIO_WARNING, "channel without id");
        mrcp_engine_channel_close_respond(ch);
      },
      std::chrono::milliseconds(1500));
  return TRUE;
}

apt_bool_t ChannelProcess(mrcp_engine_channel_t* ch, mrcp_message_t* request) {
  const std::string body = request->body.buf ? std::string(request->body.buf, request->body.length) : "";
  const bool speak = request->start_line.method_id == SYNTHESIZER_SPEAK;
  if (speak && body == "twice") {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_INPROGRESS);
    // Both made before the first goes: once it is final the server may free
    // the request and its pool.
    mrcp_message_t* first = Event(request, ch->pool);
    mrcp_message_t* second = Event(request, ch->pool);
    mrcp_engine_channel_message_send(ch, first);
    mrcp_engine_channel_message_send(ch, second);
  } else if (speak && body == "no-response") {
    Complete(ch, request);
  } else if (speak && body == "early") {
    Complete(ch, request);
    Respond(ch, request, 200, MRCP_REQUEST_STATE_INPROGRESS);
  } else if (speak && body == "open-state") {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_INPROGRESS);
    Complete(ch, request, true, MRCP_REQUEST_STATE_INPROGRESS);
  } else if (speak && body == "no-cause") {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_INPROGRESS);
    Complete(ch, request, -1);
  } else if (speak && body == "complete") {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_COMPLETE);
  } else if (speak && body == "keep-playing") {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_INPROGRESS);
    g_playing = request;
    g_worker->Post(
        [ch] {
          if (mrcp_message_t* playing = g_playing.exchange(nullptr)) Complete(ch, playing);
        },
        std::chrono::milliseconds(300));
  } else if (speak && body == "deaf") {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_INPROGRESS);
    g_loud_until = (std::chrono::steady_clock::now() + std::chrono::seconds(1)).time_since_epoch().count();
  } else if (speak && body == "phantom") {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_INPROGRESS);
    g_phantom = true;
  } else if (request->start_line.method_id == SYNTHESIZER_STOP && g_phantom.exchange(false)) {
    mrcp_message_t* response = Response(request, 200, MRCP_REQUEST_STATE_COMPLETE);
    apt_string_assign(&mrcp_generic_header_prepare(response)->active_request_id_list, "4242", request->pool);
    mrcp_generic_header_property_add(response, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
    mrcp_engine_channel_message_send(ch, response);
  } else if (speak && (body == "cause-42" || body == "odd-event" || body == "bare-marker")) {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_INPROGRESS);
    if (body != "cause-42") {
      Complete(ch, request, -1, MRCP_REQUEST_STATE_INPROGRESS, body == "odd-event" ? 5 : SYNTHESIZER_SPEECH_MARKER);
    }
    Complete(ch, request, body == "cause-42" ? 42 : 0);
  } else if (speak && (body == "state-7" || body == "status-250" || body == "other-channel")) {
    mrcp_message_t* response =
        Response(request, body == "status-250" ? 250 : 200, body == "state-7" ? 7 : MRCP_REQUEST_STATE_INPROGRESS);
    if (body == "other-channel") apt_string_assign(&response->channel_id, "0123@speechsynth", request->pool);
    mrcp_engine_channel_message_send(ch, response);
    Complete(ch, request);
  } else if (body == "refuse") {
    return FALSE;
  } else if (request->start_line.method_id == SYNTHESIZER_SET_PARAMS && body == "refuse-params") {
    Respond(ch, request, 404, MRCP_REQUEST_STATE_COMPLETE);
  } else if (body == "silent") {
  } else if (body == "two-responses") {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_COMPLETE);
    Respond(ch, request, 200, MRCP_REQUEST_STATE_COMPLETE);
  } else if (body == "stranger") {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_COMPLETE);
    request->start_line.request_id += 1000;
    Respond(ch, request, 200, MRCP_REQUEST_STATE_COMPLETE);
    request->start_line.request_id -= 1000;
  } else if (request->start_line.method_id == SYNTHESIZER_STOP && g_playing.load()) {
    Respond(ch, request, 407, MRCP_REQUEST_STATE_COMPLETE);  // and the SPEAK plays on
  } else if (speak) {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_INPROGRESS);
    Complete(ch, request);
  } else {
    Respond(ch, request, 200, MRCP_REQUEST_STATE_COMPLETE);
  }
  return TRUE;
}

const mrcp_engine_channel_method_vtable_t kChannelTable = {ChannelDestroy, ChannelOpen, ChannelClose, ChannelProcess};

apt_bool_t EngineDestroy(mrcp_engine_t*) {
  if (g_worker) g_worker->Stop();
  delete g_worker;
  g_worker = nullptr;
  return TRUE;
}

apt_bool_t EngineOpen(mrcp_engine_t* engine) {
  g_worker = new test_plugin::Worker;
  g_worker->Start();
  return mrcp_engine_open_respond(engine, TRUE);
}

apt_bool_t EngineClose(mrcp_engine_t* engine) { return mrcp_engine_close_respond(engine); }

mrcp_engine_channel_t* EngineCreateChannel(mrcp_engine_t* engine, apr_pool_t* pool) {
  mpf_stream_capabilities_t* caps = mpf_stream_capabilities_create(STREAM_DIRECTION_RECEIVE, pool);
  mpf_codec_capabilities_add(&caps->codecs, MPF_SAMPLE_RATE_8000, "LPCM", pool);
  mpf_codec_capabilities_add(&caps->codecs, MPF_SAMPLE_RATE_16000, "PCMU", pool);
  mpf_termination_t* term = mrcp_engine_audio_termination_create(nullptr, &kStreamTable, caps, pool);
  return mrcp_engine_channel_create(engine, &kChannelTable, nullptr, term, pool);
}

const mrcp_engine_method_vtable_t kEngineTable = {EngineDestroy, EngineOpen, EngineClose, EngineCreateChannel};

}  // namespace

extern "C" mrcp_engine_t* mrcp_plugin_create(apr_pool_t* pool) {
  const char* ack = std::getenv("ROGUE_PLUGIN_ACK");
  g_ack = ack ? ack : "";
  g_playing = nullptr;
  g_phantom = false;
  g_loud_until = 0;
  return mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, nullptr, &kEngineTable, pool);
}
