// One MRCP synthesizer channel.
//
// Ownership: created by the engine's create_channel, destroyed by the server
// through the channel table's destroy; the engine only lists it while open.
// The channel owns its media chunk buffer (created at open in the channel's
// pool, destroyed at close), its per-SPEAK record and, while a segment is
// being synthesized, one StreamingSynthContext.
//
// Threads:
//  - the server's control thread constructs and destroys the channel and
//    calls SignalEvent, which only posts a task to the engine's processor;
//  - the engine's event-processor thread runs every task (open, close,
//    requests, synthesis) and owns every field not listed below;
//  - the server's media thread calls only Read. It shares with the engine
//    thread, without a lock: play_state_, paused_, stream_end_queued_ and
//    pending_stop_response_ (atomics, each read and written whole), and the
//    media buffer, whose own mutex orders the writer and the reader.
//    media_buffer_ itself is written only while the media thread cannot read
//    it (before the first SPEAK starts speaking, and at close after the
//    server has stopped reading). finished_generation_ and
//    end_read_with_audio_ are the media thread's alone.
//
// With cloud workers, a segment's text request and fetch run on a worker
// while this thread goes on; their results come back as events
// (OnCloudResult). The exchange in flight belongs to the current segment of
// the current SPEAK; STOP, BARGE-IN-OCCURRED, a newer SPEAK and close cancel
// it, and whatever it still sends is dropped. Every exchange a worker may
// still hold is listed in exchanges_ until its final result arrives: a close
// is acknowledged only once that list is empty.
//
// Every SPEAK plays one generation of the media buffer (the restart that
// begins it moves the generation on). Only the engine thread writes
// play_state_; the media thread never clears it, it notes the generation it
// finished in finished_generation_ and reports that generation with its
// event. So a media thread that finishes a SPEAK while the engine starts the
// next one can neither silence the new SPEAK nor complete it with the old
// one's end, and the engine drops events of a generation it has left.
#ifndef QEL_TARNWICKSS_CHANNEL_H
#define QEL_TARNWICKSS_CHANNEL_H

#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "OdaEdpfAsyncEvent.h"
#include "QelCloudWorkers.h"
#include "QelSdrManager.h"
#include "QelStreamingSynthContext.h"
#include "QelTarnwickssChannelLog.h"
#include "QelTarnwickssSettings.h"
#include "QelWaveformManager.h"
#include "corvex/mrcp_engine.h"
#include "mpf_media_chunk_buffer.h"

class BrillCloudRequester;

namespace TARNWICKSS {

class Engine;
class InlineAudio;
class Channel;

enum TaskMsgType { TaskMsgOpen = 0, TaskMsgClose = 1, TaskMsgRequest = 2 };

// A task for a channel, posted by the control thread and run on the engine's
// event-processor thread.
class ChannelEvent : public OdaEdpf::AsyncEvent {
 public:
  ChannelEvent(TaskMsgType type, Channel* channel, mrcp_message_t* request)
      : type_(type), channel_(channel), request_(request) {}
  void Process() override;

  TaskMsgType type() const { return type_; }
  mrcp_message_t* request() const { return request_; }

 private:
  TaskMsgType type_;
  Channel* channel_;
  mrcp_message_t* request_;
};

// Posted by the media thread when it has read the end-of-stream marker of
// the media buffer's `generation`.
class ChannelSpeechDoneEvent : public OdaEdpf::AsyncEvent {
 public:
  ChannelSpeechDoneEvent(Channel* channel, std::uint32_t generation) : channel_(channel), generation_(generation) {}
  void Process() override;

 private:
  Channel* channel_;
  std::uint32_t generation_;
};

// Posted by the media thread when it has stopped playing `generation` for a
// STOP.
class ChannelStopCompleteEvent : public OdaEdpf::AsyncEvent {
 public:
  ChannelStopCompleteEvent(Channel* channel, std::uint32_t generation) : channel_(channel), generation_(generation) {}
  void Process() override;

 private:
  Channel* channel_;
  std::uint32_t generation_;
};

// Posted by the server's destroy: takes the channel off the engine's list
// and deletes it, on the engine thread. Owns the channel until processed.
class ChannelDestroyEvent : public OdaEdpf::AsyncEvent {
 public:
  explicit ChannelDestroyEvent(Channel* channel) : channel_(channel) {}
  ~ChannelDestroyEvent() override;
  void Process() override;

 private:
  Channel* channel_;
};

class Channel : public CloudExchangeReceiver {
 public:
  explicit Channel(Engine* engine);
  virtual ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Control thread: set once by channel creation.
  void SetHostChannel(mrcp_engine_channel_t* host_channel) { host_channel_ = host_channel; }
  // The server's identifier of the channel ("" before it is set).
  const char* id() const;

  // Control thread: posts a task for this channel to the engine's processor.
  bool SignalEvent(TaskMsgType type, mrcp_message_t* request);
  // Control thread, for the server's destroy, whether or not the channel was
  // closed: from now on its queued tasks are dropped, and the engine thread
  // unlists and deletes it after them (at once when the engine has stopped).
  static void Destroy(Channel* channel);
  bool destroyed() const { return destroyed_.load(std::memory_order_acquire); }

  // Media thread: fills one frame from the media buffer while speaking.
  // Always true.
  bool Read(mpf_frame_t* frame);

  // Event-processor thread: writes the channel's identifier and a line end
  // (the channels status file).
  void Dump(std::ofstream& out) const;

  // Event-processor thread.
  bool ProcessEvent(ChannelEvent* event);
  bool Open();
  bool Close();
  bool ProcessRequest(mrcp_message_t* request);
  // Both ignore an event of a generation other than the current SPEAK's.
  void ProcessSpeechDoneEvent(std::uint32_t generation);
  void ProcessStopCompleteEvent(std::uint32_t generation);
  // Ends a failed segment: answers a held SPEAK response with 407, or ends
  // the audio early (FailStream) when the response went out already;
  // finishes a deferred close.
  void ProcessSynthError();

  // Called by the audio fetch handler from inside Fetch::get, on the engine
  // thread. They convert and record; ending the segment waits until get
  // has returned.
  // Status 200: prepares the stream. The held SPEAK response and the
  // segment's waveform file wait for its first audio.
  void ProcessSynthStartEvent();
  // Any other status: the rest of the fetch is ignored; the segment fails.
  void ProcessSynthFailureEvent(unsigned code);
  // One piece of the body: read, converted and queued.
  void ProcessSynthDataEvent(unsigned long size, const void* data);
  // The end of the body: flushes, finishes the segment's audio and saves
  // its waveform; a body that held no playable audio fails the segment.
  void ProcessSynthCompleteEvent();

  // Event-processor thread: a result of a cloud worker. One of the current
  // segment's exchange goes where the SDK's call would have returned it;
  // any other is dropped (its SPEAK ended, or a newer exchange replaced it).
  void OnCloudResult(CloudExchange& exchange, CloudResult& result) override;
  // Sets the status and the Completion-Cause header of a response.
  static bool ComposeResponse(mrcp_message_t* response, mrcp_status_code_e status, mrcp_synth_completion_cause_e cause);

  const SdrManager::SynthesisDetails& details() const { return details_; }
  Engine* engine() const { return engine_; }

 protected:
  // Synthesizes the SPEAK's segments from the front of the content queue,
  // one after the other. False only when the first could not be started
  // while the SPEAK response is still held (the caller answers it);
  // otherwise every outcome has been answered or ends the audio. Virtual so
  // tests can stand in for the cloud.
  virtual bool StartSynthesis();
  // Sends the held SPEAK response as IN-PROGRESS and lets the media thread
  // play; nothing when the response went out already.
  void StartSpeaking();
  // Writes the end-of-stream marker unless this SPEAK's is written already.
  // Until it is, the media thread plays only whole frames.
  void EndStream();
  // A segment failed after the SPEAK response went out: what was queued
  // still plays, then the SPEAK completes with cause error (also in its
  // record).
  void FailStream();
  // Event-processor thread: the synthesis context of the current segment.
  void SetSynthContext(std::unique_ptr<StreamingSynthContext> context);
  mpf_media_chunk_buffer_t* media_buffer() const { return media_buffer_; }

 private:
  bool Speak(mrcp_message_t* request, mrcp_message_t* response);
  bool Stop(mrcp_message_t* request, mrcp_message_t* response);
  bool Pause(mrcp_message_t* request, mrcp_message_t* response);
  bool Resume(mrcp_message_t* request, mrcp_message_t* response);
  // Ends what an earlier SPEAK, whose record is `details`, still owes its
  // client before a newer SPEAK takes its place.
  void SupersedeCurrentSpeak(SdrManager::SynthesisDetails& details);
  bool ComposeContent();
  mrcp_status_code_e DetermineParams(const mrcp_message_t* request, const SynthSettings& defaults);
  bool ParseVendorSpecificParameters(const apr_array_header_t* params, SdrManager::SynthesisDetails& details) const;
  bool SetSynthParameter(const std::string& name, const std::string& value,
                         SdrManager::SynthesisDetails& details) const;
  void FinishClose();
  // Writes a SPEAK's detail record as the SPEAK ends (speech done, STOP,
  // replaced, closed) and hands the file to the records manager: once per
  // SPEAK, with `cause` unless one is set, and the bytes the media thread
  // played of the buffer's current generation.
  void SaveDetails(SdrManager::SynthesisDetails& details, mrcp_synth_completion_cause_e cause);
  bool Send(mrcp_message_t* message);
  // Writes a line of this channel's log: `format` with its arguments, then
  // " <id@tarnwickss>" (QelTarnwickssChannelLog.h). Pass APT_LOG_MARK.
  void Log(const char* file, int line, apt_log_priority_e priority, const char* format, ...) const
      __attribute__((format(printf, 5, 6)));

  // Segment sequencing (QelTarnwickssChannelSynthesis.cpp).
  // How one text request for a segment ended.
  enum class Attempt {
    kDone,        // the segment's audio is queued, or its failure answered
    kRetry,       // failed, and may be requested once more
    kNotStarted,  // failed before anything was said about it
    kPending,     // handed to a cloud worker: the outcome comes as an event
  };
  // The front segment, to its end (or handed to a cloud worker). False when
  // it could not be started and nothing has been answered for it.
  bool SynthesizeSegment();
  // After a segment: frees what it allocated. False when no segment is to
  // follow because this one failed (`started` false): with the SPEAK
  // response still held the queue is emptied and the caller refuses the
  // SPEAK; otherwise the audio ends in error.
  bool EndSegment(bool started);
  // A text request's outcome, retried once when it may; true unless the
  // segment could not be started.
  bool FollowAttempt(Attempt attempt);
  // The outcome of a segment whose exchange ran on a worker: what
  // StartSynthesis would have done after it, then the next segment.
  void ContinueSynthesis(Attempt attempt);
  // A text or SSML segment: from the cache or through the cloud.
  bool SynthesizeText();
  // Queues audio, counts it for the record and appends it to the open
  // waveform file.
  void WriteAudio(const std::uint8_t* bytes, std::size_t size);
  // After a segment's audio: the end-of-stream marker after the last
  // segment, then the held SPEAK response.
  void FinishSegmentAudio();
  // Ends the synthesis context, then finishes a deferred close.
  void ReleaseSynthContext();

  // The cloud exchange (QelTarnwickssChannelCloud.cpp).
  Attempt RequestSpeech(BrillCloudRequester& requester);
  // Evaluates the text request's answer and delivers its audio.
  Attempt OnFinishStream(bool finished);
  Attempt FetchAudio(const std::string& url);
  // After the fetch: the segment is complete or fails.
  Attempt OnFetchEnded();
  // Hands the exchange to a worker; it is the current segment's from now.
  void SubmitExchange(CloudWorkers& workers, std::shared_ptr<CloudExchange> exchange);
  // Abandons the exchange in flight: the worker lets go of it, the segment's
  // context and waveform file go, no further segment is synthesized, and
  // nothing of it plays or enters the cache. Nothing when none is in flight.
  void CancelCloudExchange();
  // The SPEAK response held while the first exchange was in flight goes out
  // as IN-PROGRESS, so that the SPEAK can end by a STOP, a newer SPEAK or the
  // close.
  void ReleaseHeldResponse();
  Attempt OnRequestFailed();
  Attempt OnSdkError(const char* text);
  // Inline audio: a whole WAVE image.
  void ProcessSynthContent(InlineAudio& audio);
  // The sink of a fetched body: its first audio sends the held SPEAK
  // response and opens the waveform file.
  void WriteStreamedAudio(const std::uint8_t* bytes, std::size_t size);
  // Logs why the converter refused audio (from the file at `path`, or from
  // the cloud when it is empty).
  void LogUnplayable(const CloudAudioConverter& converter, const std::string& path);

  // The waveform cache and the segment's waveform file
  // (QelTarnwickssChannelWaveforms.cpp).
  // A cached waveform that matches the front segment, its attributes loaded,
  // or null.
  WaveformManager::CacheEntry* FindCacheRecord(const SynthSegment& segment, const std::uint64_t& checksum);
  bool CheckCacheDirectives(WaveformManager::CacheEntry* entry, const CacheControl& directives);
  bool ProcessCacheRecord(WaveformManager::CacheEntry* entry);
  // How playing a WAVE file ended.
  enum class FilePlay { kPlayed, kUnreadable, kRefused };
  // Plays the WAVE file `name` (in the waveform folder, or absolute) at the
  // channel's rate. Nothing is queued unless the whole file was checked and
  // found playable; kUnreadable and kRefused are logged.
  FilePlay PlayWaveFile(const std::string& name);
  void OpenWaveFile(std::uint16_t format);
  // Closes the segment's waveform file and registers it with the waveform
  // manager, as a cache entry when the context holds one.
  void SaveWaveFile(std::int64_t time);
  // Closes and removes a waveform file that is not to be kept.
  void DiscardWaveFile();

  // Local files (QelTarnwickssChannelLocalFiles.cpp).
  // Plays the local file of a file segment (a path, or a name in the
  // waveform folder) when it lies inside the folders local files may come
  // from; a file outside fails the segment with 407 (before the response).
  bool PlayLocalFile(const std::string& name);
  // A local WAVE file (a path, or a name in the waveform folder).
  bool ProcessFile(const std::string& name);
  // The waveform-folder file an http(s) URI names; false for any URI that
  // is not under the waveform base URI or names no file inside the folder.
  bool ResolveLocalUri(const std::string& uri, std::string& name) const;

  Engine* const engine_;
  mrcp_engine_channel_t* host_channel_ = nullptr;
  std::unique_ptr<StreamingSynthContext> synth_context_;
  // The current segment's exchange while a worker has it; one of exchanges_.
  CloudExchange* current_exchange_ = nullptr;
  // Every exchange of this channel whose final result has not come yet.
  std::vector<std::shared_ptr<CloudExchange>> exchanges_;
  mpf_media_chunk_buffer_t* media_buffer_ = nullptr;
  mrcp_message_t* current_request_ = nullptr;
  mrcp_message_t* pending_speak_response_ = nullptr;
  std::atomic<mrcp_message_t*> pending_stop_response_{nullptr};  // shared with the media thread
  bool close_pending_ = false;
  // The media buffer generation of the current SPEAK (engine thread), and
  // what the media thread sees of it: that generation shifted left by one,
  // the low bit set while it is to be played.
  std::uint32_t generation_ = 0;
  std::atomic<std::uint64_t> play_state_{0};  // written by the engine thread only
  // Media thread only: the generation whose end or STOP it has reported;
  // it reads nothing more of that generation.
  std::uint32_t finished_generation_ = UINT32_MAX;
  // Media thread only: the end of finished_generation_ was read in a frame
  // that played audio; the next Read reports it.
  bool end_read_with_audio_ = false;
  std::atomic<bool> paused_{false};  // shared with the media thread
  // The end-of-stream marker is in the media buffer (set after writing it,
  // cleared by the restart of the next SPEAK); shared with the media thread.
  std::atomic<bool> stream_end_queued_{false};
  // Set by Destroy on the control thread, read by the engine thread.
  std::atomic<bool> destroyed_{false};
  // The server's identifier as it was at open, for the channels status file
  // (engine thread).
  std::unique_ptr<std::string> listed_id_;
  SdrManager::SynthesisDetails details_;
  WaveformManager::WaveFile wave_file_;  // the current segment's waveform
  // Scratch memory of the engine thread's work for this channel (file
  // handles, paths): cleared after every segment and record, so the
  // channel's own pool does not grow with the SPEAKs it serves.
  apr_pool_t* scratch_pool_ = nullptr;
  // The status of a SPEAK whose first segment fails before any audio
  // (engine thread): 401 unless the segment said otherwise.
  mrcp_status_code_e start_failure_status_ = MRCP_STATUS_CODE_METHOD_NOT_ALLOWED;
};

// Strips one pair of enclosing double quotes in place.
void RemoveQuotes(apt_str_t* str);

}  // namespace TARNWICKSS

#endif  // QEL_TARNWICKSS_CHANNEL_H
