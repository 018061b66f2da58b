// The channel's life and its requests: task events, open and close, SPEAK,
// STOP, PAUSE and RESUME, speech done and completion, and the frame read.
// Read runs on the server's media thread, SignalEvent and Destroy on its
// control thread, everything else on the engine's event-processor thread.
#include "QelTarnwickssChannel.h"

#include <apr_time.h>

#include <utility>

#include "QelTarnwickssEngine.h"

namespace TARNWICKSS {

// A destroyed channel's tasks are dropped: the server may have released its
// memory (requests included) already.
void ChannelEvent::Process() {
  if (!channel_->destroyed()) channel_->ProcessEvent(this);
}
void ChannelSpeechDoneEvent::Process() {
  if (!channel_->destroyed()) channel_->ProcessSpeechDoneEvent(generation_);
}
void ChannelStopCompleteEvent::Process() {
  if (!channel_->destroyed()) channel_->ProcessStopCompleteEvent(generation_);
}

ChannelDestroyEvent::~ChannelDestroyEvent() {
  // Never processed (the engine stopped first): no engine thread is left to
  // look at the channel.
  delete channel_;
}

void ChannelDestroyEvent::Process() {
  channel_->engine()->OnDestroyChannel(channel_);
  delete channel_;
  channel_ = nullptr;
}

Channel::Channel(Engine* engine) : engine_(engine) {}

Channel::~Channel() {
  // No worker's result reaches a deleted channel.
  for (const auto& exchange : exchanges_) {
    exchange->Detach();
    exchange->Cancel();
  }
}

void Channel::Destroy(Channel* channel) {
  if (!channel) return;
  channel->destroyed_.store(true, std::memory_order_release);
  // Deleted on the engine thread, after every task queued for it, so that
  // the engine never keeps (or uses) a pointer to a deleted channel.
  OdaEdpf::SoftEventProcessor* processor = channel->engine_->event_processor();
  auto* event = new ChannelDestroyEvent(channel);
  if (!processor || !processor->PostEvent(event)) event->Unref();
}

const char* Channel::id() const { return host_channel_ && host_channel_->id ? host_channel_->id : ""; }

void Channel::Dump(std::ofstream& out) const {
  // A channel the server gave no identifier is left out rather than
  // spoiling the lines of the channels after it; so is one the server has
  // destroyed already (its identifier is copied: the server's may be gone).
  if (!listed_id_ || destroyed()) return;
  out << *listed_id_ << '\n' << std::flush;
}

bool Channel::SignalEvent(TaskMsgType type, mrcp_message_t* request) {
  OdaEdpf::SoftEventProcessor* processor = engine_->event_processor();
  auto* event = new ChannelEvent(type, this, request);
  if (!processor || !processor->PostEvent(event)) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Post Task");
    event->Unref();
    return false;
  }
  return true;
}

bool Channel::Send(mrcp_message_t* message) { return mrcp_engine_channel_message_send(host_channel_, message) == TRUE; }

// --- media thread ----------------------------------------------------------

bool Channel::Read(mpf_frame_t* frame) {
  if (end_read_with_audio_) {
    // The frame before held the SPEAK's last audio and is with the server
    // now: the SPEAK may complete.
    end_read_with_audio_ = false;
    Log(APT_LOG_MARK, APT_PRIO_NOTICE, "Speech Complete");
    engine_->event_processor()->PostEvent(new ChannelSpeechDoneEvent(this, finished_generation_));
    return true;
  }
  const std::uint64_t state = play_state_.load(std::memory_order_acquire);
  const auto generation = static_cast<std::uint32_t>(state >> 1);
  if (!(state & 1) || generation == finished_generation_) return true;

  if (pending_stop_response_.load(std::memory_order_acquire)) {
    finished_generation_ = generation;
    Log(APT_LOG_MARK, APT_PRIO_NOTICE, "Stop Complete");
    engine_->event_processor()->PostEvent(new ChannelStopCompleteEvent(this, generation));
    return true;
  }
  if (paused_.load(std::memory_order_acquire)) return true;
  // Mid-stream a frame is read only once a whole one is queued: a partial
  // frame would be padded with zeros in the middle of the speech when the
  // audio arrives slower than it plays. Waiting gives the same gap as a frame
  // without audio, and the speech played stays exactly what was synthesized.
  if (!stream_end_queued_.load(std::memory_order_acquire) &&
      mpf_media_chunk__buffer_get_size(media_buffer_) < frame->codec_frame.size) {
    return true;
  }

  // The buffer says which generation the frame came from: the engine may
  // have begun the next SPEAK since play_state_ was read.
  std::uint32_t read_generation = generation;
  mpf_media_chunk_buffer_frame_read_generation(media_buffer_, frame, &read_generation);
  if (frame->type & MEDIA_FRAME_TYPE_EVENT) {
    // The end-of-stream marker: the audio before it in this frame plays (the
    // rest of the frame is silence), and the end is reported with the next
    // read, so that every frame of a SPEAK reaches the server before its
    // final answer; a frame without audio is not played.
    finished_generation_ = read_generation;
    frame->type &= MEDIA_FRAME_TYPE_AUDIO;
    end_read_with_audio_ = frame->type != MEDIA_FRAME_TYPE_NONE;
    if (end_read_with_audio_) return true;
    Log(APT_LOG_MARK, APT_PRIO_NOTICE, "Speech Complete");
    engine_->event_processor()->PostEvent(new ChannelSpeechDoneEvent(this, read_generation));
  }
  return true;
}

// --- event-processor thread ------------------------------------------------

bool Channel::ProcessEvent(ChannelEvent* event) {
  switch (event->type()) {
    case TaskMsgOpen:
      return Open();
    case TaskMsgClose:
      return Close();
    case TaskMsgRequest:
      return ProcessRequest(event->request());
  }
  return false;
}

bool Channel::Open() {
  Log(APT_LOG_MARK, APT_PRIO_INFO, "Open");
  media_buffer_ = mpf_media_chunk_buffer_create(host_channel_->pool);
  if (!media_buffer_) {
    // Without it no SPEAK could ever play or be answered.
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Media Buffer");
    mrcp_engine_channel_open_respond(host_channel_, FALSE);
    return false;
  }
  if (!scratch_pool_) apr_pool_create(&scratch_pool_, host_channel_->pool);
  if (host_channel_->id) listed_id_ = std::make_unique<std::string>(host_channel_->id);
  engine_->OnOpenChannel(this);
  mrcp_engine_channel_open_respond(host_channel_, TRUE);
  return true;
}

bool Channel::Close() {
  Log(APT_LOG_MARK, APT_PRIO_INFO, "Close");
  if (current_exchange_) {
    // Abandoned, not waited for; a SPEAK still waiting for its first audio
    // is told it started and ends with its channel.
    CancelCloudExchange();
    ReleaseHeldResponse();
  }
  // Acknowledged once no worker holds anything of this channel.
  if (synth_context_ || !exchanges_.empty()) {
    close_pending_ = true;
    return true;
  }
  FinishClose();
  return true;
}

void Channel::FinishClose() {
  close_pending_ = false;
  play_state_.store(static_cast<std::uint64_t>(generation_) << 1, std::memory_order_release);
  // A SPEAK cut off by the close still leaves its record.
  if (current_request_ && !pending_speak_response_) SaveDetails(details_, SYNTHESIZER_COMPLETION_CAUSE_CANCELLED);
  // A STOP held for the media thread would never be answered once the
  // channel reads no more frames: answer it before the close is acknowledged.
  if (mrcp_message_t* stop_response = pending_stop_response_.exchange(nullptr)) {
    Send(stop_response);
    current_request_ = nullptr;
  }
  if (media_buffer_) {
    mpf_media_chunk_buffer_destroy(media_buffer_);
    media_buffer_ = nullptr;
  }
  if (scratch_pool_) {
    apr_pool_destroy(scratch_pool_);
    scratch_pool_ = nullptr;
  }
  engine_->OnCloseChannel(this);
  mrcp_engine_channel_close_respond(host_channel_);
}

bool Channel::ProcessRequest(mrcp_message_t* request) {
  if (!request) return true;
  mrcp_message_t* response = mrcp_response_create(request, request->pool);
  if (!response) return true;

  bool handled = false;
  switch (request->start_line.method_id) {
    case SYNTHESIZER_SPEAK:
      handled = Speak(request, response);
      break;
    case SYNTHESIZER_STOP:
    case SYNTHESIZER_BARGE_IN_OCCURRED:
      handled = Stop(request, response);
      break;
    case SYNTHESIZER_PAUSE:
      handled = Pause(request, response);
      break;
    case SYNTHESIZER_RESUME:
      handled = Resume(request, response);
      break;
    default:
      break;
  }
  if (!handled) Send(response);
  return true;
}

bool Channel::ComposeResponse(mrcp_message_t* response, mrcp_status_code_e status,
                              mrcp_synth_completion_cause_e cause) {
  response->start_line.status_code = status;
  mrcp_synth_header_t* header = mrcp_resource_header_prepare(response);
  if (header) {
    header->completion_cause = cause;
    mrcp_resource_header_property_add(response, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
  }
  return true;
}

bool Channel::Speak(mrcp_message_t* request, mrcp_message_t* response) {
  if (current_exchange_) {
    // The SPEAK before is still waiting for a worker: this one replaces it
    // now, whether or not it is accepted itself.
    CancelCloudExchange();
    SupersedeCurrentSpeak(details_);
  }
  if (synth_context_) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Previous Synth Context Not Released");
    ComposeResponse(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
    return false;
  }
  const mpf_codec_descriptor_t* codec = mrcp_engine_source_stream_codec_get(host_channel_);
  if (!codec) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "No Codec Descriptor Available");
    ComposeResponse(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
    return false;
  }

  // A SPEAK still playing keeps its record until this one is accepted: a
  // refused one leaves it playing as it was.
  SdrManager::SynthesisDetails previous;
  const bool superseding = current_request_ != nullptr;
  if (superseding) std::swap(previous, details_);
  details_.Reset();
  details_.sampling_rate = codec->sampling_rate;
  details_.mrcp_version = request->start_line.version;
  details_.codec.assign(codec->name.buf ? codec->name.buf : "", codec->name.length);
  wave_file_ = WaveformManager::WaveFile();

  const mrcp_status_code_e status = DetermineParams(request, engine_->synth_settings());
  if (status != MRCP_STATUS_CODE_SUCCESS) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Determine Params");
    if (superseding) std::swap(previous, details_);
    ComposeResponse(response, status, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
    return false;
  }
  if (!ComposeContent() || details_.content.segments.empty()) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Compose Content");
    if (superseding) std::swap(previous, details_);
    ComposeResponse(response, MRCP_STATUS_CODE_MISSING_PARAM, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
    return false;
  }

  SdrManager* sdr_manager = engine_->sdr_manager();
  details_.enabled = sdr_manager && sdr_manager->save_records();
  if (details_.enabled) {
    sdr_manager->ComposeName(details_.name, id(), request->start_line.request_id, details_.logging_tag,
                             scratch_pool_ ? scratch_pool_ : host_channel_->pool);
    details_.request_time = apr_time_now();
  }

  SupersedeCurrentSpeak(previous);
  pending_stop_response_.store(nullptr, std::memory_order_release);
  play_state_.store(static_cast<std::uint64_t>(generation_) << 1, std::memory_order_release);
  paused_.store(false, std::memory_order_release);
  current_request_ = request;
  pending_speak_response_ = response;
  mpf_media_chunk_buffer_restart(media_buffer_);
  generation_ = mpf_media_chunk_buffer_generation(media_buffer_);
  stream_end_queued_.store(false, std::memory_order_release);

  start_failure_status_ = MRCP_STATUS_CODE_METHOD_NOT_ALLOWED;
  if (!StartSynthesis()) {
    if (pending_speak_response_) {
      current_request_ = nullptr;
      pending_speak_response_ = nullptr;
      ComposeResponse(response, start_failure_status_, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
      return false;
    }
  }
  return true;
}

void Channel::SupersedeCurrentSpeak(SdrManager::SynthesisDetails& details) {
  if (!current_request_) return;
  // The earlier SPEAK is still playing, paused or stopping (or, with cloud
  // workers, waiting for its first audio, which is then told it started). Its
  // audio goes first, so that its record counts exactly what it played. A
  // held STOP is answered now (it would otherwise never be); without one the
  // earlier SPEAK ends as cancelled, after its IN-PROGRESS, so every request
  // gets its final answer.
  mpf_media_chunk_buffer_release(media_buffer_);
  ReleaseHeldResponse();
  SaveDetails(details, SYNTHESIZER_COMPLETION_CAUSE_CANCELLED);
  if (mrcp_message_t* stop_response = pending_stop_response_.exchange(nullptr)) {
    Send(stop_response);
  } else {
    ReleaseHeldResponse();
    if (mrcp_message_t* complete =
            mrcp_event_create(current_request_, SYNTHESIZER_SPEAK_COMPLETE, current_request_->pool)) {
      ComposeResponse(complete, complete->start_line.status_code, SYNTHESIZER_COMPLETION_CAUSE_CANCELLED);
      complete->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
      Send(complete);
    }
  }
  current_request_ = nullptr;
}

bool Channel::ComposeContent() {
  SpeakParams& params = details_.speak_params;
  SynthContent& content = details_.content;
  const SynthSettings& settings = engine_->synth_settings();
  switch (params.content_type) {
    case SYNTH_CONTENT_TEXT:
      return content.ComposeSingleSegment(params);
    case SYNTH_CONTENT_SSML:
      if (settings.bypass_ssml) return content.ComposeSingleSegment(params);
      return content.ReadSsmlAndComposeContent(params, settings.normalize_ssml, host_channel_->pool);
    case SYNTH_CONTENT_URI_LIST:
      return content.ComposeUriListSegments(params);
    default:
      return false;
  }
}

void Channel::StartSpeaking() {
  mrcp_message_t* response = pending_speak_response_;
  if (!response) return;
  response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
  details_.stream_start_time = apr_time_now();
  pending_speak_response_ = nullptr;
  // The server hears IN-PROGRESS before the media thread may take a frame:
  // audio that reached the caller ahead of its SPEAK's IN-PROGRESS would be
  // audio of no SPEAK in progress to the server.
  Send(response);
  play_state_.store(static_cast<std::uint64_t>(generation_) << 1 | 1, std::memory_order_release);
}

void Channel::SetSynthContext(std::unique_ptr<StreamingSynthContext> context) { synth_context_ = std::move(context); }

bool Channel::Stop(mrcp_message_t* request, mrcp_message_t* response) {
  if (!current_request_) return false;
  // A newer STOP takes the place of a held one; the held one is answered now
  // so that no STOP goes without its response.
  if (mrcp_message_t* earlier = pending_stop_response_.exchange(response)) Send(earlier);
  // Only the record tells a barge-in from a STOP; both answer alike.
  details_.completion_cause = request->start_line.method_id == SYNTHESIZER_BARGE_IN_OCCURRED
                                  ? SYNTHESIZER_COMPLETION_CAUSE_BARGE_IN
                                  : SYNTHESIZER_COMPLETION_CAUSE_CANCELLED;
  // A worker's exchange is abandoned at once, its audio never played.
  CancelCloudExchange();
  if (pending_speak_response_) {
    // Nothing of the SPEAK was queued: the STOP ends it now, without waiting
    // for the media thread.
    ReleaseHeldResponse();
    ProcessStopCompleteEvent(generation_);
  }
  return true;
}

bool Channel::Pause(mrcp_message_t* /*request*/, mrcp_message_t* /*response*/) {
  paused_.store(true, std::memory_order_release);
  return false;
}

bool Channel::Resume(mrcp_message_t* /*request*/, mrcp_message_t* /*response*/) {
  paused_.store(false, std::memory_order_release);
  return false;
}

void Channel::SaveDetails(SdrManager::SynthesisDetails& details, mrcp_synth_completion_cause_e cause) {
  SdrManager* sdr_manager = engine_->sdr_manager();
  if (!details.enabled || !sdr_manager) return;
  details.enabled = false;  // one record per SPEAK, however it ends
  if (details.completion_cause == SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN) details.completion_cause = cause;
  if (!details.completion_time) details.completion_time = apr_time_now();
  // The media thread reads no more of this SPEAK: what it played is final.
  details.data_length = mpf_media_chunk_buffer_played_size(media_buffer_);
  std::string path;
  sdr_manager->ComposePath(path, details.name, scratch_pool_ ? scratch_pool_ : host_channel_->pool);
  if (details.Save(path)) sdr_manager->AddFileEntry(details.name, details.completion_time);
  if (scratch_pool_) apr_pool_clear(scratch_pool_);
}

void Channel::ProcessStopCompleteEvent(std::uint32_t generation) {
  if (!current_request_ || synth_context_ || generation != generation_) return;
  mrcp_message_t* stop_response = pending_stop_response_.exchange(nullptr);
  if (!stop_response) return;
  SaveDetails(details_, SYNTHESIZER_COMPLETION_CAUSE_CANCELLED);
  Send(stop_response);
  current_request_ = nullptr;
  // The media thread reads no more of this SPEAK: its unplayed audio goes.
  mpf_media_chunk_buffer_release(media_buffer_);
}

void Channel::ProcessSpeechDoneEvent(std::uint32_t generation) {
  // An older generation's end: left over from a SPEAK that a newer one
  // replaced while its last frame was being read.
  if (!current_request_ || generation != generation_) return;
  details_.completion_time = apr_time_now();
  SaveDetails(details_, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
  // An idle channel keeps a few spare chunks, not the audio it played.
  mpf_media_chunk_buffer_release(media_buffer_);

  if (mrcp_message_t* stop_response = pending_stop_response_.exchange(nullptr)) {
    Send(stop_response);
    current_request_ = nullptr;
    return;
  }
  mrcp_message_t* complete = mrcp_event_create(current_request_, SYNTHESIZER_SPEAK_COMPLETE, current_request_->pool);
  if (!complete) return;
  // Audio lost to a failure after IN-PROGRESS is not a normal completion.
  const bool failed = details_.completion_cause == SYNTHESIZER_COMPLETION_CAUSE_ERROR;
  ComposeResponse(complete, complete->start_line.status_code,
                  failed ? SYNTHESIZER_COMPLETION_CAUSE_ERROR : SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
  complete->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
  current_request_ = nullptr;
  Send(complete);
}

void Channel::ProcessSynthError() {
  if (!synth_context_) return;
  if (pending_speak_response_) {
    mrcp_message_t* response = pending_speak_response_;
    ComposeResponse(response, MRCP_STATUS_CODE_METHOD_FAILED, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
    current_request_ = nullptr;
    pending_speak_response_ = nullptr;
    Send(response);
  } else {
    FailStream();
  }
  // Whatever segments were still to come are not synthesized.
  details_.content.segments.clear();
  ReleaseSynthContext();
}

}  // namespace TARNWICKSS
