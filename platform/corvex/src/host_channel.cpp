// The host runtime's channels: creation with codec negotiation, open,
// close and destroy in the server's order, requests' records and pools, and
// the media thread that pulls frames.
//
// A request's pool is a sub-pool of its channel's pool and is released once
// the request had its final answer (as the protocol checker tells) or with
// the channel. A channel is destroyed only after its close was acknowledged.
#include "host_channel.h"

#include <apr_strings.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>

namespace corvex {

namespace {

constexpr std::chrono::milliseconds kFramePeriod{10};
// A paced media thread further behind than this restarts its schedule
// instead of reading a burst of frames to catch up.
constexpr std::chrono::milliseconds kMaxLag{200};
// An unpaced media thread reads back to back while the plugin plays. Once
// it has read nothing but idle frames (no audio, no event) for kIdleSpin,
// it reads one every kIdleSleep instead: spinning on an idle channel only
// takes the processor from the threads that are to produce its audio.
constexpr std::chrono::milliseconds kIdleSpin{2};
constexpr std::chrono::microseconds kIdleSleep{500};
// Except while a SPEAK waits for its first audio: then an idle frame is read
// every kAwaitSleep, so that what an unpaced host measures as the time to
// first audio is the plugin's, not the host's polling.
constexpr std::chrono::microseconds kAwaitSleep{50};

using Clock = Host::Clock;

// Codec names are compared without regard to case, as in SDP.
bool OffersLpcm(const mpf_stream_capabilities_t* caps, unsigned rate) {
  if (!caps || !caps->codecs.attrib_arr ||
      caps->codecs.attrib_arr->elt_size != static_cast<int>(sizeof(mpf_codec_attribs_t))) {
    return false;
  }
  int mask = mpf_sample_rate_mask_get(static_cast<apr_uint16_t>(rate));
  const auto* attribs = reinterpret_cast<const mpf_codec_attribs_t*>(caps->codecs.attrib_arr->elts);
  for (int i = 0; i < caps->codecs.attrib_arr->nelts; ++i) {
    const apt_str_t& name = attribs[i].name;
    if (name.buf && name.length == 4 && strncasecmp(name.buf, "LPCM", 4) == 0 && (attribs[i].sample_rates & mask)) {
      return true;
    }
  }
  return false;
}

std::uint32_t ProcessTag() {
  static const std::uint32_t tag =
      static_cast<std::uint32_t>(getpid()) * 2654435761u ^ static_cast<std::uint32_t>(apr_time_sec(apr_time_now()));
  return tag;
}

std::atomic<std::uint32_t> g_channel_serial{0};

bool ChannelTableComplete(const mrcp_engine_channel_method_vtable_t* table) {
  return table && table->destroy && table->open && table->close && table->process_request;
}

apt_bool_t OnChannelOpen(mrcp_engine_channel_t* channel, apt_bool_t status) {
  HostChannel* rec = ChannelOf(channel, "channel open acknowledgement");
  if (!rec) return FALSE;
  rec->OnOpen(status != FALSE);
  return TRUE;
}

apt_bool_t OnChannelClose(mrcp_engine_channel_t* channel) {
  HostChannel* rec = ChannelOf(channel, "channel close acknowledgement");
  if (!rec) return FALSE;
  rec->OnClose();
  return TRUE;
}

apt_bool_t OnChannelMessage(mrcp_engine_channel_t* channel, mrcp_message_t* message) {
  HostChannel* rec = ChannelOf(channel, "channel message");
  if (!rec) return FALSE;
  if (!message) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: null message refused", rec->index);
    return FALSE;
  }
  mrcp_synth_header_t synth;
  const mrcp_message_t in_range = InRange(*message, &synth);
  const mrcp_message_type_e type = in_range.start_line.message_type;
  if (type != MRCP_MESSAGE_TYPE_RESPONSE && type != MRCP_MESSAGE_TYPE_EVENT) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: message of type %d refused (only responses and events)", rec->index,
             static_cast<int>(type));
    return FALSE;
  }
  rec->OnMessage(*message, in_range);
  return TRUE;
}

const mrcp_engine_channel_event_vtable_t kChannelEvents = {OnChannelOpen, OnChannelClose, OnChannelMessage};

}  // namespace

HostChannel* ChannelOf(mrcp_engine_channel_t* channel, const char* caller) {
  auto* rec = channel ? static_cast<HostChannel*>(channel->event_obj) : nullptr;
  if (!rec) HOST_LOG(APT_PRIO_WARNING, "%s: not a channel of this host", caller);
  return rec;
}

// ---------------------------------------------------------------- the plugin's acknowledgements

void HostChannel::OnOpen(bool status) {
  HostEvent event = Impl::NewEvent(HostEvent::Kind::ChannelOpened, index);
  event.status = status;
  MutexLock lock(&impl->mutex);
  open_acked = true;
  open_status = status;
  impl->checker.ChannelOpenAcknowledged(index);
  impl->LogViolations();
  impl->Push(std::move(event));
}

void HostChannel::OnClose() {
  HostEvent event = Impl::NewEvent(HostEvent::Kind::ChannelClosed, index);
  MutexLock lock(&impl->mutex);
  close_acked = true;
  impl->checker.ChannelCloseAcknowledged(index);
  impl->LogViolations();
  impl->Push(std::move(event));
}

// ---------------------------------------------------------------- media

std::int64_t HostChannel::NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

void HostChannel::ReportAudioAfterEnd(const SilenceWatch::Finding& finding) {
  if (finding.speak == 0) return;
  impl->checker.AudioAfterEnd(index, finding.speak,
                              "a frame with audio read " + std::to_string(finding.late_us / 1000) +
                                  " ms after its end, while no SPEAK was in progress");
  impl->LogViolations();
}

// The frame path: no allocation, no lock of the host's own but to report
// audio after a SPEAK's end.
void HostChannel::MediaLoop() {
  apt_bool_t (*read_frame)(mpf_audio_stream_t*, mpf_frame_t*) = stream->vtable->read_frame;
  unsigned char* const buffer = frame_buffer.data();
  const apr_size_t size = frame_buffer.size();
  bool warned_result = false;
  bool warned_frame = false;
  auto next = Clock::now();
  auto last_busy = next;
  // Frames without audio since the SPEAK's last audio frame: a gap the
  // caller hears once audio follows it. (The plugin's end-of-stream frame
  // and the frames until SPEAK-COMPLETE arrives are no gap.)
  std::uint64_t gap = 0;
  mpf_frame_t frame;
  while (!media_stop.load(std::memory_order_acquire)) {
    frame.type = MEDIA_FRAME_TYPE_NONE;
    frame.marker = 0;
    frame.codec_frame.buffer = buffer;
    frame.codec_frame.size = size;
    // Taken before the read: a frame read while the SPEAK was active is its
    // own, even when its final answer comes during the read.
    const bool active = playing.load(std::memory_order_relaxed) != 0;
    const mrcp_request_id audible = silence.BeforeRead();
    const std::int64_t read_us = NowUs();
    apt_bool_t ok = read_frame(stream, &frame);
    if (!ok && !warned_result) {
      warned_result = true;
      HOST_LOG(APT_PRIO_WARNING, "channel %d: read_frame failed", index);
    }
    if (frame.codec_frame.buffer != buffer || frame.codec_frame.size != size) {
      // The buffer is the server's: a plugin that swaps or resizes it gets
      // its frame dropped.
      if (!warned_frame) {
        warned_frame = true;
        HOST_LOG(APT_PRIO_WARNING, "channel %d: read_frame changed the frame buffer or size (%lu, expected %lu)", index,
                 static_cast<unsigned long>(frame.codec_frame.size), static_cast<unsigned long>(size));
      }
    } else {
      const SilenceWatch::Finding found =
          silence.AfterRead(audible, read_us, (frame.type & MEDIA_FRAME_TYPE_AUDIO) != 0, NowUs());
      if (found.speak) {
        MutexLock lock(&impl->mutex);
        ReportAudioAfterEnd(found);
      }
      if (sink) sink->OnFrame(index, frame);
      if (active) {
        const int phase = audio_phase.load(std::memory_order_relaxed);
        if (frame.type & MEDIA_FRAME_TYPE_EVENT) {
          audio_phase.store(kAfterAudio, std::memory_order_relaxed);
        } else if (frame.type & MEDIA_FRAME_TYPE_AUDIO) {
          if (phase == kBeforeAudio) {
            audio_phase.store(kInAudio, std::memory_order_relaxed);
          } else if (phase == kInAudio && gap > 0) {
            underruns.fetch_add(gap, std::memory_order_relaxed);
          }
          gap = 0;
        } else if (phase == kInAudio && !held.load(std::memory_order_relaxed)) {
          ++gap;
        }
        if (timeline) timeline->OnFrame(index, frame);
      }
    }
    frames_read.fetch_add(1, std::memory_order_relaxed);
    if (realtime) {
      next += kFramePeriod;
      auto now = Clock::now();
      if (now - next > kMaxLag) next = now;
      std::this_thread::sleep_until(next);
    } else if (frame.type & (MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT)) {
      last_busy = Clock::now();
      std::this_thread::yield();
    } else if (Clock::now() - last_busy < kIdleSpin) {
      std::this_thread::yield();
    } else if (active && audio_phase.load(std::memory_order_relaxed) == kBeforeAudio) {
      std::this_thread::sleep_for(kAwaitSleep);
    } else {
      std::this_thread::sleep_for(kIdleSleep);
    }
  }
}

bool HostChannel::StartMedia(FrameSink* frame_sink, bool paced, FrameSink* timeline_sink) {
  bool open;
  {
    MutexLock lock(&impl->mutex);
    open = open_called && !closed && open_acked && open_status;
  }
  if (!open || media.joinable()) {
    HOST_LOG(APT_PRIO_WARNING, "StartMedia: channel %d %s", index, open ? "has media running already" : "is not open");
    return false;
  }
  // 10 ms of 16-bit mono samples; allocated here so the frame path allocates nothing.
  frame_buffer.assign(codec->sampling_rate / 100 * 2, 0);
  sink = frame_sink;
  timeline = timeline_sink;
  realtime = paced;
  media_stop.store(false);
  frames_read.store(0);
  media = std::thread([this] { MediaLoop(); });
  return true;
}

void HostChannel::StopMedia() {
  if (!media.joinable()) return;
  media_stop.store(true, std::memory_order_release);
  if (media.get_id() == std::this_thread::get_id()) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: media cannot be stopped from its own thread", index);
    return;
  }
  media.join();
  HOST_LOG(APT_PRIO_INFO, "channel %d: media stopped after %" PRIu64 " frames", index, frames_read.load());
  const SilenceWatch::Finding found = silence.Flush();
  MutexLock lock(&impl->mutex);
  ReportAudioAfterEnd(found);
}

std::uint64_t HostChannel::Underruns(mrcp_request_id speak) const {
  MutexLock lock(&impl->mutex);
  if (playing.load() == speak) return underruns.load();
  auto it = underrun_counts.find(speak);
  return it == underrun_counts.end() ? 0 : it->second;
}

// ---------------------------------------------------------------- open, close, destroy

bool HostChannel::Open(std::chrono::milliseconds wait) {
  if (open_called) {
    HOST_LOG(APT_PRIO_WARNING, "OpenChannel: channel %d opened already", index);
    return false;
  }
  {
    MutexLock lock(&impl->mutex);
    open_acked = false;
    impl->checker.ChannelOpenCalled(index);
  }
  if (!handle->method_vtable->open(handle)) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: plugin refused open", index);
    MutexLock lock(&impl->mutex);
    impl->checker.ChannelOpenRefused(index);
    return false;
  }
  open_called = true;
  const auto deadline = Clock::now() + wait;
  MutexLock lock(&impl->mutex);
  while (!open_acked && lock.WaitUntil(impl->changed, deadline)) {
  }
  if (!open_acked) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: no open acknowledgement within %lld ms", index,
             static_cast<long long>(wait.count()));
    return false;
  }
  return open_status;
}

bool HostChannel::Close(std::chrono::milliseconds wait) {
  if (!open_called || closed) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: close of a channel that is not open", index);
    return false;
  }
  StopMedia();
  {
    // Queued SPEAKs end with their session; a SPEAK being passed on from
    // the queue gets there before the close does.
    MutexLock lock(&impl->mutex);
    closing = true;
    Dequeue({}, true);
    while (dispatching != 0) lock.Wait(impl->changed);
    close_acked = false;
    impl->checker.ChannelCloseCalled(index);
  }
  closed = true;
  if (!handle->method_vtable->close(handle)) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: plugin refused close", index);
    close_refused = true;
    MutexLock lock(&impl->mutex);
    impl->checker.ChannelCloseRefused(index);
    return false;
  }
  const auto deadline = Clock::now() + wait;
  MutexLock lock(&impl->mutex);
  while (!close_acked && lock.WaitUntil(impl->changed, deadline)) {
  }
  if (!close_acked) {
    HOST_LOG(APT_PRIO_WARNING,
             "channel %d: no close acknowledgement within %lld ms; waiting for it before the channel is freed "
             "(the plugin may still be working on it)",
             index, static_cast<long long>(wait.count()));
    return false;
  }
  return true;
}

bool HostChannel::Destroy(bool* destroy_result) {
  if (unclosed) return false;
  StopMedia();
  // The plugin relies on a closed channel before destroy, as the server does.
  if (open_called && !closed) Close(Host::kDefaultWait);
  // A channel is freed only once its close was acknowledged: the plugin may
  // be working on it until then.
  bool acked = false;
  if (closed && !close_refused) {
    const auto deadline = Clock::now() + impl->config.close_grace;
    MutexLock lock(&impl->mutex);
    while (!close_acked && lock.WaitUntil(impl->changed, deadline)) {
    }
    acked = close_acked;
  }
  if (closed && !acked) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d (%s) is not closed: its close was %s; it is left in place, not freed", index,
             handle->id, close_refused ? "refused" : "never acknowledged");
    MutexLock lock(&impl->mutex);
    unclosed = true;
    impl->checker.Forget(index);
    impl->LogViolations();
    return false;
  }
  *destroy_result = handle->method_vtable->destroy(handle) != FALSE;
  {
    MutexLock lock(&impl->mutex);
    requests.clear();  // their pools go with the channel's pool
    destroyed = true;
    impl->checker.Forget(index);
    impl->LogViolations();
  }
  apr_pool_destroy(pool);
  pool = nullptr;
  handle = nullptr;
  stream = nullptr;
  codec = nullptr;
  frame_buffer = std::vector<unsigned char>();
  return true;
}

// ---------------------------------------------------------------- requests

mrcp_message_t* HostChannel::CreateRequest(mrcp_method_id method) {
  apr_pool_t* request_pool = nullptr;
  apr_pool_create(&request_pool, pool);
  mrcp_message_t* request = mrcp_request_create(handle->mrcp_version, method, next_request_id, request_pool);
  if (!request) {
    apr_pool_destroy(request_pool);
    return nullptr;
  }
  ++next_request_id;
  apt_string_assign(&request->channel_id, handle->id, request_pool);
  Request rec;
  rec.message = request;
  rec.pool = request_pool;
  rec.id = request->start_line.request_id;
  rec.method = method;
  MutexLock lock(&impl->mutex);
  requests.push_back(rec);
  return request;
}

void HostChannel::Reap() {
  std::vector<apr_pool_t*> done;
  {
    MutexLock lock(&impl->mutex);
    for (auto it = requests.begin(); it != requests.end();) {
      if (it->answered) {
        done.push_back(it->pool);
        it = requests.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (apr_pool_t* request_pool : done) apr_pool_destroy(request_pool);
}

// ---------------------------------------------------------------- the host's channel list

HostChannel* Host::Impl::Find(int index, const char* caller) const {
  const auto it = channels.find(index);
  if (it == channels.end() || it->second->destroyed) {
    if (caller) HOST_LOG(APT_PRIO_WARNING, "%s: no channel %d", caller, index);
    return nullptr;
  }
  return it->second.get();
}

bool Host::Impl::DestroyChannel(HostChannel* channel) {
  bool result = false;
  if (!channel->Destroy(&result)) return false;
  channels.erase(channel->index);  // `channel` is gone from here on
  return result;
}

// The server's order: all media stops, then every channel closes, then all are destroyed.
void Host::Impl::TeardownChannels() {
  for (auto& [index, channel] : channels) channel->StopMedia();
  for (auto& [index, channel] : channels) {
    if (channel->open_called && !channel->closed) channel->Close(kDefaultWait);
  }
  std::vector<HostChannel*> all;
  for (auto& [index, channel] : channels) all.push_back(channel.get());
  for (HostChannel* channel : all) DestroyChannel(channel);  // an unclosed one stays
}

bool Host::Impl::HasUnclosed() const {
  return std::any_of(channels.begin(), channels.end(), [](const auto& c) { return c.second->unclosed; });
}

// ---------------------------------------------------------------- Host

int Host::CreateChannel(unsigned rate) {
  Impl& impl = *impl_;
  bool engine_open;
  {
    MutexLock lock(&impl.mutex);
    engine_open = impl.engine && impl.engine_open_called && !impl.engine_closed && impl.engine_open_status;
  }
  if (!engine_open) {
    HOST_LOG(APT_PRIO_WARNING, "CreateChannel: engine is not open");
    return -1;
  }
  if (rate != 8000 && rate != 16000) {
    HOST_LOG(APT_PRIO_WARNING, "CreateChannel: rate %u is not supported (8000 or 16000)", rate);
    return -1;
  }
  if (impl.channels.size() >= impl.config.max_channel_count) {
    HOST_LOG(APT_PRIO_WARNING, "CreateChannel: all %lu channels in use",
             static_cast<unsigned long>(impl.config.max_channel_count));
    return -1;
  }
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, impl.root_pool);
  mrcp_engine_channel_t* handle = impl.engine->method_vtable->create_channel(impl.engine, pool);
  const char* problem = nullptr;
  mpf_audio_stream_t* stream = nullptr;
  if (!handle) {
    problem = "plugin created no channel";
  } else if (!ChannelTableComplete(handle->method_vtable)) {
    problem = "incomplete channel method table";
  } else if (!handle->termination || !(stream = handle->termination->audio_stream) || !stream->vtable ||
             !stream->vtable->read_frame) {
    problem = "no source stream with read_frame";
  } else if (!stream->capabilities || !(stream->capabilities->direction & STREAM_DIRECTION_RECEIVE)) {
    problem = "stream is not a source";
  } else if (!OffersLpcm(stream->capabilities, rate)) {
    problem = "stream does not offer LPCM at this rate";
  }
  if (problem) {
    HOST_LOG(APT_PRIO_WARNING, "CreateChannel(%u): %s", rate, problem);
    if (handle && handle->method_vtable && handle->method_vtable->destroy) handle->method_vtable->destroy(handle);
    apr_pool_destroy(pool);
    return -1;
  }

  auto channel = std::make_unique<HostChannel>(&impl, impl.next_index++);
  channel->pool = pool;
  channel->handle = handle;
  channel->stream = stream;
  auto* codec = static_cast<mpf_codec_descriptor_t*>(apr_pcalloc(pool, sizeof(mpf_codec_descriptor_t)));
  codec->payload_type = 96;  // dynamic: LPCM has no static payload type
  apt_string_assign(&codec->name, "LPCM", pool);
  codec->sampling_rate = static_cast<apr_uint16_t>(rate);
  codec->channel_count = 1;
  channel->codec = codec;
  stream->rx_descriptor = codec;
  handle->id =
      apr_psprintf(pool, "%08" PRIx32 "%08" PRIx32 "@speechsynth", ProcessTag(), g_channel_serial.fetch_add(1) + 1);
  handle->mrcp_version = MRCP_VERSION_2;
  handle->event_obj = channel.get();
  handle->event_vtable = &kChannelEvents;
  const int index = channel->index;
  impl.channels.emplace(index, std::move(channel));
  HOST_LOG(APT_PRIO_INFO, "channel %d created: %s, LPCM/%u", index, handle->id, rate);
  return index;
}

bool Host::OpenChannel(int index, std::chrono::milliseconds wait) {
  HostChannel* channel = impl_->Find(index, "OpenChannel");
  return channel && channel->Open(wait);
}

bool Host::CloseChannel(int index, std::chrono::milliseconds wait) {
  HostChannel* channel = impl_->Find(index, "CloseChannel");
  return channel && channel->Close(wait);
}

bool Host::DestroyChannel(int index) {
  HostChannel* channel = impl_->Find(index, "DestroyChannel");
  return channel && impl_->DestroyChannel(channel);
}

mrcp_engine_channel_t* Host::channel(int index) const {
  const HostChannel* channel = impl_->Find(index, nullptr);
  return channel ? channel->handle : nullptr;
}

const mpf_codec_descriptor_t* Host::codec(int index) const {
  const HostChannel* channel = impl_->Find(index, nullptr);
  return channel ? channel->codec : nullptr;
}

mrcp_message_t* Host::CreateRequest(int index, mrcp_method_id method) {
  for (auto& [other, channel] : impl_->channels) {
    if (!channel->destroyed) channel->Reap();
  }
  HostChannel* channel = impl_->Find(index, "CreateRequest");
  return channel ? channel->CreateRequest(method) : nullptr;
}

bool Host::SendRequest(int index, mrcp_message_t* request) {
  HostChannel* channel = impl_->Find(index, "SendRequest");
  return channel && channel->Receive(request);
}

std::vector<int> Host::UnclosedChannels() const {
  std::vector<int> unclosed;
  for (const auto& [index, channel] : impl_->channels) {
    if (channel->unclosed) unclosed.push_back(index);
  }
  return unclosed;
}

std::uint64_t Host::Underruns(int index, mrcp_request_id speak) const {
  const HostChannel* channel = impl_->Find(index, nullptr);
  return channel ? channel->Underruns(speak) : 0;
}

bool Host::StartMedia(int index, FrameSink* sink, bool realtime, FrameSink* timeline) {
  HostChannel* channel = impl_->Find(index, "StartMedia");
  return channel && channel->StartMedia(sink, realtime, timeline);
}

void Host::StopMedia(int index) {
  HostChannel* channel = impl_->Find(index, "StopMedia");
  if (channel) channel->StopMedia();
}

}  // namespace corvex
