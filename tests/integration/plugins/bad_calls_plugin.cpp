// A plugin that makes every kind of bad call a careless plugin makes: null
// handles, unknown ids, requests sent back as messages, answers to unknown
// request ids, incomplete channel tables, frames resized. The host must
// refuse each with a warning and keep going.
#include "plugin_support.h"

TEST_PLUGIN_LOG_EXPORTS("BAD-CALLS-PLUGIN")

extern "C" {
mrcp_plugin_version_t mrcp_plugin_version = {PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, 0, 0};
}

namespace {

int g_channels_created = 0;  // control thread only

apt_bool_t ReadFrame(mpf_audio_stream_t*, mpf_frame_t* frame) {
  frame->codec_frame.size = 4;
  frame->type = MEDIA_FRAME_TYPE_AUDIO;
  return TRUE;
}

const mpf_audio_stream_vtable_t kStreamTable = {nullptr, nullptr, nullptr, ReadFrame,
                                                nullptr, nullptr, nullptr, nullptr};

apt_bool_t ChannelDestroy(mrcp_engine_channel_t*) {
  apt_log(PLUGIN_LOG, APT_LOG_MARK, APT_PRIO_NOTICE, "bad plugin: channel destroyed");
  return TRUE;
}

apt_bool_t ChannelOpen(mrcp_engine_channel_t* ch) {
  mrcp_engine_channel_open_respond(nullptr, TRUE);
  return mrcp_engine_channel_open_respond(ch, TRUE);
}

apt_bool_t ChannelClose(mrcp_engine_channel_t* ch) { return mrcp_engine_channel_close_respond(ch); }

apt_bool_t ChannelProcess(mrcp_engine_channel_t* ch, mrcp_message_t* request) {
  mrcp_engine_channel_message_send(ch, request);  // a request is no answer
  mrcp_engine_channel_message_send(ch, nullptr);
  mrcp_message_t* stray = mrcp_response_create(request, request->pool);
  stray->start_line.request_id += 1000;
  mrcp_engine_channel_message_send(ch, stray);
  mrcp_message_t* response = mrcp_response_create(request, request->pool);
  mrcp_resource_header_property_add(response, SYNTHESIZER_HEADER_COMPLETION_CAUSE);  // no block yet
  mrcp_resource_header_prepare(response);
  mrcp_resource_header_property_add(response, static_cast<mrcp_synthesizer_header_id>(99));
  return mrcp_engine_channel_message_send(ch, response);
}

const mrcp_engine_channel_method_vtable_t kChannelTable = {ChannelDestroy, ChannelOpen, ChannelClose, ChannelProcess};
const mrcp_engine_channel_method_vtable_t kIncompleteTable = {ChannelDestroy, ChannelOpen, ChannelClose, nullptr};

apt_bool_t EngineDestroy(mrcp_engine_t*) { return TRUE; }

apt_bool_t EngineOpen(mrcp_engine_t* engine) {
  mrcp_engine_open_respond(nullptr, TRUE);
  return mrcp_engine_open_respond(engine, TRUE);
}

apt_bool_t EngineClose(mrcp_engine_t* engine) { return mrcp_engine_close_respond(engine); }

// 1st channel: usable; 2nd: incomplete method table; 3rd and later: refused by the library.
mrcp_engine_channel_t* EngineCreateChannel(mrcp_engine_t* engine, apr_pool_t* pool) {
  ++g_channels_created;
  mpf_stream_capabilities_t* caps = mpf_stream_capabilities_create(STREAM_DIRECTION_RECEIVE, pool);
  mpf_codec_capabilities_add(&caps->codecs, MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000, "lpcm", pool);
  mpf_termination_t* term = mrcp_engine_audio_termination_create(nullptr, &kStreamTable, caps, pool);
  if (g_channels_created == 1) return mrcp_engine_channel_create(engine, &kChannelTable, nullptr, term, pool);
  if (g_channels_created == 2) return mrcp_engine_channel_create(engine, &kIncompleteTable, nullptr, term, pool);
  return mrcp_engine_channel_create(nullptr, &kChannelTable, nullptr, term, pool);
}

const mrcp_engine_method_vtable_t kEngineTable = {EngineDestroy, EngineOpen, EngineClose, EngineCreateChannel};

}  // namespace

extern "C" mrcp_engine_t* mrcp_plugin_create(apr_pool_t* pool) {
  g_channels_created = 0;
  mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, nullptr, nullptr, pool);
  return mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, nullptr, &kEngineTable, pool);
}
