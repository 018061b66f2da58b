// The local speech service: answers the Brillify SDK's text requests with
// speech from espeak-ng, so the plugin can be tried without any cloud.
//
//   POST /v1/text          a signed text request (brillify/RequestSignature.h)
//   GET  /v1/audio/<id>    audio of an earlier answer that asked for a URL
//
// A text request is a JSON object {"Query", "RequestInfo"}. The service takes
// the first client match whose "Expression" equals the query, speaks its
// response text (the SSML text when there is one, else the plain text, else
// the common text; short or long as "ResponseAudioShortOrLong" says) in the
// request's language or voice, and answers
//
//   {"Status": 0, "AllResults": [{"Expression": "...", "Voice": "<who spoke>",
//                                 "ResponseAudioBytes": "<base64 WAVE>"}]}
//
// or, when "ResponseAudioAsURL" is true, with "ResponseAudioURL" pointing at
// /v1/audio/<id> on itself, which serves the WAVE in several pieces. The
// audio is 16000 Hz, 16-bit mono WAVE with a 44-byte header. Failures answer
// {"Status": N, "ErrorMessage": "..."}: 1 for a malformed request, 2 for a
// caller that is not the client of the credentials file (HTTP 401), 3 when
// synthesis fails. The response voice can select fault switches
// (fault_switches.h).
//
// The timing profile (Options::profile) says how fast the service answers.
// "fast", the default, answers as soon as the speech is made and sends a
// body by URL in 4 KiB pieces 2 ms apart. "cloud" answers as a cloud service
// does: each text answer leaves a first-byte delay after its request arrived,
// drawn around a median (log-normal, so a few are much slower), and audio by
// URL is streamed in 100 ms pieces at a multiple of real time. A request's
// own delay or piece switches override the profile.
//
// Threads: HTTP requests are served by a pool of threads; Start, Stop and the
// destructor belong to the owner's thread.
#ifndef SPEECH_SERVICE_SPEECH_SERVICE_H
#define SPEECH_SERVICE_SPEECH_SERVICE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "fault_switches.h"
#include "service_credentials.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace speech_service {

enum AnswerStatus { kSuccess = 0, kBadRequest = 1, kUnauthorized = 2, kSynthesisFailed = 3 };

struct Profile {
  bool cloud = false;
  long first_byte_ms = 250;  // median first-byte delay of a text answer
  double spread = 0.3;       // sigma of the log-normal draw around it
  double speed = 4;          // audio by URL: this multiple of real time
};

struct Options {
  std::string host = "127.0.0.1";  // loopback only
  int port = 8390;                 // 0 picks a free port
  std::string credentials_file;
  bool verbose = false;  // one line per request on stderr
  Profile profile;
};

class SpeechService {
 public:
  explicit SpeechService(Options options);
  // Stops serving first.
  ~SpeechService();
  SpeechService(const SpeechService&) = delete;
  SpeechService& operator=(const SpeechService&) = delete;

  // Reads the credentials and binds the address. False, with error() set,
  // when the host is not a loopback address, the credentials are unusable
  // or the port cannot be bound. Ignores SIGPIPE when it has its default
  // action: a client that leaves mid-answer must not end the process.
  bool Bind();
  // Serves on the calling thread until Stop; needs Bind.
  void Serve();
  // Bind, then Serve on a thread of its own; returns once it accepts.
  bool Start();
  // Ends every wait (delays, unanswered requests) and stops serving; joins
  // the thread Start made. Any thread may call it, more than once.
  void Stop();

  // "http://127.0.0.1:<port>" once bound.
  const std::string& address() const { return address_; }
  int port() const { return port_; }
  const std::string& error() const { return error_; }

 private:
  struct StoredAudio {
    std::shared_ptr<const std::string> wave;
    FetchFaults faults;
    std::chrono::steady_clock::time_point created;
  };

  void OnTextRequest(const httplib::Request& request, httplib::Response& response);
  void OnAudioRequest(const httplib::Request& request, httplib::Response& response);
  // The "instant" fault switch: pre-made audio, and for inline answers the
  // whole answer, kept per query, frequency and length.
  void AnswerInstantly(const std::string& query, const FaultSwitches& faults, bool by_url,
                       std::chrono::steady_clock::time_point due, httplib::Response& response);
  // The answer JSON for one result with `audio` inline (base64 WAVE) or as
  // the URL of stored audio.
  std::string SuccessJson(const std::string& query, const std::string& speaker,
                          const std::shared_ptr<const std::string>& wave, const FaultSwitches& faults, bool by_url);
  // Sends a text answer once `due` has come: whole, trickled or cut short
  // as the switches say.
  void Reply(httplib::Response& response, int http_status, std::string json, const FaultSwitches& faults,
             std::chrono::steady_clock::time_point due);
  // When a text request that arrived at `arrival` is answered under the
  // profile: at once for "fast".
  std::chrono::steady_clock::time_point AnswerDue(std::chrono::steady_clock::time_point arrival) const;
  // Keeps `wave` for fetching; returns its id.
  std::string StoreAudio(std::shared_ptr<const std::string> wave, const FetchFaults& faults);
  // Waits `duration`; false when the service began to stop meanwhile.
  bool Wait(std::chrono::milliseconds duration);
  void Log(const std::string& line) const;

  Options options_;
  ServiceCredentials credentials_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;  // Start's serving thread
  std::string address_;
  int port_ = 0;
  int listening_socket_ = -1;  // the server's, while it binds
  std::string error_;

  std::mutex mutex_;
  std::condition_variable stopping_changed_;
  bool stopping_ = false;                     // guarded by mutex_
  std::map<std::string, StoredAudio> audio_;  // guarded by mutex_
  // Pre-made audio of the "instant" switch, by frequency and length, and
  // inline answers made from it, by query too. Guarded by mutex_.
  std::map<std::pair<int, long>, std::shared_ptr<const std::string>> premade_waves_;
  std::map<std::string, std::shared_ptr<const std::string>> premade_answers_;
};

}  // namespace speech_service

#endif  // SPEECH_SERVICE_SPEECH_SERVICE_H
