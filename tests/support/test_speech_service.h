// TestSpeechService: the local speech service for one test, on a free
// loopback port, either in this process or as a child process running the
// real tarnwickss-speech-service program. It accepts the client kClientId
// with the key kClientKey, from a credentials file it writes to a temporary
// folder; everything is removed again by the destructor (which stops the
// service first).
#ifndef TESTS_SUPPORT_TEST_SPEECH_SERVICE_H
#define TESTS_SUPPORT_TEST_SPEECH_SERVICE_H

#include <sys/types.h>

#include <memory>
#include <string>

namespace speech_service {
class SpeechService;
}  // namespace speech_service

namespace corvex_test {

class TestSpeechService {
 public:
  static constexpr const char* kClientId = "test-client";
  static constexpr const char* kClientKey = "test-key-8d3f0c2a";

  enum class Mode { kInProcess, kChildProcess };

  explicit TestSpeechService(Mode mode = Mode::kInProcess);
  ~TestSpeechService();
  TestSpeechService(const TestSpeechService&) = delete;
  TestSpeechService& operator=(const TestSpeechService&) = delete;

  // Whether it is serving; error() says why not.
  bool ok() const { return !address_.empty(); }
  const std::string& error() const { return error_; }
  // "http://127.0.0.1:<port>".
  const std::string& address() const { return address_; }
  std::string text_url() const { return address_ + "/v1/text"; }
  const std::string& credentials_file() const { return credentials_file_; }
  // A plugin credentials file's text that makes the plugin use this service.
  std::string PluginCredentials() const {
    return std::string("{\"client-id\": \"") + kClientId + "\", \"client-key\": \"" + kClientKey +
           "\", \"text-request-url-base\": \"" + text_url() + "\"}";
  }
  // The child's process id (kChildProcess), else -1.
  pid_t pid() const { return pid_; }
  // Stops it now (the destructor would). For a child: SIGTERM, then waits;
  // returns its exit status as waitpid reports it (-1 in-process).
  int Stop();

 private:
  bool StartChild();

  std::string folder_;
  std::string credentials_file_;
  std::unique_ptr<speech_service::SpeechService> service_;
  pid_t pid_ = -1;
  std::string address_;
  std::string error_;
};

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_TEST_SPEECH_SERVICE_H
