#include "test_speech_service.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "speech_service.h"
#include "test_root.h"

extern char** environ;

namespace corvex_test {

TestSpeechService::TestSpeechService(Mode mode) {
  folder_ = MakeTestRoot("speech-service");
  credentials_file_ = folder_ + "/credentials.json";
  std::ofstream(credentials_file_) << "{\"client-id\": \"" << kClientId << "\", \"client-key\": \"" << kClientKey
                                   << "\"}";
  if (mode == Mode::kChildProcess) {
    StartChild();
    return;
  }
  speech_service::Options options;
  options.port = 0;
  options.credentials_file = credentials_file_;
  service_ = std::make_unique<speech_service::SpeechService>(options);
  if (service_->Start()) {
    address_ = service_->address();
  } else {
    error_ = service_->error();
  }
}

TestSpeechService::~TestSpeechService() {
  Stop();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

bool TestSpeechService::StartChild() {
  int out[2];
  if (pipe(out) != 0) {
    error_ = "pipe failed";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  std::string program = TARNWICKSS_SPEECH_SERVICE_PATH;
  std::string credentials = credentials_file_;
  char* argv[] = {&program[0],
                  const_cast<char*>("--credentials"),
                  &credentials[0],
                  const_cast<char*>("--listen"),
                  const_cast<char*>("127.0.0.1:0"),
                  const_cast<char*>("--quiet"),
                  nullptr};
  const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    pid_ = -1;
    close(out[0]);
    error_ = "cannot start " + program;
    return false;
  }
  // The first line is the address it serves.
  std::string line;
  char c = 0;
  while (read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
  close(out[0]);
  if (line.compare(0, 7, "http://") != 0) {
    error_ = "unexpected first line [" + line + "]";
    return false;
  }
  address_ = line;
  return true;
}

int TestSpeechService::Stop() {
  if (service_) {
    service_->Stop();
    service_.reset();
    return -1;
  }
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

}  // namespace corvex_test
