// The road of a SPEAK's segments: one after the other from the front of the
// content queue, each to its end (a local file, the waveform cache or the
// cloud), the audio queued for the media thread, the held SPEAK response
// and the end-of-stream marker.
//
// Everything here runs on the engine's event-processor thread and blocks it
// for as long as a segment takes; the cloud SDK's own time-outs bound that.
#include <apr_file_io.h>
#include <apr_time.h>

#include <cstdint>
#include <memory>
#include <string>

#include "QelCacheEntry.h"
#include "QelTarnwickssChannel.h"
#include "QelTarnwickssEngine.h"

namespace TARNWICKSS {

bool Channel::StartSynthesis() {
  while (current_request_ && media_buffer_ && !stream_end_queued_.load(std::memory_order_relaxed) &&
         !details_.content.segments.empty()) {
    const bool started = SynthesizeSegment();
    // Nothing the segment allocated outlives it.
    DiscardWaveFile();
    if (scratch_pool_) apr_pool_clear(scratch_pool_);
    if (started) continue;
    if (pending_speak_response_) {
      details_.content.segments.clear();
      return false;
    }
    // Audio was queued already: it plays to its end, and the SPEAK completes
    // with an error.
    FailStream();
    break;
  }
  return true;
}

bool Channel::SynthesizeSegment() {
  const SynthSegment& segment = details_.content.segments.front();
  switch (segment.content_type) {
    case SYNTH_CONTENT_FILE_URI: {
      const std::string path = segment.text;
      Log(APT_LOG_MARK, APT_PRIO_INFO, "Play File [%s]", path.c_str());
      return PlayLocalFile(path);
    }
    case SYNTH_CONTENT_HTTP_URI:
    case SYNTH_CONTENT_HTTPS_URI: {
      std::string name;
      if (!ResolveLocalUri(segment.text, name)) {
        Log(APT_LOG_MARK, APT_PRIO_WARNING, "Only local HTTP URI supported [%s]", segment.text.c_str());
        return false;
      }
      Log(APT_LOG_MARK, APT_PRIO_INFO, "Play File [%s]", name.c_str());
      return PlayLocalFile(name);
    }
    default:
      return SynthesizeText();
  }
}

bool Channel::SynthesizeText() {
  WaveformManager* waveforms = engine_->waveform_manager();
  const SynthSegment& segment = details_.content.segments.front();
  const SpeakParams& params = details_.speak_params;
  ++details_.segment_counter;
  details_.attempt_counter = 0;

  const bool caching = waveforms && waveforms->caching();
  wave_file_ = WaveformManager::WaveFile();
  wave_file_.save = waveforms && (caching || waveforms->save_waveforms());
  if (wave_file_.save) {
    waveforms->ComposeName(wave_file_.name, id(), current_request_->start_line.request_id, details_.segment_counter,
                           details_.logging_tag, scratch_pool_);
  }

  std::unique_ptr<WaveformManager::CacheEntry> entry;
  if (caching) {
    const std::uint64_t checksum = WaveformManager::CalculateChecksum(segment.text);
    if (WaveformManager::CacheEntry* found = FindCacheRecord(segment, checksum)) {
      Log(APT_LOG_MARK, APT_PRIO_INFO, "Found Matching Cache Record [%s] use-count [%" APR_UINT64_T_FMT "]",
          found->name.c_str(), found->usage);
      if (ProcessCacheRecord(found)) return true;
    }
    entry = std::make_unique<WaveformManager::CacheEntry>(wave_file_.name, apr_time_now());
    entry->checksum = checksum;
    entry->sampling_rate = static_cast<std::uint16_t>(details_.sampling_rate);
    entry->language = params.language;
    entry->voice_name = segment.voice_name;
    entry->voice_gender = segment.voice_gender;
    entry->content = segment.text;
    entry->prosody = params.prosody;
  }

  BrillCloudRequester* requester = engine_->requester();
  if (!requester) return false;
  synth_context_ = std::make_unique<StreamingSynthContext>();
  synth_context_->cache_entry = std::move(entry);
  for (;;) {
    const Attempt attempt = RequestSpeech(*requester);
    if (attempt != Attempt::kRetry) return attempt == Attempt::kDone;
    Log(APT_LOG_MARK, APT_PRIO_INFO, "Reattempt TTS Request");
    // A fresh context for the same segment, still at the front.
    auto next = std::make_unique<StreamingSynthContext>();
    next->cache_entry = std::move(synth_context_->cache_entry);
    DiscardWaveFile();
    synth_context_ = std::move(next);
  }
}

void Channel::WriteAudio(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0 || !media_buffer_) return;
  mpf_media_chunk_buffer_audio_write(media_buffer_, bytes, size);
  if (wave_file_.save && wave_file_.file) {
    apr_file_write_full(wave_file_.file, bytes, size, nullptr);
    wave_file_.content_length += size;
  }
}

void Channel::FinishSegmentAudio() {
  if (details_.content.segments.empty()) EndStream();
  StartSpeaking();
}

void Channel::FailStream() {
  if (details_.completion_cause == SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN)
    details_.completion_cause = SYNTHESIZER_COMPLETION_CAUSE_ERROR;
  EndStream();
}

void Channel::EndStream() {
  if (stream_end_queued_.load(std::memory_order_relaxed) || !media_buffer_) return;
  mpf_media_chunk_buffer_event_write(media_buffer_, MEDIA_FRAME_TYPE_EVENT);
  stream_end_queued_.store(true, std::memory_order_release);
}

void Channel::ReleaseSynthContext() {
  DiscardWaveFile();
  synth_context_.reset();
  if (close_pending_) FinishClose();
}

}  // namespace TARNWICKSS
