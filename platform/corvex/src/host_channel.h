// HostChannel: one channel of the host runtime, as the server keeps it: the
// plugin's channel handle and its source stream, the requests the client
// sent on it, the synthesizer session the server keeps for the client, and
// the media thread that pulls its frames.
//
// Owned by Host::Impl (its `channels` map), created and destroyed on the
// control thread. Its methods are defined by role: host_channel.cpp (open,
// close, destroy, request records, media) and synth_session.cpp (what the
// server does with a request and with the plugin's answers).
//
// Threads: the control thread calls every public method but the On*
// callbacks, which the plugin calls on any thread. Fields marked GUARDED_BY
// are shared between them under the host's mutex. The media thread touches
// only the atomics below and, between StartMedia and StopMedia, the media
// fields, which the control thread leaves alone meanwhile.
#ifndef CORVEX_HOST_CHANNEL_H
#define CORVEX_HOST_CHANNEL_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host_impl.h"
#include "session_params.h"
#include "silence_watch.h"

namespace corvex {

class HostChannel {
 public:
  // One request the client sent (or is about to send) on the channel.
  struct Request {
    mrcp_message_t* message = nullptr;
    apr_pool_t* pool = nullptr;
    mrcp_request_id id = 0;
    mrcp_method_id method = 0;
    std::uint64_t seq = 0;  // order of sending on the channel; 0 until sent
    bool sent = false;
    bool forwarded = false;                // passed to the plugin
    bool queued = false;                   // answered PENDING by the host before the plugin had it
    bool answered = false;                 // had its final answer; the pool may go
    bool kill_on_barge_in = true;          // a SPEAK, with the session's headers
    std::vector<mrcp_request_id> targets;  // a STOP or BARGE-IN passed on: the queued SPEAKs it also ends
    bool holds_queue = false;              // counted in stops_outstanding until answered
    bool refused = false;                  // the plugin did not take it (process_request returned false)
    SessionParams::Verdict params;         // a SET-PARAMS or GET-PARAMS as the server judged it
  };

  HostChannel(Host::Impl* impl, int index) : impl(impl), index(index) {}
  HostChannel(const HostChannel&) = delete;
  HostChannel& operator=(const HostChannel&) = delete;

  Host::Impl* const impl;
  const int index;

  // Control thread only.
  apr_pool_t* pool = nullptr;
  mrcp_engine_channel_t* handle = nullptr;
  mpf_audio_stream_t* stream = nullptr;
  mpf_codec_descriptor_t* codec = nullptr;
  bool open_called = false;  // open was accepted; close is owed
  bool closed = false;
  bool close_refused = false;
  bool destroyed = false;
  bool unclosed = false;  // left in place: its close never came
  mrcp_request_id next_request_id = 1;
  std::uint64_t next_seq = 1;

  // --- control thread (host_channel.cpp)
  // Calls the plugin's open and waits for its acknowledgement.
  bool Open(std::chrono::milliseconds wait) EXCLUDES(impl->mutex);
  // Stops media, ends the queue, calls the plugin's close and waits for its
  // acknowledgement (a close not acknowledged in time is waited for again
  // by Destroy).
  bool Close(std::chrono::milliseconds wait) EXCLUDES(impl->mutex);
  // Closes the channel if needed and calls the plugin's destroy once the
  // close was acknowledged; false with `unclosed` set when it never was.
  // The record itself is the caller's to drop.
  bool Destroy(bool* destroy_result) EXCLUDES(impl->mutex);
  bool StartMedia(FrameSink* sink, bool realtime, FrameSink* timeline) EXCLUDES(impl->mutex);
  void StopMedia();
  mrcp_message_t* CreateRequest(mrcp_method_id method) EXCLUDES(impl->mutex);
  // Releases the pools of answered requests.
  void Reap() EXCLUDES(impl->mutex);
  std::uint64_t Underruns(mrcp_request_id speak) const EXCLUDES(impl->mutex);

  // --- control thread (synth_session.cpp)
  // Receives a request as the server does from its client: answers it
  // itself (the server's state rules, a queued SPEAK's PENDING), or passes
  // it to the plugin. False when it is not an unsent request of the channel,
  // or the plugin refused to take it (the server then answered 407).
  bool Receive(mrcp_message_t* request) EXCLUDES(impl->mutex);

  // --- the plugin's calls, any thread
  void OnOpen(bool status) EXCLUDES(impl->mutex);
  void OnClose() EXCLUDES(impl->mutex);
  // A response or event of the plugin, as it wrote it and as the host reads
  // it (InRange).
  void OnMessage(const mrcp_message_t& written, const mrcp_message_t& message)
      EXCLUDES(impl->mutex);  // synth_session.cpp

 private:
  enum AudioPhase { kBeforeAudio, kInAudio, kAfterAudio };

  // --- synth_session.cpp
  // The newest request of the channel with that id that was passed to the
  // plugin (or is queued): a request the server refused may share its id.
  enum Among { kForwarded, kQueued };
  Request* FindRequest(mrcp_request_id id, Among among) REQUIRES(impl->mutex);
  // Whether a SPEAK was received and has not had its final answer.
  bool SpeakActive() REQUIRES(impl->mutex);
  // The server's own answer to a request it does not pass on (false: pass
  // it on): RFC 6787's state rules (410, 402), session parameters (403,
  // 404) and, when queueing, the SPEAK queue. Fills *answer.
  struct Answer {
    mrcp_status_code_e status = MRCP_STATUS_CODE_SUCCESS;
    mrcp_request_state_e state = MRCP_REQUEST_STATE_COMPLETE;
    std::vector<std::string> headers;
    std::vector<mrcp_request_id> ended;
  };
  bool AnswersItself(Request* rec, const mrcp_message_t* request, Answer* answer) REQUIRES(impl->mutex);
  // Tells the client what the server says of a request: `message` (a
  // response or event made for it) with `headers` added.
  void Tell(const mrcp_message_t* message, const std::vector<std::string>& headers,
            const std::vector<mrcp_request_id>& ended) REQUIRES(impl->mutex);
  // The plugin refused to take the request: the server answers it (407, or
  // SPEAK-COMPLETE 004 for a SPEAK the client had as PENDING).
  void Refused(Request* rec) REQUIRES(impl->mutex);
  // A SPEAK goes to the plugin: the media thread counts for it from now on.
  void StartPlaying(mrcp_request_id id) REQUIRES(impl->mutex);
  // A SPEAK had its final answer: its underruns are kept and the next
  // queued SPEAK may go.
  void SpeakEnded(mrcp_request_id id) REQUIRES(impl->mutex);
  // Files the playing SPEAK's underrun count under id, for Underruns().
  void KeepUnderruns(mrcp_request_id id) REQUIRES(impl->mutex);
  // Removes the queued SPEAKs among ids (all of them when all); returns the
  // ones removed. They had their final answer: the response that names them.
  std::vector<mrcp_request_id> Dequeue(const std::vector<mrcp_request_id>& ids, bool all) REQUIRES(impl->mutex);
  // The queued SPEAK to pass to the plugin now, or null.
  Request* NextQueued() REQUIRES(impl->mutex);
  // Passes queued SPEAKs to the plugin while one may go.
  void Dispatch(Request* next) EXCLUDES(impl->mutex);
  // Reads the session's parameters into a SPEAK that does not carry them
  // (before the plugin has the request).
  void MergeSession(mrcp_message_t* request) EXCLUDES(impl->mutex);
  // What the client is told of a plugin message: nothing (false) for the
  // IN-PROGRESS of a SPEAK the client had as PENDING; a SPEAK-COMPLETE for
  // such a SPEAK's error response; the host's own Active-Request-Id-List
  // for STOP, BARGE-IN-OCCURRED, PAUSE and RESUME; the session's values for
  // GET-PARAMS. Stores a SET-PARAMS that succeeded.
  bool ClientView(const mrcp_message_t* message, Request* request, const std::vector<mrcp_request_id>& ended_by_plugin,
                  bool final, HostEvent* event) REQUIRES(impl->mutex);

  // --- host_channel.cpp
  void MediaLoop();
  // Microseconds of the clock the silence watch runs on.
  static std::int64_t NowUs();
  // Records what the silence watch found (nothing for an empty finding).
  void ReportAudioAfterEnd(const SilenceWatch::Finding& finding) REQUIRES(impl->mutex);

  // Guarded by the host's mutex.
  bool open_acked GUARDED_BY(impl->mutex) = false;
  bool open_status GUARDED_BY(impl->mutex) = false;
  bool close_acked GUARDED_BY(impl->mutex) = false;
  std::list<Request> requests GUARDED_BY(impl->mutex);
  // The server's synthesizer state: the SPEAK the plugin has and has not
  // ended, the SPEAKs answered PENDING in order, STOPs and BARGE-INs passed
  // on and not answered yet (nothing queued is passed on meanwhile, so that
  // a STOP never meets a SPEAK sent after it), the session's parameters and
  // the highest request id received.
  mrcp_request_id speaking GUARDED_BY(impl->mutex) = 0;
  std::deque<mrcp_request_id> queue GUARDED_BY(impl->mutex);
  int stops_outstanding GUARDED_BY(impl->mutex) = 0;
  bool closing GUARDED_BY(impl->mutex) = false;  // nothing more is passed to the plugin
  int dispatching GUARDED_BY(impl->mutex) = 0;   // queued SPEAKs being passed on outside the mutex
  SessionParams params GUARDED_BY(impl->mutex);
  mrcp_request_id last_request_id GUARDED_BY(impl->mutex) = 0;
  std::map<mrcp_request_id, std::uint64_t> underrun_counts GUARDED_BY(impl->mutex);  // SPEAKs that played with gaps

  // Shared with the media thread, lock-free: the SPEAK the plugin has and
  // has not ended (0: none), whether it is paused or being stopped, how far
  // its audio is (gaps count only while kInAudio), and its underruns so far.
  std::atomic<mrcp_request_id> playing{0};
  std::atomic<bool> held{false};
  std::atomic<int> audio_phase{kBeforeAudio};
  std::atomic<std::uint64_t> underruns{0};
  SilenceWatch silence;  // audio after a SPEAK's end

  // Media: the thread reads these only between start and join.
  std::thread media;
  std::atomic<bool> media_stop{false};
  std::vector<unsigned char> frame_buffer;
  FrameSink* sink = nullptr;
  FrameSink* timeline = nullptr;
  bool realtime = false;
  std::atomic<std::uint64_t> frames_read{0};
};

// The host record of a plugin's channel handle, or null (logged).
HostChannel* ChannelOf(mrcp_engine_channel_t* channel, const char* caller);

}  // namespace corvex

#endif  // CORVEX_HOST_CHANNEL_H
