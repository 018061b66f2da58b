// tarnwickss-speech-service: the local speech service on a loopback address.
//
//   tarnwickss-speech-service --credentials FILE [--listen HOST:PORT] [--quiet]
//                             [--profile fast|cloud] [--first-byte-ms MS]
//                             [--spread SIGMA] [--speed MULTIPLE]
//
// --profile cloud answers like a cloud service (speech_service.h): a text
// answer after a first-byte delay around --first-byte-ms (250), spread by
// the log-normal --spread (0.3), and audio by URL at --speed (4) times real
// time. The default profile answers at once.
//
// Prints the address it serves as its first line, then serves until SIGINT
// or SIGTERM. Port 0 picks a free port.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "speech_service.h"

namespace {

constexpr char kUsage[] =
    "%s: %s --credentials FILE [--listen HOST:PORT] [--quiet] [--profile fast|cloud]"
    " [--first-byte-ms MS] [--spread SIGMA] [--speed MULTIPLE]\n";

constexpr char kHelp[] =
    "\n"
    "Answers the TARNWICKSS plugin's cloud speech requests on a local address with\n"
    "espeak-ng speech (16000 Hz mono WAVE), inline or by URL. Prints the address it\n"
    "serves as its first line, then serves until SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --credentials FILE   the credentials file (JSON) whose client-id and\n"
    "                       client-key the requests must be signed with; required\n"
    "  --listen HOST:PORT   the address to serve (default 127.0.0.1:8390); port 0\n"
    "                       picks a free port\n"
    "  --quiet              log nothing per request\n"
    "  --profile fast|cloud\n"
    "                       fast answers at once (the default); cloud answers like\n"
    "                       a cloud service, with the three options below\n"
    "  --first-byte-ms MS   median delay before a text answer (default 250)\n"
    "  --spread SIGMA       log-normal spread of that delay (default 0.3)\n"
    "  --speed MULTIPLE     audio by URL streams at this multiple of real time\n"
    "                       (default 4)\n"
    "  --help               this text\n";

int Usage(const char* program) {
  std::fprintf(stderr, kUsage, "usage", program);
  return 2;
}

// "127.0.0.1:8390", "[::1]:0".
bool ParseListen(const std::string& text, speech_service::Options* options) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return false;
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  char* end = nullptr;
  const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port < 0 || port > 65535 || host.empty()) return false;
  options->host = host;
  options->port = static_cast<int>(port);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  speech_service::Options options;
  options.verbose = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::printf(kUsage, "Usage", "tarnwickss-speech-service");
      std::printf("%s", kHelp);
      return 0;
    } else if (arg == "--credentials" && i + 1 < argc) {
      options.credentials_file = argv[++i];
    } else if (arg == "--listen" && i + 1 < argc) {
      if (!ParseListen(argv[++i], &options)) return Usage(argv[0]);
    } else if (arg == "--quiet") {
      options.verbose = false;
    } else if (arg == "--profile" && i + 1 < argc) {
      const std::string profile = argv[++i];
      if (profile != "fast" && profile != "cloud") return Usage(argv[0]);
      options.profile.cloud = profile == "cloud";
    } else if ((arg == "--first-byte-ms" || arg == "--spread" || arg == "--speed") && i + 1 < argc) {
      char* end = nullptr;
      const double value = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(value >= 0) || value > 600000) return Usage(argv[0]);
      if (arg == "--first-byte-ms") options.profile.first_byte_ms = static_cast<long>(value);
      if (arg == "--spread") options.profile.spread = value;
      if (arg == "--speed") options.profile.speed = value;
    } else {
      return Usage(argv[0]);
    }
  }
  if (options.credentials_file.empty()) return Usage(argv[0]);

  // The stop signals are taken by sigwait below, never by a serving thread.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  speech_service::SpeechService service(options);
  if (!service.Start()) {
    std::fprintf(stderr, "tarnwickss-speech-service: %s\n", service.error().c_str());
    return 1;
  }
  std::printf("%s\n", service.address().c_str());
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stop_signals, &signal);
  service.Stop();
  return 0;
}
