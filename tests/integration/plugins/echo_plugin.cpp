// A well-behaved asynchronous plugin: every acknowledgement and answer comes
// from its worker thread, engine acknowledgements 20 ms after the call
// returned. SPEAK is answered IN-PROGRESS and plays a 440 Hz tone for the
// number of frames in its body (default 20), then SPEAK-COMPLETE; STOP and
// BARGE-IN-OCCURRED end it without SPEAK-COMPLETE; everything else gets
// 200 COMPLETE. It checks that the host keeps the server's order and logs
// "ORDER VIOLATION: ..." at WARNING when it does not.
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string>

#include "plugin_support.h"

TEST_PLUGIN_LOG_EXPORTS("ECHO-PLUGIN")

extern "C" {
mrcp_plugin_version_t mrcp_plugin_version = {PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, 0, 0};
}

namespace {

constexpr std::chrono::milliseconds kAckDelay{20};

#define VIOLATION(...) apt_log(PLUGIN_LOG, APT_LOG_MARK, APT_PRIO_WARNING, "ORDER VIOLATION: " __VA_ARGS__)

struct Engine {
  mrcp_engine_t* handle = nullptr;
  test_plugin::Worker worker;
  std::atomic<int> open_channels{0};
  std::atomic<int> live_channels{0};
};

struct Channel {
  Engine* engine = nullptr;
  mrcp_engine_channel_t* handle = nullptr;
  std::atomic<bool> open{false};
  std::atomic<bool> closed{false};
  std::atomic<bool> close_acked{false};
  // SPEAK state: `speak` belongs to the worker; the media thread sees only
  // the frame budget and the generation it belongs to.
  mrcp_message_t* speak = nullptr;
  std::atomic<std::uint64_t> generation{0};
  std::atomic<int> frames_left{0};
  double phase = 0;  // media thread
};

void Send(Channel* ch, mrcp_message_t* message) { mrcp_engine_channel_message_send(ch->handle, message); }

void OnSpeechDone(Channel* ch, std::uint64_t generation) {
  if (!ch->speak || generation != ch->generation.load()) return;
  mrcp_message_t* event = mrcp_event_create(ch->speak, SYNTHESIZER_SPEAK_COMPLETE, ch->speak->pool);
  mrcp_resource_header_prepare(event)->completion_cause = SYNTHESIZER_COMPLETION_CAUSE_NORMAL;
  mrcp_resource_header_property_add(event, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
  event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
  ch->speak = nullptr;
  Send(ch, event);
}

void Process(Channel* ch, mrcp_message_t* request) {
  mrcp_message_t* response = mrcp_response_create(request, request->pool);
  switch (request->start_line.method_id) {
    case SYNTHESIZER_SPEAK: {
      int frames = request->body.buf ? std::atoi(std::string(request->body.buf, request->body.length).c_str()) : 0;
      response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
      ch->speak = request;
      ch->generation.fetch_add(1);
      Send(ch, response);  // it plays once the client was told so
      ch->frames_left.store(frames > 0 ? frames : 20);
      return;
    }
    case SYNTHESIZER_STOP:
    case SYNTHESIZER_BARGE_IN_OCCURRED:
      ch->frames_left.store(0);
      ch->generation.fetch_add(1);
      ch->speak = nullptr;
      break;
    default:
      break;
  }
  Send(ch, response);
}

apt_bool_t ReadFrame(mpf_audio_stream_t* stream, mpf_frame_t* frame) {
  auto* ch = static_cast<Channel*>(stream->obj);
  if (ch->closed.load()) VIOLATION("read_frame after close");
  int left = ch->frames_left.load();
  if (left <= 0) return TRUE;
  std::uint64_t generation = ch->generation.load();
  if (!ch->frames_left.compare_exchange_strong(left, left - 1)) return TRUE;
  const mpf_codec_descriptor_t* codec = mrcp_engine_source_stream_codec_get(ch->handle);
  auto* samples = static_cast<std::int16_t*>(frame->codec_frame.buffer);
  std::size_t count = frame->codec_frame.size / 2;
  double step = 2 * 3.14159265358979 * 440.0 / codec->sampling_rate;
  for (std::size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<std::int16_t>(8000 * std::sin(ch->phase));
    ch->phase += step;
  }
  frame->type |= MEDIA_FRAME_TYPE_AUDIO;
  if (left == 1) ch->engine->worker.Post([ch, generation] { OnSpeechDone(ch, generation); });
  return TRUE;
}

const mpf_audio_stream_vtable_t kStreamTable = {nullptr, nullptr, nullptr, ReadFrame,
                                                nullptr, nullptr, nullptr, nullptr};

apt_bool_t ChannelDestroy(mrcp_engine_channel_t* handle) {
  auto* ch = static_cast<Channel*>(handle->method_obj);
  if (ch->open.load() && !ch->close_acked.load()) VIOLATION("channel destroyed before its close was acknowledged");
  ch->engine->live_channels.fetch_sub(1);
  delete ch;
  return TRUE;
}

apt_bool_t ChannelOpen(mrcp_engine_channel_t* handle) {
  auto* ch = static_cast<Channel*>(handle->method_obj);
  if (!mrcp_engine_source_stream_codec_get(handle)) VIOLATION("channel opened without a codec");
  ch->open.store(true);
  ch->engine->open_channels.fetch_add(1);
  ch->engine->worker.Post([ch] { mrcp_engine_channel_open_respond(ch->handle, TRUE); });
  return TRUE;
}

apt_bool_t ChannelClose(mrcp_engine_channel_t* handle) {
  auto* ch = static_cast<Channel*>(handle->method_obj);
  ch->closed.store(true);
  ch->engine->worker.Post([ch] {
    ch->frames_left.store(0);
    ch->speak = nullptr;
    ch->engine->open_channels.fetch_sub(1);
    ch->close_acked.store(true);
    mrcp_engine_channel_close_respond(ch->handle);
  });
  return TRUE;
}

apt_bool_t ChannelProcess(mrcp_engine_channel_t* handle, mrcp_message_t* request) {
  auto* ch = static_cast<Channel*>(handle->method_obj);
  ch->engine->worker.Post([ch, request] { Process(ch, request); });
  return TRUE;
}

const mrcp_engine_channel_method_vtable_t kChannelTable = {ChannelDestroy, ChannelOpen, ChannelClose, ChannelProcess};

apt_bool_t EngineDestroy(mrcp_engine_t* handle) {
  auto* engine = static_cast<Engine*>(handle->obj);
  if (engine->live_channels.load() != 0) VIOLATION("engine destroyed with %d channels", engine->live_channels.load());
  engine->worker.Stop();  // also when never started
  delete engine;
  return TRUE;
}

apt_bool_t EngineOpen(mrcp_engine_t* handle) {
  auto* engine = static_cast<Engine*>(handle->obj);
  if (!handle->config || !handle->dir_layout || !handle->event_vtable) VIOLATION("engine opened before set-up");
  engine->worker.Start();
  engine->worker.Post([handle] { mrcp_engine_open_respond(handle, TRUE); }, kAckDelay);
  return TRUE;
}

apt_bool_t EngineClose(mrcp_engine_t* handle) {
  auto* engine = static_cast<Engine*>(handle->obj);
  if (engine->open_channels.load() != 0) VIOLATION("engine closed with %d open channels", engine->open_channels.load());
  engine->worker.Post([handle] { mrcp_engine_close_respond(handle); }, kAckDelay);
  return TRUE;
}

mrcp_engine_channel_t* EngineCreateChannel(mrcp_engine_t* handle, apr_pool_t* pool) {
  auto* engine = static_cast<Engine*>(handle->obj);
  auto* ch = new Channel;
  ch->engine = engine;
  mpf_stream_capabilities_t* caps = mpf_stream_capabilities_create(STREAM_DIRECTION_RECEIVE, pool);
  mpf_codec_capabilities_add(&caps->codecs, MPF_SAMPLE_RATE_8000, "LPCM", pool);
  mpf_codec_capabilities_add(&caps->codecs, MPF_SAMPLE_RATE_16000, "LPCM", pool);
  mpf_termination_t* term = mrcp_engine_audio_termination_create(ch, &kStreamTable, caps, pool);
  ch->handle = mrcp_engine_channel_create(handle, &kChannelTable, ch, term, pool);
  engine->live_channels.fetch_add(1);
  return ch->handle;
}

const mrcp_engine_method_vtable_t kEngineTable = {EngineDestroy, EngineOpen, EngineClose, EngineCreateChannel};

}  // namespace

extern "C" mrcp_engine_t* mrcp_plugin_create(apr_pool_t* pool) {
  auto* engine = new Engine;
  engine->handle = mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, engine, &kEngineTable, pool);
  return engine->handle;
}
