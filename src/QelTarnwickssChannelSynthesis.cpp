// The road of a SPEAK's segments: local files and waveform-folder URIs,
// the waveform cache, the cloud text request and its audio (inline or
// fetched), conversion to the channel's rate, the held SPEAK response, the
// end-of-stream marker and the waveform files the segments leave behind.
//
// Everything here runs on the engine's event-processor thread and blocks it
// for as long as a segment takes; the cloud SDK's own time-outs bound that.
#include <apr_file_io.h>
#include <apr_time.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <random>
#include <string>
#include <vector>

#include "QelAudioFetchHandler.h"
#include "QelCacheEntry.h"
#include "QelInlineAudio.h"
#include "QelTarnwickssChannel.h"
#include "QelTarnwickssEngine.h"
#include "QelTarnwickssPlugin.h"
#include "brillify/BrillCloudRequester.h"
#include "brillify/Client/Base64.h"
#include "brillify/Client/Fetch.h"
#include "brillify/ClientMatchJSON.h"
#include "brillify/CommandResultJSON.h"
#include "brillify/RequestInfoJSON.h"

namespace TARNWICKSS {

namespace {

constexpr const char* kTag = "tarnwickss";
// The service answers a text request whose query matches a client match's
// expression with that match's response text, spoken.
constexpr const char* kQuery = "speak_this";
constexpr const char* kClientName = "tarnwickss";
constexpr const char* kClientVersion = TARNWICKSS_VERSION;

// Holds one reference to an SDK value for the length of a scope.
template <typename T>
class SdkRef {
 public:
  explicit SdkRef(T* value) : value_(value) {}
  ~SdkRef() {
    if (value_) value_->release();
  }
  SdkRef(const SdkRef&) = delete;
  SdkRef& operator=(const SdkRef&) = delete;
  T* operator->() const { return value_; }
  T* get() const { return value_; }
  // Hands the reference to the caller.
  T* release() {
    T* value = value_;
    value_ = nullptr;
    return value;
  }

 private:
  T* value_;
};

// 40 URL-safe characters from 30 random bytes. The service echoes the two
// identifiers of a request in its logs, so they must differ from request to
// request, also within one second.
std::string RandomIdentifier() {
  static thread_local std::mt19937 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937(seed);
  }();
  std::string id(40, '\0');
  for (std::size_t i = 0; i < id.size(); i += 4) {
    unsigned char bytes[3];
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(generator() & 0xFF);
    Client::base64url_encode_three(&id[i], bytes);
  }
  return id;
}

// The format tag of a waveform file written from a stream of that codec.
std::uint16_t WaveFormat(const std::string& codec) {
  if (codec == "PCMU") return kWaveFormatMulaw;
  if (codec == "PCMA") return kWaveFormatAlaw;
  return kWaveFormatPcm;
}

// Whether a name taken from a URI stays inside the folder it is merged with:
// not empty, not absolute, and no ".." component.
bool StaysInsideFolder(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = name.find('/', begin);
    if (name.compare(begin, end == std::string::npos ? std::string::npos : end - begin, "..") == 0) return false;
    if (end == std::string::npos) return true;
    begin = end + 1;
  }
}

}  // namespace

bool Channel::StartSynthesis() {
  while (current_request_ && media_buffer_ && !stream_end_queued_.load(std::memory_order_relaxed) && !details_.content.segments.empty()) {
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
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Play File [%s] <%s@%s>", path.c_str(), id(), kTag);
      return ProcessFile(path);
    }
    case SYNTH_CONTENT_HTTP_URI:
    case SYNTH_CONTENT_HTTPS_URI: {
      std::string name;
      if (!ResolveLocalUri(segment.text, name)) {
        apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Only local HTTP URI supported [%s] <%s@%s>",
                segment.text.c_str(), id(), kTag);
        return false;
      }
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Play File [%s] <%s@%s>", name.c_str(), id(), kTag);
      return ProcessFile(name);
    }
    default:
      return SynthesizeText();
  }
}

bool Channel::ResolveLocalUri(const std::string& uri, std::string& name) const {
  const WaveformManager* waveforms = engine_->waveform_manager();
  if (!waveforms) return false;
  const std::string& base = waveforms->waveform_base_uri();
  if (base.empty() || uri.size() <= base.size() || uri.compare(0, base.size(), base) != 0) return false;
  // Under the base means behind a "/" that follows it (or ends it).
  std::size_t start = base.size();
  if (base.back() != '/') {
    if (uri[start] != '/') return false;
    ++start;
  }
  name = uri.substr(start);
  return StaysInsideFolder(name);
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
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
              "Found Matching Cache Record [%s] use-count [%" APR_UINT64_T_FMT "] <%s@%s>", found->name.c_str(),
              found->usage, id(), kTag);
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
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Reattempt TTS Request <%s@%s>", id(), kTag);
    // A fresh context for the same segment, still at the front.
    auto next = std::make_unique<StreamingSynthContext>();
    next->cache_entry = std::move(synth_context_->cache_entry);
    DiscardWaveFile();
    synth_context_ = std::move(next);
  }
}

Channel::Attempt Channel::RequestSpeech(BrillCloudRequester& requester) {
  StreamingSynthContext& context = *synth_context_;
  ++details_.attempt_counter;
  try {
    context.request_info = CreateRequestInfo();
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Submit TTS Request <%s@%s>\n%s", id(), kTag,
            ::to_string(*context.request_info).c_str());
    context.result = requester.textRequest(kQuery, context.sdk_state, context.request_info, nullptr);
    return OnFinishStream(true);
  } catch (const char* text) {
    return OnSdkError(text ? text : "");
  } catch (const std::exception& error) {
    return OnSdkError(error.what());
  }
}

Channel::Attempt Channel::OnSdkError(const char* text) {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "SDK raised an error [%s] <%s@%s>", text, id(), kTag);
  StreamingSynthContext* context = synth_context_.get();
  if (context && context->completed) {
    // The segment's audio was complete before the error: nothing is lost.
    ReleaseSynthContext();
    return Attempt::kDone;
  }
  if (context && context->received == 0 && details_.speak_params.reattempt && details_.attempt_counter == 1) {
    return Attempt::kRetry;
  }
  if (context && context->streaming && !context->fetch_failed && media_buffer_) {
    // A body cut short: what arrived of it still plays, to its last sample.
    context->converter.Finish([this](const std::uint8_t* bytes, std::size_t n) { WriteAudio(bytes, n); });
  }
  ReleaseSynthContext();
  return Attempt::kNotStarted;
}

RequestInfoJSON* Channel::CreateRequestInfo() {
  const SpeakParams& params = details_.speak_params;
  const SynthSegment& segment = details_.content.segments.front();
  SdkRef<RequestInfoJSON> info(new RequestInfoJSON());
  if (!params.language.empty()) info->setLanguage(params.language.c_str());
  info->setRequestID(RandomIdentifier().c_str());
  info->setSessionID(RandomIdentifier().c_str());
  info->setClientName(kClientName);
  info->setClientVersion(kClientVersion);

  SdkRef<ClientMatchJSON> match(new ClientMatchJSON());
  match->setExpression(kQuery);
  SdkRef<JSONObjectValue> result(new JSONObjectValue());
  SdkRef<JSONStringValue> intent(new JSONStringValue(kQuery));
  result->appendPair("Intent", intent.get());
  match->setResult(result.get());
  const char* text = segment.text.c_str();
  if (segment.content_type == SYNTH_CONTENT_SSML) {
    match->setPlainResponseText("");
    match->setPlainResponseTextLong("");
    match->setSSMLResponseText(text);
    match->setSSMLResponseTextLong(text);
  } else {
    match->setPlainResponseText(text);
    match->setPlainResponseTextLong(text);
  }
  match->setResponseText(text);
  match->setResponseTextLong(text);
  info->clearClientMatches();
  info->setClientMatchesPresent();
  info->appendClientMatch(match.get());

  info->setResponseVoice(segment.voice_name.empty() ? "Default" : segment.voice_name.c_str());
  info->setResponseAudioShortOrLong(RequestInfoJSON::stringToResponseAudioShortOrLong("Short"));
  if (params.audio_as_url) info->setResponseAudioAsURL(true);
  return info.release();
}

Channel::Attempt Channel::OnFinishStream(bool /*finished*/) {
  StreamingSynthContext* context = synth_context_.get();
  if (!context) return Attempt::kDone;
  BrillServerJSON* result = context->result;
  if (!result) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "TTS Request Returned No Result <%s@%s>", id(), kTag);
    return OnRequestFailed();
  }
  // Rendering an answer with seconds of inline audio takes longer than all
  // the rest of the channel's work on it: only when debug lines are written.
  if (apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "TTS Request Answered <%s@%s>", id(), kTag)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Result: \n%s <%s@%s>", ::to_string(*result).c_str(),
            id(), kTag);
  }
  const bool succeeded = result->hasStatus() && result->getStatus() == 0 && result->hasAllResults() &&
                         result->countOfAllResults() > 0;
  const CommandResultJSON* first = succeeded ? result->elementOfAllResults(0) : nullptr;
  if (!first) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "TTS Request Failed <%s@%s>", id(), kTag);
    return OnRequestFailed();
  }

  if (details_.speak_params.audio_as_url) {
    if (!first->hasResponseAudioURL()) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing ResponseAudioURL <%s@%s>", id(), kTag);
      ProcessSynthError();
      return Attempt::kDone;
    }
    if (first->getResponseAudioURL().empty()) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Empty ResponseAudioURL <%s@%s>", id(), kTag);
      ProcessSynthError();
      return Attempt::kDone;
    }
    return FetchAudio(first->getResponseAudioURL());
  }

  details_.content.segments.pop_front();
  if (!first->hasResponseAudioBytes()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing ResponseAudioBytes <%s@%s>", id(), kTag);
    ProcessSynthError();
    return Attempt::kDone;
  }
  const std::string& text = first->getResponseAudioBytes();
  if (text.empty()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Empty ResponseAudioBytes <%s@%s>", id(), kTag);
    ProcessSynthError();
    return Attempt::kDone;
  }
  // Decoded piece by piece as it is converted: neither the channel's pool
  // nor the heap holds the whole audio.
  ProcessSynthContent(InlineAudio(text));
  return Attempt::kDone;
}

Channel::Attempt Channel::OnRequestFailed() {
  if (details_.speak_params.reattempt && details_.attempt_counter == 1) return Attempt::kRetry;
  ProcessSynthError();
  return Attempt::kDone;
}

Channel::Attempt Channel::FetchAudio(const std::string& url) {
  StreamingSynthContext& context = *synth_context_;
  context.fetch_handler = std::make_unique<AudioFetchHandler>(this);
  context.fetch = std::make_unique<Client::Fetch>(url.c_str(), nullptr);
  context.fetch->get(context.fetch_handler.get(), Client::Fetch::GET);
  // get has returned: only now may the fetch, its handler and the context go.
  if (context.completed) {
    ReleaseSynthContext();
    return Attempt::kDone;
  }
  if (!context.fetch_failed) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Audio Fetch Ended Without Content End <%s@%s>",
            id(), kTag);
  }
  ProcessSynthError();
  return Attempt::kDone;
}

void Channel::ProcessSynthStartEvent() {
  StreamingSynthContext* context = synth_context_.get();
  if (!current_request_ || !context || context->streaming || context->fetch_failed) return;
  const auto rate = static_cast<unsigned>(details_.sampling_rate);
  if (rate != CloudAudioConverter::kSourceRate) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create Resampler from [%u Hz] to [%u Hz] <%s@%s>",
            CloudAudioConverter::kSourceRate, rate, id(), kTag);
  }
  if (!context->converter.Start(rate, CloudAudioConverter::kWaveHeaderSize)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Resampler to [%u Hz] <%s@%s>", rate,
            id(), kTag);
    context->fetch_failed = true;
    return;
  }
  context->streaming = true;
  StartSpeaking();
  OpenWaveFile(WaveFormat(details_.codec));
}

void Channel::ProcessSynthFailureEvent(unsigned code) {
  StreamingSynthContext* context = synth_context_.get();
  if (!context || context->fetch_failed) return;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Audio Fetch Failed status [%u] <%s@%s>", code, id(),
          kTag);
  context->fetch_failed = true;
}

void Channel::ProcessSynthDataEvent(unsigned long size, const void* data) {
  StreamingSynthContext* context = synth_context_.get();
  if (!current_request_ || !context || !context->streaming || context->fetch_failed || context->completed) return;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Process audio chunk [%lu bytes] <%s@%s>", size, id(),
          kTag);
  if (!media_buffer_ || size == 0 || !data) {
    context->fetch_failed = true;
    return;
  }
  context->received += size;
  const CloudAudioConverter::Sink sink = [this](const std::uint8_t* bytes, std::size_t n) { WriteAudio(bytes, n); };
  if (!context->converter.Write(data, size, sink)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Resample [%lu bytes] <%s@%s>", size, id(),
            kTag);
  }
}

void Channel::ProcessSynthCompleteEvent() {
  StreamingSynthContext* context = synth_context_.get();
  if (!current_request_ || !context || !context->streaming || context->fetch_failed || context->completed) return;
  if (!media_buffer_) {
    context->fetch_failed = true;
    return;
  }
  const CloudAudioConverter::Sink sink = [this](const std::uint8_t* bytes, std::size_t n) { WriteAudio(bytes, n); };
  if (!context->converter.Finish(sink)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Resample the End of the Audio <%s@%s>",
            id(), kTag);
  }
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
          "Streamed [%" APR_UINT64_T_FMT " samples] as [%" APR_UINT64_T_FMT " samples] <%s@%s>",
          context->converter.input_samples(), context->converter.output_samples(), id(), kTag);
  context->completed = true;
  details_.content.segments.pop_front();
  FinishSegmentAudio();
  SaveWaveFile(apr_time_now());
}

void Channel::ProcessSynthContent(const InlineAudio& audio) {
  // Audio whose very first character does not decode is empty.
  std::uint8_t first = 0;
  if (!media_buffer_ || audio.Read(0, &first, 1) == 0) {
    ProcessSynthError();
    return;
  }
  const WaveformManager::ReadAt read_at = [&audio](std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
    return audio.Read(offset, buffer, count) == count;
  };
  std::uint64_t offset = 0, length = 0;
  if (WaveformManager::FindWaveData(read_at, audio.size(), offset, length) && length > 0) {
    CloudAudioConverter& converter = synth_context_->converter;
    const auto rate = static_cast<unsigned>(details_.sampling_rate);
    const std::uint64_t input = length / 2;
    if (rate != CloudAudioConverter::kSourceRate) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
              "Create Resampler from [%u Hz] to [%u Hz] input [%" APR_UINT64_T_FMT " samples] output [%" APR_UINT64_T_FMT
              " samples] <%s@%s>",
              CloudAudioConverter::kSourceRate, rate, input, input * rate / CloudAudioConverter::kSourceRate, id(),
              kTag);
    }
    if (!converter.Start(rate, 0)) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Resampler to [%u Hz] <%s@%s>", rate,
              id(), kTag);
      ProcessSynthError();
      return;
    }
    OpenWaveFile(kWaveFormatPcm);
    // The same blocks as a fetched body: the same samples, however the
    // audio came. One converter block of bytes at a time, decoded just
    // before the converter reads it.
    const CloudAudioConverter::Sink sink = [this](const std::uint8_t* bytes, std::size_t n) { WriteAudio(bytes, n); };
    std::array<std::uint8_t, CloudAudioConverter::kInputBlock * 2> piece;
    bool converted = true;
    for (std::uint64_t done = 0; done < length;) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), length - done));
      const std::size_t got = audio.Read(offset + done, piece.data(), want);
      converted = converter.Write(piece.data(), got, sink) && converted;
      done += got;
      if (got < want) break;  // the text ends decoding early
    }
    if (!converter.Finish(sink) || !converted) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
              "Failed to Resample [%" APR_UINT64_T_FMT " bytes] <%s@%s>", length, id(), kTag);
    }
    if (converter.resampling()) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Resampled [%" APR_UINT64_T_FMT " samples] <%s@%s>",
              converter.output_samples(), id(), kTag);
    }
  }
  const bool held = pending_speak_response_ != nullptr;
  FinishSegmentAudio();
  SaveWaveFile(held ? details_.stream_start_time : apr_time_now());
  ReleaseSynthContext();
}

WaveformManager::CacheEntry* Channel::FindCacheRecord(const SynthSegment& segment, const std::uint64_t& checksum) {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Find Cache Record checksum [%" APR_UINT64_T_FMT "] <%s@%s>",
          checksum, id(), kTag);
  WaveformManager* waveforms = engine_->waveform_manager();
  if (!waveforms) return nullptr;
  const SpeakParams& params = details_.speak_params;
  const CacheControl& directives = details_.cache_control;
  const auto range = waveforms->cache_records().equal_range(checksum);
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
  std::vector<std::uint8_t> samples;
  if (!waveforms || !waveforms->LoadWaveFile(entry->name, samples, scratch_pool_)) {
    // The segment stays where it is and goes to the cloud instead. The entry
    // goes, both files with it: left, it would shadow the newer entry for
    // the same text on every later lookup.
    entry->ReleaseMemory();
    if (waveforms) {
      const std::string name = entry->name;
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Remove Unreadable Cache Record [%s] <%s@%s>",
              name.c_str(), id(), kTag);
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

bool Channel::ProcessFile(const std::string& name) {
  details_.content.segments.pop_front();
  WaveformManager* waveforms = engine_->waveform_manager();
  std::vector<std::uint8_t> samples;
  if (!waveforms || !waveforms->LoadWaveFile(name, samples, scratch_pool_)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Play File [%s] <%s@%s>", name.c_str(), id(),
            kTag);
    return false;
  }
  WriteAudio(samples.data(), samples.size());
  FinishSegmentAudio();
  return true;
}

void Channel::WriteAudio(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0 || !media_buffer_) return;
  mpf_media_chunk_buffer_audio_write(media_buffer_, bytes, size);
  if (details_.enabled) details_.data_length += size;
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

void Channel::ReleaseSynthContext() {
  DiscardWaveFile();
  synth_context_.reset();
  if (close_pending_) FinishClose();
}

}  // namespace TARNWICKSS
