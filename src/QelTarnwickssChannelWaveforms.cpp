// The channel's side of the waveform manager: the cache lookup of a text
// segment and the playing of a hit, and the segment's own waveform file
// (opened with the first audio, saved as a cache entry or a plain file at
// the end, removed when the segment fails).
//
// Everything here runs on the engine's event-processor thread.
#include <apr_file_io.h>

#include <cstdint>
#include <string>

#include "QelCacheEntry.h"
#include "QelTarnwickssChannel.h"
#include "QelTarnwickssEngine.h"

namespace TARNWICKSS {

WaveformManager::CacheEntry* Channel::FindCacheRecord(const SynthSegment& segment, const std::uint64_t& checksum) {
  Log(APT_LOG_MARK, APT_PRIO_DEBUG, "Find Cache Record checksum [%" APR_UINT64_T_FMT "]", checksum);
  WaveformManager* waveforms = engine_->waveform_manager();
  if (!waveforms) return nullptr;
  const SpeakParams& params = details_.speak_params;
  const CacheControl& directives = details_.cache_control;
  // Entries whose exact attributes differ are not even visited.
  const std::uint64_t key =
      WaveformManager::CacheEntry::MatchKey(params.language, static_cast<std::uint32_t>(details_.sampling_rate),
                                            segment.voice_name, segment.voice_gender, segment.text, params.prosody);
  const auto range = waveforms->CacheRecordsOf(checksum, key);
  for (auto it = range.first; it != range.second; ++it) {
    WaveformManager::CacheEntry* entry = it->second;
    if (!entry || !waveforms->LoadCacheFile(entry, scratch_pool_)) continue;
    if (entry->language == params.language && entry->sampling_rate == details_.sampling_rate &&
        entry->voice_name == segment.voice_name && entry->voice_gender == segment.voice_gender &&
        entry->content == segment.text && params.prosody.Compare(entry->prosody) &&
        (!directives.HasDirectives() || CheckCacheDirectives(entry, directives))) {
      return entry;
    }
    entry->ReleaseMemory();
  }
  return nullptr;
}

bool Channel::CheckCacheDirectives(WaveformManager::CacheEntry* entry, const CacheControl& directives) {
  return entry && directives.CheckRecord(*entry, id());
}

bool Channel::ProcessCacheRecord(WaveformManager::CacheEntry* entry) {
  if (!entry) return false;
  WaveformManager* waveforms = engine_->waveform_manager();
  if (!waveforms || PlayWaveFile(entry->name) != FilePlay::kPlayed) {
    // The segment stays where it is and goes to the cloud instead. The entry
    // goes, both files with it: left, it would shadow the newer entry for
    // the same text on every later lookup.
    entry->ReleaseMemory();
    if (waveforms) {
      const std::string name = entry->name;
      Log(APT_LOG_MARK, APT_PRIO_WARNING, "Remove Unreadable Cache Record [%s]", name.c_str());
      waveforms->RemoveFileEntry(name);
    }
    return false;
  }
  details_.content.segments.pop_front();
  waveforms->UpdateFileEntryUsage(entry, entry->usage + 1);
  FinishSegmentAudio();
  waveforms->SaveCacheFile(entry, scratch_pool_);
  entry->ReleaseMemory();
  return true;
}

Channel::FilePlay Channel::PlayWaveFile(const std::string& name) {
  WaveformManager* waveforms = engine_->waveform_manager();
  std::string path;
  std::uint64_t size = 0;
  apr_file_t* file = waveforms ? waveforms->OpenWaveFileForReading(name, path, size, scratch_pool_) : nullptr;
  if (!file) return FilePlay::kUnreadable;
  const CloudAudioConverter::ReadNext read = [file](std::uint8_t* buffer, std::size_t count) {
    apr_size_t got = 0;
    apr_file_read_full(file, buffer, count, &got);
    return static_cast<std::size_t>(got);
  };
  CloudAudioConverter converter;
  FilePlay outcome = FilePlay::kRefused;
  if (converter.StartWhole(static_cast<unsigned>(details_.sampling_rate), size, read)) {
    outcome = FilePlay::kPlayed;
    if (!converter.ConvertWhole([this](const std::uint8_t* bytes, std::size_t n) { WriteAudio(bytes, n); })) {
      // Read short after the check (the file changed), or a block lost to
      // the resampler: what was read plays.
      Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Read Waveform Data %s length [%" APR_UINT64_T_FMT "]",
          path.c_str(), converter.input_samples() * 2);
    }
  } else {
    LogUnplayable(converter, path);
  }
  apr_file_close(file);
  return outcome;
}

void Channel::OpenWaveFile(std::uint16_t format) {
  WaveformManager* waveforms = engine_->waveform_manager();
  if (!waveforms || !wave_file_.save || wave_file_.file || !scratch_pool_) return;
  wave_file_.content_length = 0;
  // A file that cannot be opened leaves the audio playing, unsaved.
  waveforms->OpenWavefile(wave_file_, static_cast<std::uint32_t>(details_.sampling_rate), format, scratch_pool_);
}

void Channel::SaveWaveFile(std::int64_t time) {
  WaveformManager* waveforms = engine_->waveform_manager();
  if (!waveforms || !wave_file_.file) return;
  waveforms->CloseWavefile(wave_file_, time);
  StreamingSynthContext* context = synth_context_.get();
  if (context && context->cache_entry) {
    waveforms->SaveCacheFile(context->cache_entry.get(), scratch_pool_);
    waveforms->AddFileEntry(context->cache_entry.release());
  } else {
    waveforms->AddFileEntry(new FileManager::FileEntry(wave_file_.name, time));
  }
}

void Channel::DiscardWaveFile() {
  if (!wave_file_.file) return;
  apr_file_close(wave_file_.file);
  wave_file_.file = nullptr;
  std::string path;
  WaveformManager* waveforms = engine_->waveform_manager();
  if (waveforms && scratch_pool_ && waveforms->ComposePath(path, wave_file_.name, scratch_pool_)) {
    apr_file_remove(path.c_str(), scratch_pool_);
  }
}

}  // namespace TARNWICKSS
