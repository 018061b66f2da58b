// The channel's side of the waveform manager: the cache lookup of a text
// segment and the playing of a hit, and the segment's own waveform file
// (opened with the first audio, saved as a cache entry or a plain file at
// the end, removed when the segment fails).
//
// Everything here runs on the engine's event-processor thread.
#include <apr_file_io.h>

#include <cstdint>
#include <string>
#include <vector>

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
  // Entries whose exact attributes differ are passed over unread.
  const std::uint64_t key =
      WaveformManager::CacheEntry::MatchKey(params.language, static_cast<std::uint32_t>(details_.sampling_rate),
                                            segment.voice_name, segment.voice_gender, segment.text, params.prosody);
  const auto range = waveforms->cache_records().equal_range(checksum);
  for (auto it = range.first; it != range.second; ++it) {
    WaveformManager::CacheEntry* entry = it->second;
    if (!entry || entry->match_key() != key || !waveforms->LoadCacheFile(entry, scratch_pool_)) continue;
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
  std::vector<std::uint8_t> samples;
  if (!waveforms || !waveforms->LoadWaveFile(entry->name, samples, scratch_pool_)) {
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
  WriteAudio(samples.data(), samples.size());
  FinishSegmentAudio();
  waveforms->SaveCacheFile(entry, scratch_pool_);
  entry->ReleaseMemory();
  return true;
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
