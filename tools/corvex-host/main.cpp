// corvex-host: a command-line MRCP host for the synthesizer plugin.
//
// It reads every request first (files, --speak and the like) and refuses
// the whole run, sending nothing, when one of them is malformed; only then
// does it load the plugin and drive it (script_runner.h).
#include <apr_general.h>
#include <apr_time.h>
#include <getopt.h>
#include <limits.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "corvex/apt_log.h"
#include "request_script.h"
#include "script_runner.h"

namespace {

using corvex_host::ScriptRequest;

constexpr int kUsage = 2;
constexpr int kMaxChannels = 100;

const char kHelp[] = R"(Usage: corvex-host --root DIR [options]

Loads the TARNWICKSS plugin the way the Corvex MRCP server does, opens its
channels, sends them MRCPv2 requests and prints everything that goes back and
forth. Requests are sent in the order of the options that give them, each
after the previous one's final answer unless a request file says otherwise.

Options:
  --plugin PATH        the plugin library (default: the tarnwickss.so installed
                       or built with this program, %s)
  --root DIR           the server root: DIR/conf holds tarnwickss.xml, DIR/data
                       is the data directory (the credentials file), DIR/var the
                       var directory (status files in DIR/var/status); missing
                       directories are created; required unless --check
  --rate 8000|16000    the LPCM rate negotiated for each channel (default 8000)
  --channels N         channels opened at once, 1 to 100, each getting the same
                       requests (default 1)
  --fast               pull frames as fast as possible instead of one per 10 ms
  --speak TEXT         send a SPEAK with Content-Type text/plain and TEXT as its
                       body; repeatable: one SPEAK after the other completes
  --ssml FILE          likewise, with the file as an application/ssml+xml body
  --uri-list FILE      likewise, with the file as a text/uri-list body
  --header 'Name: value'
                       add the header to every --speak, --ssml and --uri-list
                       SPEAK; repeatable; a Content-Type replaces the default
  --request FILE       send the requests written in FILE (below); repeatable
  --wav PATH           write what each channel played as a 16-bit mono WAVE file:
                       PATH itself for one channel; with --channels N > 1,
                       channel C writes PATH with "-C" before the extension
                       (out.wav: out-0.wav, out-1.wav, ...)
  --wav-timeline PATH  likewise, but every frame read while a SPEAK is active
                       (from when the plugin gets it to its final answer), a
                       frame without audio as silence: what a caller hears
  --no-queue           pass every SPEAK straight to the plugin, which then
                       replaces the SPEAK before it; by default the host queues
                       a SPEAK that arrives while another is speaking or paused
                       (answered 200 PENDING, played after it), as a server does
  --timeout SECONDS    how long a request may wait for its final answer without
                       any progress (a message or played audio) before it is
                       reported as unanswered (default 30)
  --check              read and check the requests, list them with when they
                       go and what they expect, and exit; loads no plugin
  --log-level 0-7      the host log's threshold, 0 emergency to 7 debug; a
                       priority name works too (default 5, notice)
  --log FILE           append the host log to FILE instead of stderr
  --help               this text

Output: every request sent and every response and event received goes to
stdout in MRCPv2 text form, each preceded by one line
  <milliseconds since start> ms channel <C> sent|received
Channels are numbered from 0. Requests that did not end as expected and a
summary go to stderr, with the host log.

Request files hold MRCPv2 requests in their text form (RFC 6787): a start
line, "Name: value" headers, an empty line and the body; lines may end in LF
or CRLF. Requests are separated by lines holding only "---". The message
length and the request id may be left out ("MRCP/2.0 SPEAK"); ids left out
follow the one before, ids given must rise (but see @raw).
Channel-Identifier is the channel's own. A request without Content-Length
takes everything up to the next "---" as its body (without the last line
end); one with Content-Length takes exactly that many bytes. Before each start line may come comment lines
("# ...") and directives:
  @send after N ms           N ms after the previous request was sent
  @send after EVENT          when the previous request got EVENT
  @send N ms after EVENT     N ms after that
                             EVENT: IN-PROGRESS, SPEECH-MARKER, SPEAK-COMPLETE,
                             or COMPLETE (its final answer: the default)
  @expect status NNN         the request's response has status NNN
  @expect Completion-Cause NNN [name]
                             the SPEAK ends with that cause, in SPEAK-COMPLETE
                             or in its error response
  @expect stopped            the SPEAK is ended by a later STOP or
                             BARGE-IN-OCCURRED answered with success and naming
                             it in Active-Request-Id-List, and is silent from
                             then on (no audio, no message)
  @expect any                any final answer will do
  @raw                       the request goes as written: a request id
                             given need not rise (the server answers 410)
Without @expect a SPEAK must end with SPEAK-COMPLETE and Completion-Cause 000,
any other request with a final answer. For example, a barge-in:
  MRCP/2.0 SPEAK
  Content-Type: text/plain

  A long sentence that is still playing when the caller speaks.
  ---
  @send 300 ms after IN-PROGRESS
  MRCP/2.0 BARGE-IN-OCCURRED
The first request of a channel counts its delay from the channel's opening.
examples/requests/ in the source tree has more.

The host keeps the synthesizer state of a server (RFC 6787) and answers
itself: 410 to a request id not above the last one, 402 to PAUSE, RESUME or
CONTROL with no SPEAK active and to DEFINE-LEXICON with one, 403 and 404 to
a SET-PARAMS with a header it does not keep or a value outside its grammar,
407 to a request the plugin refuses to take. A SPEAK sent while another is
speaking or paused is answered 200 PENDING and played after it (not with
--no-queue); STOP ends the speaking and every queued SPEAK, or only those its
Active-Request-Id-List names; BARGE-IN-OCCURRED ends them all unless the
speaking SPEAK has Kill-On-Barge-In: false; the responses name the SPEAKs
they ended in Active-Request-Id-List. A SET-PARAMS that succeeded sets
session parameters for the channel's later SPEAKs (those that do not carry
them); GET-PARAMS is answered with their values, or their defaults. Unknown
headers of other requests are passed on as written.

Every answer of the plugin is checked: exactly one response per request; a
SPEAK ends with an error response, a SPEAK-COMPLETE after its IN-PROGRESS, or
the STOP or BARGE-IN-OCCURRED that ended it; SPEAK-COMPLETE has request-state
COMPLETE and a Completion-Cause; nothing for a request after its final answer
(nor for a channel after its close was acknowledged); no message for an
unknown request id; open and close acknowledged exactly once; RFC 6787's
status codes, request-states, synthesizer events, Completion-Cause 000 to
007, Speech-Marker in SPEECH-MARKER, the channel's own Channel-Identifier;
an Active-Request-Id-List naming only SPEAKs of the channel; no audio for a
SPEAK after its end (until the next IN-PROGRESS; 10 ms of slack either
side). Each breach is reported with its channel, request id and rule. For
each SPEAK that played (without --fast), the summary gives its underruns:
10 ms frames without audio between its first and its last audio while it
was not paused or being stopped, gaps a caller would hear.

Exit status: 0 when every request ended as expected and the plugin kept the
protocol; 1 when a request did not end as expected (no final answer, another
status or cause), the plugin broke the protocol, a channel's close was never
acknowledged, or the plugin, its engine or a channel could not be opened; 2
for bad usage, including a malformed request file (reported with its line;
nothing is sent).
)";

std::string ExecutableDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return std::string();
  path[n] = '\0';
  return std::filesystem::path(path).parent_path().string();
}

// The plugin beside this program, then where an install or a package puts
// it relative to this program, then where the build tree puts it relative
// to this program, then where this build put it.
std::string DefaultPlugin() {
  const std::string dir = ExecutableDir();
  if (!dir.empty()) {
    for (const std::string& candidate :
         {dir + "/tarnwickss.so", dir + "/" + CORVEX_HOST_PLUGIN_INSTALLED, dir + "/" + CORVEX_HOST_PLUGIN_RELATIVE}) {
      std::error_code code;
      if (std::filesystem::is_regular_file(candidate, code)) {
        return std::filesystem::path(candidate).lexically_normal().string();
      }
    }
  }
  return CORVEX_HOST_PLUGIN_FALLBACK;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "corvex-host: %s\nTry 'corvex-host --help'.\n", message.c_str());
  return kUsage;
}

bool ParseInt(const char* text, long min, long max, long* out) {
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < min || value > max) return false;
  *out = value;
  return true;
}

bool ParseLogLevel(const char* text, apt_log_priority_e* out) {
  long value = 0;
  if (ParseInt(text, 0, 7, &value)) {
    *out = static_cast<apt_log_priority_e>(value);
    return true;
  }
  for (int p = 0; p < APT_PRIO_COUNT; ++p) {
    if (strcasecmp(text, apt_log_priority_name(static_cast<apt_log_priority_e>(p))) == 0) {
      *out = static_cast<apt_log_priority_e>(p);
      return true;
    }
  }
  return false;
}

bool ReadWholeFile(const std::string& path, std::string* text) {
  std::error_code code;
  if (!std::filesystem::is_regular_file(path, code)) return false;
  std::ifstream in(path, std::ios::binary);
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.good() || in.eof();
}

// A request source in command-line order.
struct Source {
  enum class Kind { kSpeak, kSsml, kUriList, kRequest } kind;
  std::string argument;
};

bool BuildScript(const std::vector<Source>& sources, const std::vector<std::string>& headers,
                 std::vector<ScriptRequest>* script, std::string* error) {
  int speaks = 0;
  for (const Source& source : sources) {
    if (source.kind == Source::Kind::kRequest) {
      if (!corvex_host::ReadRequestFile(source.argument, script, error)) return false;
      continue;
    }
    std::string body = source.argument;
    std::string origin;
    const char* type = "text/plain";
    if (source.kind == Source::Kind::kSpeak) {
      origin = "--speak #" + std::to_string(++speaks);
    } else {
      const bool ssml = source.kind == Source::Kind::kSsml;
      origin = std::string(ssml ? "--ssml " : "--uri-list ") + source.argument;
      type = ssml ? "application/ssml+xml" : "text/uri-list";
      if (!ReadWholeFile(source.argument, &body)) {
        *error = origin + ": cannot read the file";
        return false;
      }
    }
    if (!corvex_host::AddSpeak(origin, type, body, headers, script, error)) return false;
  }
  return corvex_host::Number(script, error);
}

void List(const std::vector<ScriptRequest>& script) {
  for (const ScriptRequest& request : script) {
    std::printf("%s: %s %u%s, sent %s, expecting %s\n", request.origin.c_str(),
                mrcp_synth_method_name_get(request.method), static_cast<unsigned>(request.id),
                request.raw ? " (raw)" : "",
                corvex_host::Describe(request.trigger, &request == &script.front()).c_str(),
                corvex_host::Describe(request.expectations, request.method).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  apr_initialize();
  std::atexit(apr_terminate);
  corvex_host::RunOptions options;
  options.start_us = apr_time_now();
  std::vector<Source> sources;
  std::vector<std::string> headers;
  std::string log_path;
  apt_log_priority_e log_level = APT_PRIO_NOTICE;
  bool check = false;

  enum {
    kPlugin = 1000,
    kRoot,
    kRate,
    kChannels,
    kFast,
    kSpeak,
    kHeader,
    kSsml,
    kUriList,
    kRequest,
    kWav,
    kTimeout,
    kCheck,
    kLogLevel,
    kLog,
    kHelpOption,
    kWavTimeline,
    kNoQueue
  };
  static const option kOptions[] = {{"plugin", required_argument, nullptr, kPlugin},
                                    {"root", required_argument, nullptr, kRoot},
                                    {"rate", required_argument, nullptr, kRate},
                                    {"channels", required_argument, nullptr, kChannels},
                                    {"fast", no_argument, nullptr, kFast},
                                    {"speak", required_argument, nullptr, kSpeak},
                                    {"header", required_argument, nullptr, kHeader},
                                    {"ssml", required_argument, nullptr, kSsml},
                                    {"uri-list", required_argument, nullptr, kUriList},
                                    {"request", required_argument, nullptr, kRequest},
                                    {"wav", required_argument, nullptr, kWav},
                                    {"timeout", required_argument, nullptr, kTimeout},
                                    {"check", no_argument, nullptr, kCheck},
                                    {"log-level", required_argument, nullptr, kLogLevel},
                                    {"log", required_argument, nullptr, kLog},
                                    {"help", no_argument, nullptr, kHelpOption},
                                    {"wav-timeline", required_argument, nullptr, kWavTimeline},
                                    {"no-queue", no_argument, nullptr, kNoQueue},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;
  long number = 0;
  for (;;) {
    const int previous = optind;
    const int c = getopt_long(argc, argv, ":", kOptions, nullptr);
    if (c == -1) break;
    const std::string name = previous < argc ? argv[previous] : "";
    switch (c) {
      case kPlugin:
        options.plugin = optarg;
        break;
      case kRoot:
        options.root = optarg;
        break;
      case kRate:
        if (!ParseInt(optarg, 0, 16000, &number) || (number != 8000 && number != 16000)) {
          return UsageError(std::string("--rate takes 8000 or 16000, not '") + optarg + "'");
        }
        options.rate = static_cast<unsigned>(number);
        break;
      case kChannels:
        if (!ParseInt(optarg, 1, kMaxChannels, &number)) {
          return UsageError(std::string("--channels takes a number from 1 to 100, not '") + optarg + "'");
        }
        options.channels = static_cast<int>(number);
        break;
      case kFast:
        options.fast = true;
        break;
      case kSpeak:
        sources.push_back({Source::Kind::kSpeak, optarg});
        break;
      case kSsml:
        sources.push_back({Source::Kind::kSsml, optarg});
        break;
      case kUriList:
        sources.push_back({Source::Kind::kUriList, optarg});
        break;
      case kRequest:
        sources.push_back({Source::Kind::kRequest, optarg});
        break;
      case kHeader:
        if (!std::strchr(optarg, ':') || optarg[0] == ':') {
          return UsageError(std::string("--header takes 'Name: value', not '") + optarg + "'");
        }
        headers.push_back(optarg);
        break;
      case kWav:
        options.wav = optarg;
        break;
      case kWavTimeline:
        options.wav_timeline = optarg;
        break;
      case kNoQueue:
        options.no_queue = true;
        break;
      case kTimeout:
        if (!ParseInt(optarg, 1, 24 * 3600, &number)) {
          return UsageError(std::string("--timeout takes seconds from 1 to 86400, not '") + optarg + "'");
        }
        options.timeout = std::chrono::seconds(number);
        break;
      case kCheck:
        check = true;
        break;
      case kLogLevel:
        if (!ParseLogLevel(optarg, &log_level)) {
          return UsageError(std::string("--log-level takes 0 to 7 or a priority name, not '") + optarg + "'");
        }
        break;
      case kLog:
        log_path = optarg;
        break;
      case kHelpOption: {
        const std::string plugin = DefaultPlugin();
        std::printf(kHelp, plugin.c_str());
        return 0;
      }
      case ':':
        return UsageError(name + " needs a value");
      default:
        return UsageError("unknown option " + name);
    }
  }
  if (optind < argc) return UsageError(std::string("unexpected argument '") + argv[optind] + "'");
  if (!check && options.root.empty()) {
    return UsageError("--root DIR is required: the server root whose conf/tarnwickss.xml configures the plugin");
  }
  const bool has_speak =
      std::any_of(sources.begin(), sources.end(), [](const Source& s) { return s.kind != Source::Kind::kRequest; });
  if (!headers.empty() && !has_speak) return UsageError("--header applies to --speak, --ssml and --uri-list only");

  std::vector<ScriptRequest> script;
  std::string error;
  if (!BuildScript(sources, headers, &script, &error)) {
    std::fprintf(stderr, "corvex-host: %s\ncorvex-host: nothing was sent\n", error.c_str());
    return kUsage;
  }
  if (check) {
    List(script);
    return 0;
  }
  for (const std::string* wav : {&options.wav, &options.wav_timeline}) {
    for (const std::string& path : corvex_host::WavePaths(*wav, options.channels)) {
      std::filesystem::path dir = std::filesystem::path(path).parent_path();
      if (access(dir.empty() ? "." : dir.c_str(), W_OK | X_OK) != 0) {
        return UsageError(std::string(wav == &options.wav ? "--wav" : "--wav-timeline") + ": cannot write " + path);
      }
    }
  }
  // The plugin takes the layout's paths as they are: a relative root would
  // be read against whatever directory the plugin's threads see.
  std::error_code absolute_error;
  const std::filesystem::path absolute_root = std::filesystem::absolute(options.root, absolute_error);
  if (!absolute_error) options.root = absolute_root.lexically_normal().string();
  if (options.plugin.empty()) options.plugin = DefaultPlugin();

  apt_logger_t* logger = log_path.empty() ? apt_log_instance_create(stderr, log_level)
                                          : apt_log_file_instance_create(log_path.c_str(), log_level);
  if (!logger) return UsageError("--log: cannot open " + log_path);
  const int status = corvex_host::RunScript(options, script, stdout, stderr);
  apt_log_instance_destroy();
  return status;
}
