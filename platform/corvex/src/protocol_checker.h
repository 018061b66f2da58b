// The host's protocol checker: holds every answer a plugin gives against the
// rules a server relies on, and keeps each breach as a ProtocolViolation.
//
// It sees the plugin's side only: the requests the host passed to the plugin
// (Forwarded) and what the plugin sent back. What the host answers itself
// (a queued SPEAK's PENDING, a STOP that only empties the queue) is not the
// plugin's and is not checked here.
//
// Every message is first checked for form (status code, request-state,
// event, Completion-Cause, Speech-Marker, Channel-Identifier), then against
// its request.
//
// Invariants: a request is final once it had its final answer (a response
// in state COMPLETE, a SPEAK-COMPLETE, or the success response of a STOP or
// BARGE-IN-OCCURRED passed to the plugin after it); nothing may come for it
// after that. A channel's records go with the channel (Forget).
//
// Memory does not grow with a long run: a channel keeps the records of its
// requests that are not final and of its last kRememberedFinals final ones.
// A message for an older request still breaks a rule: it is reported as
// coming after that request's final answer (how it ended is no longer known).
//
// Not thread-safe: the host calls it under its own mutex.
#ifndef CORVEX_PROTOCOL_CHECKER_H
#define CORVEX_PROTOCOL_CHECKER_H

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "corvex/host_runtime.hpp"

namespace corvex {

class ProtocolChecker {
 public:
  // The rules, as reports name them.
  static const char* const kOneResponse;
  static const char* const kSpeakFinal;
  static const char* const kSpeakComplete;
  static const char* const kNothingAfterFinal;
  static const char* const kKnownRequest;
  static const char* const kAcknowledgedOnce;
  static const char* const kStatusCode;
  static const char* const kRequestState;
  static const char* const kSynthEvent;
  static const char* const kCauseCode;
  static const char* const kSpeechMarker;
  static const char* const kChannelId;
  static const char* const kActiveList;

  void EngineOpenAcknowledged();
  void EngineCloseAcknowledged();
  void ChannelOpenCalled(int channel);
  void ChannelOpenAcknowledged(int channel);
  void ChannelCloseCalled(int channel);
  // The plugin refused the open or close: no acknowledgement is owed.
  void ChannelOpenRefused(int channel) { At(channel).open_called = false; }
  void ChannelCloseRefused(int channel) { At(channel).close_called = false; }
  // Also: every request passed before it must have had its response.
  void ChannelCloseAcknowledged(int channel);
  // The channel is gone (or left in place unclosed): missing acknowledgements
  // are reported and its records dropped.
  void Forget(int channel);

  void Forwarded(int channel, mrcp_request_id id, mrcp_method_id method);
  // The plugin refused the request: nothing is owed for it.
  void Withdraw(int channel, mrcp_request_id id) { At(channel).requests.erase(id); }
  // Checks the form of a message of the plugin, as the plugin wrote it, on
  // the channel whose identifier is channel_id.
  void CheckForm(int channel, const std::string& channel_id, const mrcp_message_t& message);
  // Checks one message of the plugin (its InRange copy) against its
  // request. Returns the SPEAKs it ended when it is the success response of
  // a STOP or BARGE-IN-OCCURRED, else nothing.
  std::vector<mrcp_request_id> Message(int channel, const mrcp_message_t& message);
  // The channel played audio of a SPEAK after its end (see SilenceWatch).
  void AudioAfterEnd(int channel, mrcp_request_id speak, const std::string& detail);
  // Whether the plugin gave the request its final answer (unknown: true).
  bool IsFinal(int channel, mrcp_request_id id) const;

  const std::vector<ProtocolViolation>& violations() const { return violations_; }
  // The requests whose records the channel keeps.
  std::size_t Remembered(int channel) const;

  static constexpr std::size_t kRememberedFinals = 8;

 private:
  struct Request {
    mrcp_method_id method = 0;
    std::uint64_t seq = 0;
    int responses = 0;
    bool in_progress = false;  // a SPEAK answered IN-PROGRESS or PENDING with success
    bool final = false;
    bool stopped = false;  // a SPEAK ended by a STOP or BARGE-IN-OCCURRED
    std::string ended_by;  // how it ended, for reports
  };
  struct Channel {
    bool open_called = false;
    int open_acks = 0;
    bool close_called = false;
    int close_acks = 0;
    std::uint64_t next_seq = 1;
    std::map<mrcp_request_id, Request> requests;
    std::deque<mrcp_request_id> finals;  // final requests still kept, oldest first
    mrcp_request_id forgotten = 0;       // the highest id whose record was dropped
  };

  void Violate(int channel, mrcp_request_id id, const char* rule, const std::string& detail);
  // The request had its final answer, `how`.
  static void MarkFinal(Channel& c, mrcp_request_id id, Request& r, std::string how);
  // Something for a request after its final answer.
  void AfterFinal(int channel, mrcp_request_id id, const Request& r, const std::string& what);
  // An Active-Request-Id-List may name only SPEAKs the plugin was given.
  void CheckActiveList(int channel, const mrcp_message_t& message, const std::string& what);
  Channel& At(int channel) { return channels_[channel]; }

  std::map<int, Channel> channels_;
  int engine_open_acks_ = 0;
  int engine_close_acks_ = 0;
  std::vector<ProtocolViolation> violations_;
};

// "200 IN-PROGRESS", "SPEAK-COMPLETE COMPLETE with Completion-Cause 000" and
// the like: what a message was, for reports (of its InRange copy).
std::string DescribeMessage(const mrcp_message_t& message);

// A plugin in C may write any number into an enumerated field of its
// message, which C++ may not even read as that type. Returns the copy the
// host goes on with, each such field within what its type holds (else its
// UNKNOWN value); the synthesizer header block is copied into *synth.
mrcp_message_t InRange(const mrcp_message_t& message, mrcp_synth_header_t* synth);

}  // namespace corvex

#endif  // CORVEX_PROTOCOL_CHECKER_H
