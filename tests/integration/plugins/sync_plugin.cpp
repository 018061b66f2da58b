// A synchronous plugin: it acknowledges and answers on the calling (control)
// thread before the call returns, and offers LPCM at 8000 Hz only. SPEAK is
// answered IN-PROGRESS and completed at once; its stream plays silence.
#include <cstring>

#include "plugin_support.h"

TEST_PLUGIN_LOG_EXPORTS("SYNC-PLUGIN")

extern "C" {
mrcp_plugin_version_t mrcp_plugin_version = {PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, 3, 9};
}

namespace {

apt_bool_t ReadFrame(mpf_audio_stream_t*, mpf_frame_t* frame) {
  std::memset(frame->codec_frame.buffer, 0, frame->codec_frame.size);
  frame->type |= MEDIA_FRAME_TYPE_AUDIO;
  return TRUE;
}

const mpf_audio_stream_vtable_t kStreamTable = {nullptr, nullptr, nullptr, ReadFrame,
                                                nullptr, nullptr, nullptr, nullptr};

apt_bool_t ChannelDestroy(mrcp_engine_channel_t*) { return TRUE; }
apt_bool_t ChannelOpen(mrcp_engine_channel_t* ch) { return mrcp_engine_channel_open_respond(ch, TRUE); }
apt_bool_t ChannelClose(mrcp_engine_channel_t* ch) { return mrcp_engine_channel_close_respond(ch); }

apt_bool_t ChannelProcess(mrcp_engine_channel_t* ch, mrcp_message_t* request) {
  mrcp_message_t* response = mrcp_response_create(request, request->pool);
  if (request->start_line.method_id == SYNTHESIZER_SPEAK) {
    response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    mrcp_engine_channel_message_send(ch, response);
    mrcp_message_t* event = mrcp_event_create(request, SYNTHESIZER_SPEAK_COMPLETE, request->pool);
    event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    mrcp_resource_header_prepare(event)->completion_cause = SYNTHESIZER_COMPLETION_CAUSE_NORMAL;
    mrcp_resource_header_property_add(event, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
    return mrcp_engine_channel_message_send(ch, event);
  }
  return mrcp_engine_channel_message_send(ch, response);
}

const mrcp_engine_channel_method_vtable_t kChannelTable = {ChannelDestroy, ChannelOpen, ChannelClose,
                                                           ChannelProcess};

apt_bool_t EngineDestroy(mrcp_engine_t*) { return TRUE; }
apt_bool_t EngineOpen(mrcp_engine_t* engine) { return mrcp_engine_open_respond(engine, TRUE); }
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
  return mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, nullptr, &kEngineTable, pool);
}
