// The requests corvex-host sends on every channel, in order, with when to
// send each one and what its outcome should be. They come from request files
// (--request) and from --speak, --ssml and --uri-list.
//
// A request file holds MRCPv2 requests in their text form, separated by lines
// holding only "---". Before each request's start line come, in any order,
// comment lines ("#...") and directives ("@..."); blank lines are ignored
// there. A request without Content-Length takes everything up to the next
// "---" line (or the end of the file) as its body, without its last line
// end; one with Content-Length takes exactly that many bytes,
// after which only blank lines may come. The message length and the request
// id may be left out of the start line; Channel-Identifier is always the
// channel's own.
//
// Directives (words are matched without regard to case):
//   @send after N ms           N ms after the previous request was sent
//   @send after EVENT          when the previous request got EVENT
//   @send N ms after EVENT     N ms after that
//     EVENT: IN-PROGRESS, SPEECH-MARKER, SPEAK-COMPLETE, or COMPLETE (its
//     final answer, whatever it is: the default, "@send after COMPLETE")
//   @expect status NNN         the request's response has that status
//   @expect Completion-Cause NNN [name]
//                              a SPEAK ends with that cause, in its
//                              SPEAK-COMPLETE or its error response
//   @expect stopped            a SPEAK is ended by a later STOP or
//                              BARGE-IN-OCCURRED answered with success and
//                              naming it, and gets nothing more
//   @expect any                any final answer will do
//   @raw                       the request goes as written: a request id
//                              given is not held to rise (the server's
//                              answer to one that does not, 410, is then
//                              what a file can expect)
// Without @expect a SPEAK must end with SPEAK-COMPLETE and Completion-Cause
// 000, and any other request must get its final answer. The first request's
// "previous request" is the opening of the channel.
#ifndef TOOLS_CORVEX_HOST_REQUEST_SCRIPT_H
#define TOOLS_CORVEX_HOST_REQUEST_SCRIPT_H

#include <chrono>
#include <string>
#include <vector>

#include "corvex/mrcp_message.h"

namespace corvex_host {

// When a request goes out, relative to the request before it.
struct Trigger {
  enum class After { kFinalAnswer, kSent, kInProgress, kSpeechMarker, kSpeakComplete };
  After after = After::kFinalAnswer;
  std::chrono::milliseconds delay{0};
};

struct Expectation {
  enum class Kind { kStatus, kCompletionCause, kStopped, kAny };
  Kind kind = Kind::kAny;
  int value = 0;  // the status code or the cause
};

struct ScriptRequest {
  std::string origin;  // "FILE:LINE" of the start line, or "--speak 2" and the like
  std::string text;    // the request as written (body included)
  mrcp_method_id method = 0;
  mrcp_request_id id = 0;  // the file's, or 0 until Number() gives it one
  Trigger trigger;
  std::vector<Expectation> expectations;  // empty: the default outcome
  bool raw = false;                       // @raw: its id is the file's, rising or not
};

// Reads a request file and appends its requests to script. False (script
// unchanged) with error set to "FILE:LINE: reason" for a file that cannot be
// read or is malformed.
bool ReadRequestFile(const std::string& path, std::vector<ScriptRequest>* script, std::string* error);

// The same for text already in memory; name stands for the file in messages.
bool ReadRequestText(const std::string& text, const std::string& name, std::vector<ScriptRequest>* script,
                     std::string* error);

// Appends a SPEAK with the given body and Content-Type, carrying headers
// ("Name: value" each; a Content-Type among them replaces content_type).
// False with error set when a header is malformed.
bool AddSpeak(const std::string& origin, const std::string& content_type, const std::string& body,
              const std::vector<std::string>& headers, std::vector<ScriptRequest>* script, std::string* error);

// Checks the script as a whole and numbers it: request ids that were left
// out follow the one before; ids that were given must rise (but those of
// @raw requests, which leave the count alone); an event that
// only a SPEAK sends may be awaited only after a SPEAK. False with error set
// to "ORIGIN: reason" otherwise.
bool Number(std::vector<ScriptRequest>* script, std::string* error);

// One line each, for --check and for reports; first: the trigger of a
// channel's first request, which counts from the channel's opening.
std::string Describe(const Trigger& trigger, bool first);
std::string Describe(const std::vector<Expectation>& expectations, mrcp_method_id method);

}  // namespace corvex_host

#endif  // TOOLS_CORVEX_HOST_REQUEST_SCRIPT_H
