// The host runtime's channels: creation with codec negotiation, open,
// close and destroy in the server's order, requests' pools, and the media
// thread that pulls frames.
#include <apr_strings.h>
#include <strings.h>
#include <unistd.h>

#include "host_impl.h"

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

}  // namespace

Impl::Channel* ChannelOf(mrcp_engine_channel_t* channel, const char* caller) {
  auto* rec = channel ? static_cast<Impl::Channel*>(channel->event_obj) : nullptr;
  if (!rec) HOST_LOG(APT_PRIO_WARNING, "%s: not a channel of this host", caller);
  return rec;
}

apt_bool_t OnChannelOpen(mrcp_engine_channel_t* channel, apt_bool_t status) {
  Impl::Channel* rec = ChannelOf(channel, "channel open acknowledgement");
  if (!rec) return FALSE;
  HostEvent event = Impl::NewEvent(HostEvent::Kind::ChannelOpened, rec->index);
  event.status = status != FALSE;
  std::lock_guard<std::mutex> lock(rec->impl->mutex);
  rec->open_acked = true;
  rec->open_status = event.status;
  rec->impl->checker.ChannelOpenAcknowledged(rec->index);
  rec->impl->LogViolationsLocked();
  rec->impl->PushLocked(std::move(event));
  return TRUE;
}

apt_bool_t OnChannelClose(mrcp_engine_channel_t* channel) {
  Impl::Channel* rec = ChannelOf(channel, "channel close acknowledgement");
  if (!rec) return FALSE;
  HostEvent event = Impl::NewEvent(HostEvent::Kind::ChannelClosed, rec->index);
  std::lock_guard<std::mutex> lock(rec->impl->mutex);
  rec->close_acked = true;
  rec->impl->checker.ChannelCloseAcknowledged(rec->index);
  rec->impl->LogViolationsLocked();
  rec->impl->PushLocked(std::move(event));
  return TRUE;
}

const mrcp_engine_channel_event_vtable_t kChannelEvents = {OnChannelOpen, OnChannelClose, OnChannelMessage};

// ---------------------------------------------------------------- media

// The frame path: no allocation, no lock of the host's own.
void Host::Impl::MediaLoop(Channel* channel) {
  mpf_audio_stream_t* stream = channel->stream;
  apt_bool_t (*read_frame)(mpf_audio_stream_t*, mpf_frame_t*) = stream->vtable->read_frame;
  unsigned char* const buffer = channel->frame_buffer.data();
  const apr_size_t size = channel->frame_buffer.size();
  bool warned_result = false;
  bool warned_frame = false;
  auto next = Clock::now();
  auto last_busy = next;
  // Frames without audio since the SPEAK's last audio frame: a gap the
  // caller hears once audio follows it. (The plugin's end-of-stream frame
  // and the frames until SPEAK-COMPLETE arrives are no gap.)
  std::uint64_t gap = 0;
  mpf_frame_t frame;
  while (!channel->media_stop.load(std::memory_order_acquire)) {
    frame.type = MEDIA_FRAME_TYPE_NONE;
    frame.marker = 0;
    frame.codec_frame.buffer = buffer;
    frame.codec_frame.size = size;
    // Taken before the read: a frame read while the SPEAK was active is its
    // own, even when its final answer comes during the read.
    const bool active = channel->playing.load(std::memory_order_relaxed) != 0;
    apt_bool_t ok = read_frame(stream, &frame);
    if (!ok && !warned_result) {
      warned_result = true;
      HOST_LOG(APT_PRIO_WARNING, "channel %d: read_frame failed", channel->index);
    }
    if (frame.codec_frame.buffer != buffer || frame.codec_frame.size != size) {
      // The buffer is the server's: a plugin that swaps or resizes it gets
      // its frame dropped.
      if (!warned_frame) {
        warned_frame = true;
        HOST_LOG(APT_PRIO_WARNING, "channel %d: read_frame changed the frame buffer or size (%lu, expected %lu)",
                 channel->index, static_cast<unsigned long>(frame.codec_frame.size), static_cast<unsigned long>(size));
      }
    } else {
      if (channel->sink) channel->sink->OnFrame(channel->index, frame);
      if (active) {
        const int phase = channel->audio_phase.load(std::memory_order_relaxed);
        if (frame.type & MEDIA_FRAME_TYPE_EVENT) {
          channel->audio_phase.store(Channel::kAfterAudio, std::memory_order_relaxed);
        } else if (frame.type & MEDIA_FRAME_TYPE_AUDIO) {
          if (phase == Channel::kBeforeAudio) {
            channel->audio_phase.store(Channel::kInAudio, std::memory_order_relaxed);
          } else if (phase == Channel::kInAudio && gap > 0) {
            channel->underruns.fetch_add(gap, std::memory_order_relaxed);
          }
          gap = 0;
        } else if (phase == Channel::kInAudio && !channel->held.load(std::memory_order_relaxed)) {
          ++gap;
        }
        if (channel->timeline) channel->timeline->OnFrame(channel->index, frame);
      }
    }
    channel->frames_read.fetch_add(1, std::memory_order_relaxed);
    if (channel->realtime) {
      next += kFramePeriod;
      auto now = Clock::now();
      if (now - next > kMaxLag) next = now;
      std::this_thread::sleep_until(next);
    } else if (frame.type & (MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT)) {
      last_busy = Clock::now();
      std::this_thread::yield();
    } else if (Clock::now() - last_busy < kIdleSpin) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(kIdleSleep);
    }
  }
}

void Host::Impl::StopMedia(Channel* channel) {
  if (!channel->media.joinable()) return;
  channel->media_stop.store(true, std::memory_order_release);
  if (channel->media.get_id() == std::this_thread::get_id()) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: media cannot be stopped from its own thread", channel->index);
    return;
  }
  channel->media.join();
  HOST_LOG(APT_PRIO_INFO, "channel %d: media stopped after %" PRIu64 " frames", channel->index,
           channel->frames_read.load());
}

// ---------------------------------------------------------------- channels

bool Host::Impl::CloseChannel(Channel* channel, std::chrono::milliseconds wait) {
  if (!channel->open_called || channel->closed) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: close of a channel that is not open", channel->index);
    return false;
  }
  StopMedia(channel);
  {
    // Queued SPEAKs end with their session; a SPEAK being passed on from
    // the queue gets there before the close does.
    std::unique_lock<std::mutex> lock(mutex);
    channel->closing = true;
    DequeueLocked(channel, {}, true);
    changed.wait(lock, [channel] { return channel->dispatching == 0; });
    channel->close_acked = false;
    checker.ChannelCloseCalled(channel->index);
  }
  channel->closed = true;
  if (!channel->handle->method_vtable->close(channel->handle)) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: plugin refused close", channel->index);
    channel->close_refused = true;
    std::lock_guard<std::mutex> lock(mutex);
    checker.ChannelCloseRefused(channel->index);
    return false;
  }
  if (!Wait(wait, [channel] { return channel->close_acked; })) {
    HOST_LOG(APT_PRIO_WARNING,
             "channel %d: no close acknowledgement within %lld ms; waiting for it before the channel is freed "
             "(the plugin may still be working on it)",
             channel->index, static_cast<long long>(wait.count()));
    return false;
  }
  return true;
}

bool Host::Impl::DestroyChannel(Channel* channel) {
  if (channel->unclosed) return false;
  StopMedia(channel);
  // The plugin relies on a closed channel before destroy, as the server does.
  if (channel->open_called && !channel->closed) CloseChannel(channel, kDefaultWait);
  // A channel is freed only once its close was acknowledged: the plugin may
  // be working on it until then.
  if (channel->closed &&
      (channel->close_refused || !Wait(config.close_grace, [channel] { return channel->close_acked; }))) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d (%s) is not closed: its close was %s; it is left in place, not freed",
             channel->index, channel->handle->id, channel->close_refused ? "refused" : "never acknowledged");
    std::lock_guard<std::mutex> lock(mutex);
    channel->unclosed = true;
    checker.Forget(channel->index);
    LogViolationsLocked();
    return false;
  }
  bool result = channel->handle->method_vtable->destroy(channel->handle) != FALSE;
  {
    std::lock_guard<std::mutex> lock(mutex);
    channel->requests.clear();  // their pools go with the channel's pool
    channel->destroyed = true;
    checker.Forget(channel->index);
    LogViolationsLocked();
  }
  apr_pool_destroy(channel->pool);
  channel->pool = nullptr;
  channel->handle = nullptr;
  channel->stream = nullptr;
  channel->codec = nullptr;
  channel->frame_buffer = std::vector<unsigned char>();
  {
    std::lock_guard<std::mutex> lock(mutex);
    channels.erase(channel->index);  // `channel` is gone from here on
  }
  return result;
}

// The server's order: all media stops, then every channel closes, then all are destroyed.
void Host::Impl::TeardownChannels() {
  for (auto& [index, channel] : channels) StopMedia(channel.get());
  for (auto& [index, channel] : channels) {
    if (channel->open_called && !channel->closed) CloseChannel(channel.get(), kDefaultWait);
  }
  std::vector<Channel*> all;
  for (auto& [index, channel] : channels) all.push_back(channel.get());
  for (Channel* channel : all) DestroyChannel(channel);  // an unclosed one stays
}

int Host::CreateChannel(unsigned rate) {
  Impl& impl = *impl_;
  bool engine_open;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
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

  auto channel = std::make_unique<Impl::Channel>();
  channel->impl = &impl;
  channel->index = impl.next_index++;
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
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    impl.channels.emplace(index, std::move(channel));
  }
  HOST_LOG(APT_PRIO_INFO, "channel %d created: %s, LPCM/%u", index, handle->id, rate);
  return index;
}

bool Host::OpenChannel(int index, std::chrono::milliseconds wait) {
  Impl::Channel* channel = impl_->Find(index, "OpenChannel");
  if (!channel) return false;
  if (channel->open_called) {
    HOST_LOG(APT_PRIO_WARNING, "OpenChannel: channel %d opened already", index);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    channel->open_acked = false;
    impl_->checker.ChannelOpenCalled(index);
  }
  if (!channel->handle->method_vtable->open(channel->handle)) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: plugin refused open", index);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->checker.ChannelOpenRefused(index);
    return false;
  }
  channel->open_called = true;
  if (!impl_->Wait(wait, [channel] { return channel->open_acked; })) {
    HOST_LOG(APT_PRIO_WARNING, "channel %d: no open acknowledgement within %lld ms", index,
             static_cast<long long>(wait.count()));
    return false;
  }
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return channel->open_status;
}

bool Host::CloseChannel(int index, std::chrono::milliseconds wait) {
  Impl::Channel* channel = impl_->Find(index, "CloseChannel");
  return channel && impl_->CloseChannel(channel, wait);
}

bool Host::DestroyChannel(int index) {
  Impl::Channel* channel = impl_->Find(index, "DestroyChannel");
  return channel && impl_->DestroyChannel(channel);
}

mrcp_engine_channel_t* Host::channel(int index) const {
  const Impl::Channel* channel = impl_->Find(index, nullptr);
  return channel ? channel->handle : nullptr;
}

const mpf_codec_descriptor_t* Host::codec(int index) const {
  const Impl::Channel* channel = impl_->Find(index, nullptr);
  return channel ? channel->codec : nullptr;
}

mrcp_message_t* Host::CreateRequest(int index, mrcp_method_id method) {
  impl_->Reap();
  Impl::Channel* channel = impl_->Find(index, "CreateRequest");
  if (!channel) return nullptr;
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, channel->pool);
  mrcp_message_t* request = mrcp_request_create(channel->handle->mrcp_version, method, channel->next_request_id, pool);
  if (!request) {
    apr_pool_destroy(pool);
    return nullptr;
  }
  ++channel->next_request_id;
  apt_string_assign(&request->channel_id, channel->handle->id, pool);
  Impl::Request rec;
  rec.message = request;
  rec.pool = pool;
  rec.id = request->start_line.request_id;
  rec.method = method;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  channel->requests.push_back(rec);
  return request;
}

std::vector<int> Host::UnclosedChannels() const {
  std::vector<int> unclosed;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (const auto& [index, channel] : impl_->channels) {
    if (channel->unclosed) unclosed.push_back(index);
  }
  return unclosed;
}

std::uint64_t Host::Underruns(int index, mrcp_request_id speak) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Impl::Channel* channel = impl_->Find(index, nullptr);
  if (!channel) return 0;
  if (channel->playing.load() == speak) return channel->underruns.load();
  auto it = channel->underrun_counts.find(speak);
  return it == channel->underrun_counts.end() ? 0 : it->second;
}

bool Host::StartMedia(int index, FrameSink* sink, bool realtime, FrameSink* timeline) {
  Impl::Channel* channel = impl_->Find(index, "StartMedia");
  if (!channel) return false;
  bool open;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    open = channel->open_called && !channel->closed && channel->open_acked && channel->open_status;
  }
  if (!open || channel->media.joinable()) {
    HOST_LOG(APT_PRIO_WARNING, "StartMedia: channel %d %s", index, open ? "has media running already" : "is not open");
    return false;
  }
  // 10 ms of 16-bit mono samples; allocated here so the frame path allocates nothing.
  channel->frame_buffer.assign(channel->codec->sampling_rate / 100 * 2, 0);
  channel->sink = sink;
  channel->timeline = timeline;
  channel->realtime = realtime;
  channel->media_stop.store(false);
  channel->frames_read.store(0);
  Impl* impl = impl_.get();
  channel->media = std::thread([impl, channel] { impl->MediaLoop(channel); });
  return true;
}

void Host::StopMedia(int index) {
  Impl::Channel* channel = impl_->Find(index, "StopMedia");
  if (channel) impl_->StopMedia(channel);
}

}  // namespace corvex
