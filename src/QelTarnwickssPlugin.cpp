#include "QelTarnwickssPlugin.h"

#include "QelTarnwickssChannel.h"
#include "QelTarnwickssEngine.h"

extern "C" {
apt_log_source_t* TARNWICKSS_PLUGIN = def_log_source;
const mrcp_plugin_version_t mrcp_plugin_version = {PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, PLUGIN_PATCH_VERSION,
                                                   PLUGIN_BUILD_VERSION};
}

namespace TARNWICKSS {
namespace {

// Set by the first mrcp_plugin_create and never cleared: a process holds at
// most one engine. Written only on the server thread that loads the plugin.
unsigned char g_engine_created = 0;

Engine* EngineOf(mrcp_engine_t* engine) { return engine ? static_cast<Engine*>(engine->obj) : nullptr; }

Channel* ChannelOf(mrcp_engine_channel_t* channel) {
  return channel ? static_cast<Channel*>(channel->method_obj) : nullptr;
}

apt_bool_t EngineDestroy(mrcp_engine_t* engine) {
  Engine* object = EngineOf(engine);
  if (object) {
    delete object;
    engine->obj = nullptr;
  }
  return TRUE;
}

apt_bool_t EngineOpen(mrcp_engine_t* engine) {
  Engine* object = EngineOf(engine);
  return object && object->Open() ? TRUE : FALSE;
}

apt_bool_t EngineClose(mrcp_engine_t* engine) {
  Engine* object = EngineOf(engine);
  return object && object->Close() ? TRUE : FALSE;
}

mrcp_engine_channel_t* EngineCreateChannel(mrcp_engine_t* engine, apr_pool_t* pool) {
  Engine* object = EngineOf(engine);
  if (!object) return nullptr;

  auto* channel = new Channel(object);
  mpf_stream_capabilities_t* capabilities = mpf_stream_capabilities_create(STREAM_DIRECTION_RECEIVE, pool);
  if (capabilities) {
    mpf_codec_capabilities_add(&capabilities->codecs, MPF_SAMPLE_RATE_8000, "LPCM", pool);
    mpf_codec_capabilities_add(&capabilities->codecs, MPF_SAMPLE_RATE_16000, "LPCM", pool);
  }
  mpf_termination_t* termination =
      mrcp_engine_audio_termination_create(channel, &kAudioStreamVtable, capabilities, pool);
  mrcp_engine_channel_t* host_channel = mrcp_engine_channel_create(engine, &kChannelVtable, channel, termination, pool);
  if (!host_channel) {
    // The server refused the channel, so nobody else will ever destroy it.
    delete channel;
    return nullptr;
  }
  channel->SetHostChannel(host_channel);
  return host_channel;
}

apt_bool_t ChannelDestroy(mrcp_engine_channel_t* channel) {
  Channel* object = ChannelOf(channel);
  if (object) {
    Channel::Destroy(object);
    channel->method_obj = nullptr;
  }
  return TRUE;
}

apt_bool_t ChannelOpen(mrcp_engine_channel_t* channel) {
  Channel* object = ChannelOf(channel);
  return object && object->SignalEvent(TaskMsgOpen, nullptr) ? TRUE : FALSE;
}

apt_bool_t ChannelClose(mrcp_engine_channel_t* channel) {
  Channel* object = ChannelOf(channel);
  return object && object->SignalEvent(TaskMsgClose, nullptr) ? TRUE : FALSE;
}

apt_bool_t ChannelProcessRequest(mrcp_engine_channel_t* channel, mrcp_message_t* request) {
  Channel* object = ChannelOf(channel);
  return object && object->SignalEvent(TaskMsgRequest, request) ? TRUE : FALSE;
}

apt_bool_t StreamReadFrame(mpf_audio_stream_t* stream, mpf_frame_t* frame) {
  auto* object = stream ? static_cast<Channel*>(stream->obj) : nullptr;
  return object && object->Read(frame) ? TRUE : FALSE;
}

}  // namespace

const mrcp_engine_method_vtable_t kEngineVtable = {EngineDestroy, EngineOpen, EngineClose, EngineCreateChannel};

const mrcp_engine_channel_method_vtable_t kChannelVtable = {ChannelDestroy, ChannelOpen, ChannelClose,
                                                            ChannelProcessRequest};

const mpf_audio_stream_vtable_t kAudioStreamVtable = {nullptr, nullptr, nullptr, StreamReadFrame,
                                                      nullptr, nullptr, nullptr, nullptr};

}  // namespace TARNWICKSS

extern "C" {

mrcp_engine_t* mrcp_plugin_create(apr_pool_t* pool) {
  using namespace TARNWICKSS;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "TARNWICKSS Plugin Version [%s] Date [%s]", kPluginVersion,
          kPluginDate);
  if (g_engine_created) return nullptr;
  g_engine_created = 1;

  auto* engine = new Engine("TARNWICKSS");
  mrcp_engine_t* host_engine = mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, engine, &kEngineVtable, pool);
  if (!host_engine) {
    delete engine;
    return nullptr;
  }
  engine->SetHostEngine(host_engine);
  return host_engine;
}

apt_bool_t mrcp_plugin_logger_set(apt_logger_t* logger) {
  apt_log_instance_set(logger);
  return TRUE;
}

apt_bool_t mrcp_plugin_log_source_set(apt_log_source_t* source) {
  apt_def_log_source_set(source);
  return apt_log_source_assign("TARNWICKSS-PLUGIN", &TARNWICKSS_PLUGIN);
}

}  // extern "C"
