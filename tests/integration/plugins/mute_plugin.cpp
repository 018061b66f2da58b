// A plugin that opens and closes at once but never answers a request and
// never plays audio: what a hung synthesizer looks like to its host.
#include "plugin_support.h"

TEST_PLUGIN_LOG_EXPORTS("MUTE-PLUGIN")

extern "C" {
mrcp_plugin_version_t mrcp_plugin_version = {PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, 0, 0};
}

namespace {

apt_bool_t ReadFrame(mpf_audio_stream_t*, mpf_frame_t*) { return TRUE; }

const mpf_audio_stream_vtable_t kStreamTable = {nullptr, nullptr, nullptr, ReadFrame,
                                                nullptr, nullptr, nullptr, nullptr};

apt_bool_t ChannelDestroy(mrcp_engine_channel_t*) { return TRUE; }
apt_bool_t ChannelOpen(mrcp_engine_channel_t* ch) { return mrcp_engine_channel_open_respond(ch, TRUE); }
apt_bool_t ChannelClose(mrcp_engine_channel_t* ch) { return mrcp_engine_channel_close_respond(ch); }
apt_bool_t ChannelProcess(mrcp_engine_channel_t*, mrcp_message_t*) { return TRUE; }

const mrcp_engine_channel_method_vtable_t kChannelTable = {ChannelDestroy, ChannelOpen, ChannelClose,
                                                           ChannelProcess};

apt_bool_t EngineDestroy(mrcp_engine_t*) { return TRUE; }
apt_bool_t EngineOpen(mrcp_engine_t* engine) { return mrcp_engine_open_respond(engine, TRUE); }
apt_bool_t EngineClose(mrcp_engine_t* engine) { return mrcp_engine_close_respond(engine); }

mrcp_engine_channel_t* EngineCreateChannel(mrcp_engine_t* engine, apr_pool_t* pool) {
  mpf_stream_capabilities_t* caps = mpf_stream_capabilities_create(STREAM_DIRECTION_RECEIVE, pool);
  mpf_codec_capabilities_add(&caps->codecs, MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000, "LPCM", pool);
  mpf_termination_t* term = mrcp_engine_audio_termination_create(nullptr, &kStreamTable, caps, pool);
  return mrcp_engine_channel_create(engine, &kChannelTable, nullptr, term, pool);
}

const mrcp_engine_method_vtable_t kEngineTable = {EngineDestroy, EngineOpen, EngineClose, EngineCreateChannel};

}  // namespace

extern "C" mrcp_engine_t* mrcp_plugin_create(apr_pool_t* pool) {
  return mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, nullptr, &kEngineTable, pool);
}
