// The cloud exchange of a text segment: the request info, the text request
// and its retry, the answer, the audio it carries inline or names by URL,
// the fetch of that URL and the synthesis events the fetch raises, and the
// conversion of the audio to the channel's rate.
//
// Everything here runs on the engine's event-processor thread. Without cloud
// workers it blocks in the SDK's text request and fetch, and the fetch
// handler calls the synthesis events from inside Fetch::get on that same
// thread. With them, the request and the fetch are handed to a worker at the
// points where they would be made, and OnCloudResult takes up what comes
// back where the SDK call would have returned it.
#include <apr_time.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>

#include "QelAudioFetchHandler.h"
#include "QelCloudWorkers.h"
#include "QelCloudRequestInfo.h"
#include "QelInlineAudio.h"
#include "QelLogUrls.h"
#include "QelTarnwickssChannel.h"
#include "QelTarnwickssEngine.h"
#include "QelTarnwickssPlugin.h"
#include "brillify/BrillCloudRequester.h"
#include "brillify/Client/Fetch.h"
#include "brillify/CommandResultJSON.h"
#include "brillify/RequestInfoJSON.h"

namespace TARNWICKSS {

namespace {

// The format tag of a waveform file written from a stream of that codec.
std::uint16_t WaveFormat(const std::string& codec) {
  if (codec == "PCMU") return kWaveFormatMulaw;
  if (codec == "PCMA") return kWaveFormatAlaw;
  return kWaveFormatPcm;
}

}  // namespace

Channel::Attempt Channel::RequestSpeech(BrillCloudRequester& requester) {
  StreamingSynthContext& context = *synth_context_;
  ++details_.attempt_counter;
  try {
    const SynthSegment& segment = details_.content.segments.front();
    context.request_info =
        CreateRequestInfo(segment.text, segment.content_type == SYNTH_CONTENT_SSML, segment.voice_name,
                          details_.speak_params.language, details_.speak_params.audio_as_url);
    if (PluginLogs(APT_PRIO_INFO)) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Submit TTS Request <%s@%s>\n%s", id(), kChannelLogTag,
              ::to_string(*context.request_info).c_str());
    }
    if (CloudWorkers* workers = engine_->cloud_workers()) {
      SubmitExchange(*workers, CloudExchange::TextRequest(requester.composeTextRequest(kQuery, context.sdk_state,
                                                                                       context.request_info, nullptr),
                                                          this, generation_));
      return Attempt::kPending;
    }
    context.result = requester.textRequest(kQuery, context.sdk_state, context.request_info, nullptr);
    return OnFinishStream(true);
  } catch (const char* text) {
    return OnSdkError(text ? text : "");
  } catch (const std::exception& error) {
    return OnSdkError(error.what());
  }
}

Channel::Attempt Channel::OnSdkError(const char* text) {
  // The SDK's texts quote the URLs they failed on.
  Log(APT_LOG_MARK, APT_PRIO_WARNING, "SDK raised an error [%s]", MaskUrlUserInfo(text).c_str());
  StreamingSynthContext* context = synth_context_.get();
  if (context && context->completed) {
    // The segment's audio was complete before the error: nothing is lost.
    ReleaseSynthContext();
    return Attempt::kDone;
  }
  if (context && context->received == 0 && details_.speak_params.reattempt && details_.attempt_counter == 1) {
    return Attempt::kRetry;
  }
  if (context && context->streaming && !context->fetch_failed && media_buffer_ &&
      context->converter.output_samples() > 0) {
    // A body cut short after its audio began: what arrived of it still
    // plays, to its last sample.
    context->converter.Finish([this](const std::uint8_t* bytes, std::size_t n) { WriteAudio(bytes, n); });
  }
  ReleaseSynthContext();
  return Attempt::kNotStarted;
}

Channel::Attempt Channel::OnFinishStream(bool /*finished*/) {
  StreamingSynthContext* context = synth_context_.get();
  if (!context) return Attempt::kDone;
  BrillServerJSON* result = context->result;
  if (!result) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "TTS Request Returned No Result");
    return OnRequestFailed();
  }
  Log(APT_LOG_MARK, APT_PRIO_DEBUG, "TTS Request Answered");
  // Rendering an answer with seconds of inline audio takes longer than all
  // the rest of the channel's work on it: only when the line is written.
  if (PluginLogs(APT_PRIO_DEBUG)) {
    Log(APT_LOG_MARK, APT_PRIO_DEBUG, "Result: \n%s", MaskUrlUserInfo(::to_string(*result)).c_str());
  }
  const bool succeeded =
      result->hasStatus() && result->getStatus() == 0 && result->hasAllResults() && result->countOfAllResults() > 0;
  const CommandResultJSON* first = succeeded ? result->elementOfAllResults(0) : nullptr;
  if (!first) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "TTS Request Failed");
    return OnRequestFailed();
  }

  if (details_.speak_params.audio_as_url) {
    if (!first->hasResponseAudioURL()) {
      Log(APT_LOG_MARK, APT_PRIO_WARNING, "Missing ResponseAudioURL");
      ProcessSynthError();
      return Attempt::kDone;
    }
    if (first->getResponseAudioURL().empty()) {
      Log(APT_LOG_MARK, APT_PRIO_WARNING, "Empty ResponseAudioURL");
      ProcessSynthError();
      return Attempt::kDone;
    }
    return FetchAudio(first->getResponseAudioURL());
  }

  details_.content.segments.pop_front();
  if (!first->hasResponseAudioBytes()) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Missing ResponseAudioBytes");
    ProcessSynthError();
    return Attempt::kDone;
  }
  const std::string& text = first->getResponseAudioBytes();
  if (text.empty()) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Empty ResponseAudioBytes");
    ProcessSynthError();
    return Attempt::kDone;
  }
  // Decoded piece by piece as it is converted: neither the channel's pool
  // nor the heap holds the whole audio.
  InlineAudio audio(text);
  ProcessSynthContent(audio);
  return Attempt::kDone;
}

Channel::Attempt Channel::OnRequestFailed() {
  if (details_.speak_params.reattempt && details_.attempt_counter == 1) return Attempt::kRetry;
  ProcessSynthError();
  return Attempt::kDone;
}

Channel::Attempt Channel::FetchAudio(const std::string& url) {
  if (CloudWorkers* workers = engine_->cloud_workers()) {
    SubmitExchange(*workers, CloudExchange::Fetch(url, Brillify::CurrentTimeouts(), this, generation_));
    return Attempt::kPending;
  }
  StreamingSynthContext& context = *synth_context_;
  context.fetch_handler = std::make_unique<AudioFetchHandler>(this);
  context.fetch = std::make_unique<Client::Fetch>(url.c_str(), nullptr);
  context.fetch->get(context.fetch_handler.get(), Client::Fetch::GET);
  // get has returned: only now may the fetch, its handler and the context go.
  return OnFetchEnded();
}

Channel::Attempt Channel::OnFetchEnded() {
  StreamingSynthContext& context = *synth_context_;
  if (context.completed) {
    ReleaseSynthContext();
    return Attempt::kDone;
  }
  if (!context.fetch_failed) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Audio Fetch Ended Without Content End");
  }
  ProcessSynthError();
  return Attempt::kDone;
}

void Channel::ProcessSynthStartEvent() {
  StreamingSynthContext* context = synth_context_.get();
  if (!current_request_ || !context || context->streaming || context->fetch_failed) return;
  // The held response and the waveform file wait for the first audio: a
  // body that is not playable audio fails before the SPEAK is answered.
  context->converter.Start(static_cast<unsigned>(details_.sampling_rate));
  context->streaming = true;
}

void Channel::WriteStreamedAudio(const std::uint8_t* bytes, std::size_t size) {
  CloudAudioConverter& converter = synth_context_->converter;
  if (converter.output_samples() == 0) {  // the first audio of the body
    if (converter.resampling()) {
      Log(APT_LOG_MARK, APT_PRIO_INFO, "Create Resampler from [%u Hz] to [%u Hz]",
          static_cast<unsigned>(converter.reader().format().rate), static_cast<unsigned>(details_.sampling_rate));
    }
    StartSpeaking();
    OpenWaveFile(WaveFormat(details_.codec));
  }
  WriteAudio(bytes, size);
}

// Audio the converter refused: played, it would sound at the wrong speed,
// as noise, or as a fragment passed off as the whole.
void Channel::LogUnplayable(const CloudAudioConverter& converter, const std::string& path) {
  const WaveReader& reader = converter.reader();
  if (reader.problem() == WaveReader::Problem::kCutShort) {
    if (path.empty()) {
      Log(APT_LOG_MARK, APT_PRIO_WARNING, "Audio Cut Short [%s]", reader.Describe().c_str());
    } else {
      Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Read Waveform Data %s [%s]", path.c_str(),
          reader.Describe().c_str());
    }
    return;
  }
  Log(APT_LOG_MARK, APT_PRIO_WARNING, "Unsupported Audio Format [%s]", reader.Describe().c_str());
}

void Channel::ProcessSynthFailureEvent(unsigned code) {
  StreamingSynthContext* context = synth_context_.get();
  if (!context || context->fetch_failed) return;
  Log(APT_LOG_MARK, APT_PRIO_WARNING, "Audio Fetch Failed status [%u]", code);
  context->fetch_failed = true;
}

void Channel::ProcessSynthDataEvent(unsigned long size, const void* data) {
  StreamingSynthContext* context = synth_context_.get();
  if (!current_request_ || !context || !context->streaming || context->fetch_failed || context->completed) return;
  Log(APT_LOG_MARK, APT_PRIO_DEBUG, "Process audio chunk [%lu bytes]", size);
  if (!media_buffer_ || size == 0 || !data) {
    context->fetch_failed = true;
    return;
  }
  context->received += size;
  const CloudAudioConverter::Sink sink = [this](const std::uint8_t* bytes, std::size_t n) {
    WriteStreamedAudio(bytes, n);
  };
  if (!context->converter.Write(data, size, sink)) {
    if (context->converter.refused()) {
      LogUnplayable(context->converter, "");
      context->fetch_failed = true;
      return;
    }
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Resample [%lu bytes]", size);
  }
}

void Channel::ProcessSynthCompleteEvent() {
  StreamingSynthContext* context = synth_context_.get();
  if (!current_request_ || !context || !context->streaming || context->fetch_failed || context->completed) return;
  if (!media_buffer_) {
    context->fetch_failed = true;
    return;
  }
  CloudAudioConverter& converter = context->converter;
  const CloudAudioConverter::Sink sink = [this](const std::uint8_t* bytes, std::size_t n) {
    WriteStreamedAudio(bytes, n);
  };
  if (!converter.Finish(sink)) {
    if (converter.refused()) {
      // What came has played; the segment fails, and nothing of it is kept.
      LogUnplayable(converter, "");
      context->fetch_failed = true;
      return;
    }
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Resample the End of the Audio");
  }
  Log(APT_LOG_MARK, APT_PRIO_DEBUG, "Streamed [%" APR_UINT64_T_FMT " samples] as [%" APR_UINT64_T_FMT " samples]",
      converter.input_samples(), converter.output_samples());
  context->completed = true;
  details_.content.segments.pop_front();
  FinishSegmentAudio();
  // Audio with a block lost to the resampler plays, but is not kept.
  if (converter.intact()) SaveWaveFile(apr_time_now());
}

void Channel::ProcessSynthContent(InlineAudio& audio) {
  if (!media_buffer_) {
    ProcessSynthError();
    return;
  }
  if (!audio.valid()) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Invalid ResponseAudioBytes [%s]", audio.problem().c_str());
    ProcessSynthError();
    return;
  }
  CloudAudioConverter& converter = synth_context_->converter;
  const auto rate = static_cast<unsigned>(details_.sampling_rate);
  const CloudAudioConverter::ReadNext read = [&audio](std::uint8_t* buffer, std::size_t count) {
    return audio.Read(buffer, count);
  };
  // Checked whole before a sample is queued: a refused answer plays nothing.
  if (!converter.StartWhole(rate, audio.size(), read)) {
    LogUnplayable(converter, "");
    ProcessSynthError();
    return;
  }
  const std::uint64_t input = converter.whole_audio_bytes() / 2;
  if (converter.resampling()) {
    Log(APT_LOG_MARK, APT_PRIO_INFO,
        "Create Resampler from [%u Hz] to [%u Hz] input [%" APR_UINT64_T_FMT " samples] output [%" APR_UINT64_T_FMT
        " samples]",
        static_cast<unsigned>(converter.reader().format().rate), rate, input,
        input * rate / CloudAudioConverter::kSourceRate);
  }
  OpenWaveFile(kWaveFormatPcm);
  const bool held = pending_speak_response_ != nullptr;
  // The same blocks as a fetched body: the same samples, however the audio
  // came. One converter block of bytes at a time, decoded just before the
  // converter reads it. The answer was checked whole above, so the SPEAK
  // goes IN-PROGRESS with its first block, as with a fetched body, and
  // plays while the rest is converted.
  const CloudAudioConverter::Sink sink = [this](const std::uint8_t* bytes, std::size_t n) {
    WriteAudio(bytes, n);
    StartSpeaking();
  };
  const bool converted = converter.ConvertWhole(sink);
  if (!converted) Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Resample [%" APR_UINT64_T_FMT " bytes]", input * 2);
  if (converter.resampling()) {
    Log(APT_LOG_MARK, APT_PRIO_INFO, "Resampled [%" APR_UINT64_T_FMT " samples]", converter.output_samples());
  }
  FinishSegmentAudio();
  // Audio with a block lost to the resampler plays, but is not kept.
  if (converted) SaveWaveFile(held ? details_.stream_start_time : apr_time_now());
  ReleaseSynthContext();
}

// --- cloud workers ----------------------------------------------------------

void Channel::SubmitExchange(CloudWorkers& workers, std::shared_ptr<CloudExchange> exchange) {
  current_exchange_ = exchange.get();
  exchanges_.push_back(exchange);
  workers.Submit(std::move(exchange));
}

void Channel::OnCloudResult(CloudExchange& exchange, CloudResult& result) {
  // Each result names its SPEAK: one for a SPEAK that has ended since is
  // dropped, whatever it carries.
  const bool current = &exchange == current_exchange_ && exchange.speak() == generation_ && current_request_;
  if (&exchange == current_exchange_ && !current) CancelCloudExchange();
  if (result.final()) {
    // The worker has let go of it.
    for (auto it = exchanges_.begin(); it != exchanges_.end(); ++it) {
      if (it->get() == &exchange) {
        exchanges_.erase(it);
        break;
      }
    }
    if (current) current_exchange_ = nullptr;
  }
  if (destroyed()) return;
  if (!current) {
    Log(APT_LOG_MARK, APT_PRIO_DEBUG, "Drop Result of Cancelled Cloud Exchange");
    if (close_pending_ && exchanges_.empty() && !synth_context_) FinishClose();
    return;
  }
  switch (result.kind) {
    case CloudResult::Kind::kAnswer:
      // The context holds the answer's reference from now on.
      synth_context_->result = result.answer;
      synth_context_->result_owned = true;
      result.answer = nullptr;
      ContinueSynthesis(OnFinishStream(true));
      break;
    case CloudResult::Kind::kAudioStatus:
      if (result.status == 200) {
        ProcessSynthStartEvent();
      } else {
        ProcessSynthFailureEvent(result.status);
      }
      break;
    case CloudResult::Kind::kAudio:
      ProcessSynthDataEvent(result.data.size(), result.data.data());
      break;
    case CloudResult::Kind::kAudioEnd:
      ProcessSynthCompleteEvent();
      ContinueSynthesis(OnFetchEnded());
      break;
    case CloudResult::Kind::kFailure:
      ContinueSynthesis(OnSdkError(result.data.c_str()));
      break;
  }
}

void Channel::CancelCloudExchange() {
  if (!current_exchange_) return;
  current_exchange_->Cancel();
  current_exchange_ = nullptr;
  details_.content.segments.clear();
  // The waveform file goes with the context: nothing cut short is kept.
  DiscardWaveFile();
  synth_context_.reset();
  if (scratch_pool_) apr_pool_clear(scratch_pool_);
}

void Channel::ReleaseHeldResponse() {
  mrcp_message_t* response = pending_speak_response_;
  if (!response) return;
  pending_speak_response_ = nullptr;
  response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
  Send(response);
}

}  // namespace TARNWICKSS
