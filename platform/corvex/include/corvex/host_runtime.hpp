// Corvex host runtime: drives a plugin the way the server does.
//
// Loads a plugin library with dlopen, checks its interface version, hands it
// the process logger and default log source, creates and opens its engine,
// creates channels on LPCM at 8000 or 16000 Hz, opens and closes them,
// delivers requests, and records everything the client is told, in order of
// arrival, with a timestamp and the delivering thread. One media thread per
// channel pulls 10 ms frames from the plugin's source stream, at real-time
// pace or as fast as possible, and hands them to a FrameSink.
//
// Like the server, it keeps the synthesizer state of RFC 6787 for the client
// and answers its state rules itself: 410 for a request id that does not
// rise, 402 for PAUSE, RESUME or CONTROL with no SPEAK active (and
// DEFINE-LEXICON with one), 403 and 404 for session parameters it does not
// keep or values outside their grammar, 407 for a request the plugin
// refuses to take. A SET-PARAMS that succeeded sets the channel's session
// parameters: a later SPEAK gets each it does not carry itself, and
// GET-PARAMS is answered with their values or defaults. Unless
// HostConfig::queue_speaks is off, a SPEAK that arrives while another is
// speaking or paused is answered 200 PENDING and passed to the plugin when
// the one before it ends; STOP (all SPEAKs, or those its
// Active-Request-Id-List names) and BARGE-IN-OCCURRED (unless the speaking
// SPEAK has Kill-On-Barge-In false) end the speaking and the queued SPEAKs,
// and their responses name the SPEAKs they ended in Active-Request-Id-List.
//
// Every answer of the plugin goes through one protocol checker (see
// ProtocolViolation); a channel is freed only once its close was
// acknowledged.
//
// The plugin never calls this; it is for tests and the host program.
//
// Threads: every public method of Host is called from one control thread
// (the caller's). Acknowledgements and messages arrive on the plugin's
// threads; Events(), WaitFor() and the Wait* helpers are safe from the
// control thread while they arrive. Sinks run on the channel's media thread.
#ifndef CORVEX_HOST_RUNTIME_HPP
#define CORVEX_HOST_RUNTIME_HPP

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "corvex/mrcp_engine.h"

namespace corvex {

// One thing the plugin told the host.
struct HostEvent {
  enum class Kind { EngineOpened, EngineClosed, ChannelOpened, ChannelClosed, Message };
  Kind kind = Kind::Message;
  std::int64_t time_us = 0;  // apr_time_now() at arrival
  std::thread::id thread;    // the thread that delivered it
  int channel = -1;          // channel index (channel kinds and messages)
  bool status = false;       // EngineOpened, ChannelOpened: the acknowledged result

  // Message only: a copy of what the plugin sent (the message itself lives in
  // a request pool the host may release later).
  mrcp_message_type_e message_type = MRCP_MESSAGE_TYPE_UNKNOWN;
  mrcp_method_id method_id = 0;  // method for responses, event id for events
  mrcp_request_id request_id = 0;
  mrcp_status_code_e status_code = MRCP_STATUS_CODE_UNKNOWN;
  mrcp_request_state_e request_state = MRCP_REQUEST_STATE_UNKNOWN;
  bool has_completion_cause = false;
  mrcp_synth_completion_cause_e completion_cause = SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN;
  std::string body;
  // The whole message in MRCPv2 text form (mrcp_text.h), as the client gets
  // it; empty when the text form cannot carry it.
  std::string text;
  // The host answered this itself, without the plugin (a queued SPEAK's
  // PENDING, a STOP that only emptied the queue, a BARGE-IN-OCCURRED that
  // ended nothing, the SPEAK-COMPLETE of a queued SPEAK the plugin refused,
  // the 402, 403, 404, 407 and 410 of its state rules).
  bool from_host = false;
  // A success response to STOP or BARGE-IN-OCCURRED: the SPEAKs it ended,
  // as its Active-Request-Id-List names them.
  std::vector<mrcp_request_id> ended;
};

// One breach of the protocol by the plugin, found by the host's checker.
// The rules: exactly one response per request; a SPEAK ends with an error
// response, a SPEAK-COMPLETE after its IN-PROGRESS, or the STOP or
// BARGE-IN-OCCURRED that ended it; SPEAK-COMPLETE has request-state COMPLETE
// and a Completion-Cause; nothing for a request after its final answer (nor
// for a channel after its close was acknowledged); no message for an unknown
// request id; open and close acknowledged exactly once; every message of
// RFC 6787's form (status code, request-state, a synthesizer event,
// Completion-Cause 000 to 007, Speech-Marker in a SPEECH-MARKER, the
// channel's own Channel-Identifier); an Active-Request-Id-List that names
// only SPEAKs the channel was given; no audio, and no message, for a SPEAK
// after its end ("audio after the end").
struct ProtocolViolation {
  // The rule of a SPEAK that was not silent after its end.
  static const char* const kAudioAfterEnd;

  int channel = -1;                // -1: the engine
  mrcp_request_id request_id = 0;  // 0: no request
  std::string rule;                // the rule, as listed above
  std::string detail;              // what happened
};

// Receives the frames a channel's media thread reads.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // Called on the channel's media thread after each read_frame. frame.type
  // holds the flags the plugin set; the buffer holds frame.codec_frame.size bytes.
  virtual void OnFrame(int channel, const mpf_frame_t& frame) = 0;
};

struct HostConfig {
  std::string root;  // directory layout root: root/conf, root/var, root/data ...
  std::size_t max_channel_count = 100;
  bool create_dirs = true;  // create the layout's directories (and var/status) when missing
  // Keep RFC 6787's SPEAK queue for the client. Off, every SPEAK, STOP and
  // BARGE-IN-OCCURRED goes straight to the plugin (a SPEAK then replaces the
  // one before it in the plugin) and STOP responses name the SPEAKs the
  // plugin ended; the state rules and session parameters hold either way.
  bool queue_speaks = true;
  // How much longer than the close's own wait a channel whose close is not
  // acknowledged is waited for before it is left in place, unfreed: freeing
  // it would pull it from under a plugin that may still be working on it.
  std::chrono::milliseconds close_grace{60000};
};

class Host {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kDefaultWait{10000};

  explicit Host(HostConfig config);
  // Stops media threads, closes open channels and the engine, destroys
  // everything and unloads the plugin, in the server's order.
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // dlopen the library, check mrcp_plugin_version == 1.7.x, pass the logger
  // and default log source, call mrcp_plugin_create. False (with a log line)
  // when any step fails; the library then stays unloaded.
  bool LoadPlugin(const std::string& path);
  mrcp_engine_t* engine() const;

  // Calls the engine's open. Returns false when open returned false;
  // otherwise waits for the open acknowledgement and returns its status
  // (false on time-out).
  bool OpenEngine(std::chrono::milliseconds wait = kDefaultWait);
  // Calls close and waits for the close acknowledgement.
  bool CloseEngine(std::chrono::milliseconds wait = kDefaultWait);
  // Calls the engine's destroy (after closing it if open) and unloads the library.
  void DestroyEngine();

  // Creates a channel through the engine's create_channel and negotiates
  // LPCM at rate (8000 or 16000) from the stream's capabilities. Returns the
  // channel index, or -1 (with a log line) when the plugin refuses or does
  // not offer the rate.
  int CreateChannel(unsigned rate);
  // Open / close a channel and wait for the acknowledgement. A close not
  // acknowledged in time returns false and is waited for again by destroy.
  bool OpenChannel(int channel, std::chrono::milliseconds wait = kDefaultWait);
  bool CloseChannel(int channel, std::chrono::milliseconds wait = kDefaultWait);
  // Stops media, calls the channel's destroy and releases its pool. A channel
  // whose close was not acknowledged within HostConfig::close_grace is not
  // destroyed: it stays, unfreed, and UnclosedChannels() lists it; the
  // engine is then neither closed nor destroyed and the library stays loaded.
  bool DestroyChannel(int channel);
  std::vector<int> UnclosedChannels() const;
  mrcp_engine_channel_t* channel(int channel) const;
  const mpf_codec_descriptor_t* codec(int channel) const;

  // Creates a request for the channel in a pool the host keeps alive until the
  // request has had its final answer or the channel is destroyed.
  mrcp_message_t* CreateRequest(int channel, mrcp_method_id method);
  // Receives a request as the server does from its client: answers it
  // itself, queues it, or passes it to the plugin through process_request.
  // False when it is not an unsent request of the channel, or when the
  // plugin refused to take it (the host has then answered 407). The request
  // must not be changed afterwards.
  bool SendRequest(int channel, mrcp_message_t* request);

  // Starts / stops the channel's media thread. sink may be null (frames are
  // read and dropped). realtime paces reads at one frame per 10 ms; without
  // it frames are read back to back while the plugin plays, and while it has
  // given only idle frames (no audio, no event) for 2 ms, one per 0.5 ms
  // (one per 50 us while a SPEAK waits for its first audio).
  // timeline, when given, gets every frame read while a SPEAK is active
  // (from when the plugin gets it to its final answer), silence included.
  bool StartMedia(int channel, FrameSink* sink, bool realtime, FrameSink* timeline = nullptr);
  void StopMedia(int channel);

  // Frames without audio that the channel read while the SPEAK was active
  // and not paused or being stopped, between its first audio and its end:
  // gaps a caller hears. 0 for a SPEAK that never played.
  std::uint64_t Underruns(int channel, mrcp_request_id speak) const;

  // Every protocol breach of the plugin so far (see ProtocolViolation).
  std::vector<ProtocolViolation> Violations() const;

  // Everything the plugin told the host so far, in order of arrival.
  std::vector<HostEvent> Events() const;
  // Moves out everything recorded so far, in order of arrival; Events() and
  // WaitFor then see only what arrives later. For a caller that handles the
  // events as they come, over runs too long to keep them all (and copying
  // them all on every look would make a run quadratic).
  std::vector<HostEvent> TakeEvents();
  // Waits until pred holds for the recorded events; false on time-out.
  bool WaitFor(const std::function<bool(const std::vector<HostEvent>&)>& pred,
               std::chrono::milliseconds wait = kDefaultWait) const;
  // Waits for a message on channel with the given type and method (event id for events).
  bool WaitForMessage(int channel, mrcp_message_type_e type, mrcp_method_id method,
                      std::chrono::milliseconds wait = kDefaultWait) const;

  const apt_dir_layout_t* dir_layout() const;
  const HostConfig& config() const;

  struct Impl;  // public so the C callbacks can reach it

 private:
  std::unique_ptr<Impl> impl_;
};

// Writes 16-bit mono LPCM frames into a WAVE file per channel.
class WaveFileSink : public FrameSink {
 public:
  // path_pattern may contain "%d", replaced by the channel index. With
  // gaps_as_silence every frame is written, a frame without audio as silence.
  WaveFileSink(std::string path_pattern, unsigned rate, bool gaps_as_silence = false);
  ~WaveFileSink() override;  // finalizes the headers
  void OnFrame(int channel, const mpf_frame_t& frame) override;
  // Frames that carried audio, per channel.
  std::uint64_t audio_frames(int channel) const;

 private:
  struct File;
  std::string pattern_;
  unsigned rate_;
  bool gaps_as_silence_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<File>> files_;
};

}  // namespace corvex

#endif  // CORVEX_HOST_RUNTIME_HPP
