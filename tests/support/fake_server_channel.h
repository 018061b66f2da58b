// A fake server around one engine, for tests and benchmarks that drive a
// channel's tasks directly (the caller's thread plays the server and the
// media thread): the engine opened on the sample configuration in a fresh
// server root, one channel of the caller's type opened on a fake host
// channel, and a record of everything the engine and the channel answered.
#ifndef TESTS_SUPPORT_FAKE_SERVER_CHANNEL_H
#define TESTS_SUPPORT_FAKE_SERVER_CHANNEL_H

#include <apr_general.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QelTarnwickssChannel.h"
#include "QelTarnwickssEngine.h"
#include "test_root.h"

namespace corvex_test {

// What the server heard from the engine and its channels. The engine thread
// adds; any thread waits and reads.
struct FakeServer {
  struct Heard {
    enum Kind { EngineOpen, ChannelOpen, ChannelClose, Message } kind;
    mrcp_message_type_e type = MRCP_MESSAGE_TYPE_UNKNOWN;
    mrcp_method_id method = 0;
    mrcp_request_id request_id = 0;
    mrcp_status_code_e status = MRCP_STATUS_CODE_UNKNOWN;
    mrcp_request_state_e state = MRCP_REQUEST_STATE_UNKNOWN;
    int cause = -1;
    bool ok = true;  // ChannelOpen: the acknowledged result
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Heard> heard;
  // Called on the plugin's thread as each message arrives, when set (set
  // and cleared while the channel is quiet).
  std::function<void(const Heard&)> on_message;

  void Add(Heard h) {
    if (on_message && h.kind == Heard::Message) on_message(h);
    std::lock_guard<std::mutex> lock(mutex);
    heard.push_back(h);
    changed.notify_all();
  }
  // Waits up to 10 s until `count` of what was heard match.
  bool WaitFor(const std::function<bool(const Heard&)>& pred, int count = 1) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10),
                            [&] { return std::count_if(heard.begin(), heard.end(), pred) >= count; });
  }
  bool WaitFor(Heard::Kind kind, int count = 1) {
    return WaitFor([kind](const Heard& h) { return h.kind == kind; }, count);
  }
  bool WaitForMessage(mrcp_request_id id, mrcp_message_type_e type, int count = 1) {
    return WaitFor([=](const Heard& h) { return h.kind == Heard::Message && h.request_id == id && h.type == type; },
                   count);
  }
  std::vector<Heard> Messages(mrcp_request_id id) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Heard> out;
    for (const Heard& h : heard)
      if (h.kind == Heard::Message && h.request_id == id) out.push_back(h);
    return out;
  }
  bool Has(Heard::Kind kind) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::any_of(heard.begin(), heard.end(), [kind](const Heard& h) { return h.kind == kind; });
  }
};

// The host's event tables, reporting to the FakeServer in event_obj.
inline FakeServer* FakeServerOf(mrcp_engine_channel_t* channel) { return static_cast<FakeServer*>(channel->event_obj); }
inline const mrcp_engine_event_vtable_t kFakeServerEngineEvents = {
    [](mrcp_engine_t* engine, apt_bool_t) -> apt_bool_t {
      static_cast<FakeServer*>(engine->event_obj)->Add({FakeServer::Heard::EngineOpen});
      return TRUE;
    },
    [](mrcp_engine_t*) -> apt_bool_t { return TRUE; }};
inline const mrcp_engine_channel_event_vtable_t kFakeServerChannelEvents = {
    [](mrcp_engine_channel_t* channel, apt_bool_t status) -> apt_bool_t {
      FakeServer::Heard h{FakeServer::Heard::ChannelOpen};
      h.ok = status == TRUE;
      FakeServerOf(channel)->Add(h);
      return TRUE;
    },
    [](mrcp_engine_channel_t* channel) -> apt_bool_t {
      FakeServerOf(channel)->Add({FakeServer::Heard::ChannelClose});
      return TRUE;
    },
    [](mrcp_engine_channel_t* channel, mrcp_message_t* message) -> apt_bool_t {
      FakeServer::Heard h{FakeServer::Heard::Message};
      h.type = message->start_line.message_type;
      h.method = message->start_line.method_id;
      h.request_id = message->start_line.request_id;
      h.status = message->start_line.status_code;
      h.state = message->start_line.request_state;
      if (mrcp_resource_header_property_check(message, SYNTHESIZER_HEADER_COMPLETION_CAUSE))
        h.cause = message->synth_header->completion_cause;
      FakeServerOf(channel)->Add(h);
      return TRUE;
    }};

// The engine and one channel of type C (a TARNWICKSS::Channel made from the
// engine and Open's further arguments), owned here and closed on
// destruction. Called from one thread, the server's.
template <typename C>
class FakeServerChannel {
 public:
  using Heard = FakeServer::Heard;

  // `tag` names the server root; `channel_id` is the host channel's id.
  FakeServerChannel(const std::string& tag, const char* channel_id) : root_(MakeTestRoot(tag)) {
    InstallSampleConfig(root_);
    apr_initialize();
    apr_pool_create(&pool_, nullptr);
    host_channel_.id = channel_id;
  }
  ~FakeServerChannel() {
    if (opened_ && !server_.Has(Heard::ChannelClose)) {
      channel_->SignalEvent(TARNWICKSS::TaskMsgClose, nullptr);
      server_.WaitFor(Heard::ChannelClose);
    }
    if (engine_) engine_->Close();
    channel_.reset();
    engine_.reset();
    apr_pool_destroy(pool_);
    apr_terminate();
    std::filesystem::remove_all(root_);
  }
  FakeServerChannel(const FakeServerChannel&) = delete;
  FakeServerChannel& operator=(const FakeServerChannel&) = delete;

  // Opens the engine, then the channel with LPCM at `rate`; false when
  // either is not acknowledged.
  template <typename... Args>
  bool Open(unsigned rate, Args&&... args) {
    host_engine_.pool = pool_;
    host_engine_.dir_layout = apt_default_dir_layout_create(root_.c_str(), pool_);
    host_engine_.event_vtable = &kFakeServerEngineEvents;
    host_engine_.event_obj = &server_;
    engine_ = std::make_unique<TARNWICKSS::Engine>("TARNWICKSS");
    engine_->SetHostEngine(&host_engine_);
    if (!engine_->Open() || !server_.WaitFor(Heard::EngineOpen)) return false;

    channel_ = std::make_unique<C>(engine_.get(), std::forward<Args>(args)...);
    codec_.name.buf = const_cast<char*>("LPCM");
    codec_.name.length = 4;
    codec_.sampling_rate = static_cast<apr_uint16_t>(rate);
    codec_.channel_count = 1;
    stream_.rx_descriptor = &codec_;
    termination_.audio_stream = &stream_;
    host_channel_.pool = pool_;
    host_channel_.engine = &host_engine_;
    host_channel_.termination = &termination_;
    host_channel_.method_obj = channel_.get();
    host_channel_.event_vtable = &kFakeServerChannelEvents;
    host_channel_.event_obj = &server_;
    channel_->SetHostChannel(&host_channel_);
    opened_ = channel_->SignalEvent(TARNWICKSS::TaskMsgOpen, nullptr) && server_.WaitFor(Heard::ChannelOpen);
    return opened_;
  }

  // Each request in a pool of its own, as the server makes them: the engine
  // thread allocates the request's response and events from it while this
  // thread builds the next request, and a pool is not safe from two threads.
  // A SPEAK carries a short plain text.
  mrcp_message_t* Request(mrcp_method_id method) {
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, pool_);
    mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, method, ++next_id_, pool);
    if (method == SYNTHESIZER_SPEAK) {
      mrcp_resource_header_prepare(request);
      mrcp_generic_header_t* generic = mrcp_generic_header_prepare(request);
      apt_string_assign(&generic->content_type, "text/plain", pool);
      mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
      apt_string_assign(&request->body, "Hello", pool);
    }
    return request;
  }
  // The request's id, or 0 when the channel did not take it.
  mrcp_request_id Send(mrcp_message_t* request) {
    return channel_->SignalEvent(TARNWICKSS::TaskMsgRequest, request) ? request->start_line.request_id : 0;
  }

 protected:
  std::string root_;
  apr_pool_t* pool_ = nullptr;
  FakeServer server_;
  mrcp_engine_t host_engine_{};
  mpf_codec_descriptor_t codec_{};
  mpf_audio_stream_t stream_{};
  mpf_termination_t termination_{};
  mrcp_engine_channel_t host_channel_{};
  std::unique_ptr<TARNWICKSS::Engine> engine_;
  std::unique_ptr<C> channel_;
  mrcp_request_id next_id_ = 0;
  bool opened_ = false;
};

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_FAKE_SERVER_CHANNEL_H
