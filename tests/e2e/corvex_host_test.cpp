// corvex-host run as a user runs it: a subprocess with arguments, judged by
// its exit status, its stdout (every message re-read with the text form
// parser, so the printed lengths are checked too), its stderr and the WAVE
// files it writes. The real plugin speaks through the local speech service
// run as its own program; the echo test plugin stands in where audio must
// play to a script (a SPEAK plays a tone for as many frames as its body says)
// and the rogue one where answers break the protocol or never come.
#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "corvex/mrcp_text.h"
#include "test_root.h"
#include "test_speech_service.h"
#include "wave_header.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// One message as printed: the line before it and the message read back.
struct Printed {
  long ms = 0;
  bool sent = false;
  mrcp_message_type_e type = MRCP_MESSAGE_TYPE_UNKNOWN;
  mrcp_method_id method = 0;  // requests: method; events: event id
  mrcp_request_id id = 0;
  int status = 0;
  mrcp_request_state_e state = MRCP_REQUEST_STATE_UNKNOWN;
  int cause = -1;  // -1: no Completion-Cause
  std::string text;
};

std::string PluginPath(const std::string& name) { return std::string(TEST_PLUGIN_DIR) + "/" + name + ".so"; }

class CorvexHost : public ::testing::Test {
 protected:
  void SetUp() override {
    apr_initialize();
    apr_pool_create(&pool_, nullptr);
    root_ = MakeTestRoot("corvex-host");
    InstallSampleConfig(root_);
  }
  void TearDown() override {
    apr_pool_destroy(pool_);
    apr_terminate();
    fs::remove_all(root_);
  }

  // Runs corvex-host with args (killed after `limit` seconds); stdout and
  // stderr go to files in the root.
  Result Run(const std::vector<std::string>& args, int limit = 120) {
    auto quoted = [](const std::string& word) {
      return "'" + std::regex_replace(word, std::regex("'"), "'\\''") + "'";
    };
    std::string command = "timeout -s KILL " + std::to_string(limit) + " " + quoted(CORVEX_HOST_PATH);
    for (const std::string& a : args) command += " " + quoted(a);
    const int wstatus =
        std::system((command + " >" + quoted(root_ + "/stdout.txt") + " 2>" + quoted(root_ + "/stderr.txt")).c_str());
    Result result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    EXPECT_NE(result.status, 128 + SIGKILL) << "corvex-host did not end within " << limit << " s";
    result.out = ReadFile(root_ + "/stdout.txt");
    result.err = ReadFile(root_ + "/stderr.txt");
    return result;
  }

  std::vector<Printed> Messages(const std::string& out) {
    static const std::regex kHead(R"((\d+) ms channel (\d+) (sent|received))");
    std::vector<Printed> messages;
    std::size_t pos = 0;
    while (pos < out.size()) {
      const std::size_t eol = out.find('\n', pos);
      std::smatch m;
      const std::string head = out.substr(pos, eol - pos);
      if (eol == std::string::npos || !std::regex_match(head, m, kHead)) {
        ADD_FAILURE() << "not a message head: " << head;
        break;
      }
      Printed p;
      p.ms = std::stol(m[1]);
      p.sent = m[3] == "sent";
      pos = eol + 1;
      mrcp_text_error_t error;
      apr_size_t consumed = 0;
      mrcp_message_t* message = mrcp_text_parse(out.data() + pos, out.size() - pos, 0, pool_, &consumed, &error);
      if (!message) {
        ADD_FAILURE() << "printed message unreadable, line " << error.line << ": " << error.reason << "\n"
                      << out.substr(pos, 200);
        break;
      }
      p.text = out.substr(pos, consumed);
      p.type = message->start_line.message_type;
      p.method = message->start_line.method_id;
      p.id = message->start_line.request_id;
      p.status = static_cast<int>(message->start_line.status_code);
      p.state = message->start_line.request_state;
      if (mrcp_resource_header_property_check(message, SYNTHESIZER_HEADER_COMPLETION_CAUSE)) {
        p.cause = static_cast<int>(message->synth_header->completion_cause);
      }
      messages.push_back(p);
      pos += consumed;
      if (pos < out.size() && out[pos] == '\n') ++pos;
    }
    return messages;
  }

  std::string File(const std::string& name, const std::string& text) {
    const std::string path = root_ + "/" + name;
    WriteFile(path, text);
    return path;
  }

  // Points the credentials file at a loopback port nothing listens on (1, tcpmux).
  void ServiceDown() {
    const std::string base = "http://127.0.0.1:1/v1/";
    WriteFile(root_ + "/data/credentials.json",
              "{\"client-id\": \"c\", \"client-key\": \"k\", \"voice-request-url-base\": \"" + base +
                  "voice\", \"text-request-url-base\": \"" + base + "text\"}");
  }

  apr_pool_t* pool_ = nullptr;
  std::string root_;
};

// Whether path is a canonical WAVE file at rate with data_bytes of audio.
bool IsWave(const std::string& path, std::uint32_t rate, std::size_t data_bytes) {
  const std::string data = ReadFile(path);
  return data.size() == 44 + data_bytes &&
         data.substr(0, 44) == WaveHeader(rate, static_cast<std::uint32_t>(data_bytes));
}

TEST_F(CorvexHost, BadUsageExitsWith2AndSendsNothing) {
  const std::string r = root_;
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--root"},
      {"--root", r, "--rate", "11025", "--speak", "x"},
      {"--speak", "no root given"},
      {"--root", r, "--header", "Voice-Name Kate", "--speak", "x"},
      {"--root", r, "--header", "Content-Length: 3", "--speak", "x"},
      {"--root", r, "--request", r + "/missing.mrcp"},
      {"--root", r, "--wav", r + "/no/such/dir/out.wav", "--speak", "x"},
  };
  for (const auto& args : cases) {
    const Result result = Run(args);
    EXPECT_EQ(result.status, 2) << args.back() << "\n" << result.err;
    EXPECT_EQ(result.out, "") << args.back();
    EXPECT_NE(result.err.find("corvex-host: "), std::string::npos) << args.back();
  }
  const Result help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--request", "@send", "@expect"}) EXPECT_NE(help.out.find(option), std::string::npos);
}

TEST_F(CorvexHost, MalformedRequestFileIsReportedWithItsLineAndNothingIsSent) {
  const std::string good = "MRCP/2.0 GET-PARAMS\n---\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      // text, ":LINE: reason"
      {good + "MRCP/2.0 SPEAK\nContent-Type: text/plain\nVoice-Age: old\n\nHi\n", ":5: Voice-Age takes a number"},
      {good + "MRCP/2.0 SPEAK\nContent-Type: text/plain\n\nHi\nMRCP/2.0 STOP\n", ":7: a start line or directive"},
      {good + "@send soon\nMRCP/2.0 STOP\n", ":3: @send takes"},
      {good + "@send after IN-PROGRESS\nMRCP/2.0 STOP\n", ":4: waits for IN-PROGRESS, which only a SPEAK gets"},
      {"MRCP/2.0 STOP 5\n---\nMRCP/2.0 STOP 5\n", ":3: request id 5 does not rise"},
      {good + "MRCP/2.0 SPEAK\nContent-Length: 2\n\nHi there\n", ":6: text after the 2-byte body"},
      {good + "MRCP/2.0 SPEAK\nContent-Length: 20\n\nHi\n", ":6: the body has"},
  };
  for (const auto& [text, where] : cases) {
    const std::string path = File("bad.mrcp", text);
    const Result result = Run({"--root", root_, "--request", path});
    EXPECT_EQ(result.status, 2) << text;
    EXPECT_EQ(result.out, "") << text;
    EXPECT_NE(result.err.find(path + where), std::string::npos) << text << "\n---\n" << result.err;
    EXPECT_NE(result.err.find("nothing was sent"), std::string::npos);
  }
}

TEST_F(CorvexHost, PluginAnswersEveryMethodAndExpectationsDecideTheStatus) {
  const std::string script = File("methods.mrcp",
                                  "# Requests the plugin answers without speech.\n"
                                  "MRCP/2.0 GET-PARAMS\n"
                                  "---\n"
                                  "MRCP/2.0 SET-PARAMS\n"
                                  "Voice-Name: Kate\r\n"
                                  "Prosody-Rate: slow\n"
                                  "Vendor-Specific-Parameters: voice-name=\"Kate\";region=eu\n"
                                  "---\n"
                                  "MRCP/2.0 PAUSE 10\n"
                                  "---\n"
                                  "@send after 300 ms\n"
                                  "MRCP/2.0 RESUME\n"
                                  "---\n"
                                  "@expect status 200\n"
                                  "MRCP/2.0 STOP\n"
                                  "---\n"
                                  "# An unsupported body is refused before any synthesis.\n"
                                  "@expect status 409\n"
                                  "@expect Completion-Cause 004 error\n"
                                  "MRCP/2.0 SPEAK\n"
                                  "Content-Type: audio/x-wav\n"
                                  "\n"
                                  "RIFF\n");
  const Result result = Run({"--root", root_, "--request", script});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("all 6 requests on 1 channel(s) ended as expected"), std::string::npos) << result.err;
  const std::vector<Printed> messages = Messages(result.out);
  ASSERT_EQ(messages.size(), 12u) << result.out;
  // Request ids left out are one above the one before.
  EXPECT_EQ(messages[7].id, 11u);
  EXPECT_EQ(messages[7].status, 402) << "the server answers RESUME with no SPEAK active";
  EXPECT_EQ(messages[11].status, 409);
  EXPECT_EQ(messages[11].cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
  EXPECT_GE(messages[6].ms - messages[4].ms, 300) << "RESUME is sent 300 ms after PAUSE";
  EXPECT_NE(messages[2].text.find("Vendor-Specific-Parameters: voice-name=\"Kate\";region=eu\r\n"), std::string::npos);
  // The file's last line end is not part of the body.
  EXPECT_NE(messages[10].text.find("Content-Length: 4\r\n\r\nRIFF"), std::string::npos) << messages[10].text;

  // The same file expecting what does not happen: exit status 1, and the report says what came instead.
  ASSERT_TRUE(ReplaceInFile(script, "@expect status 409", "@expect status 406"));
  const Result wrong = Run({"--root", root_, "--request", script});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("SPEAK 13 (" + script +
                           ":20): expected status 406 and Completion-Cause 004, got 409 "
                           "COMPLETE with Completion-Cause 004 error"),
            std::string::npos)
      << wrong.err;
}

TEST_F(CorvexHost, SpeakWithHeadersAgainstAServiceThatIsDownFails) {
  ServiceDown();
  const std::string example = std::string(TARNWICKSS_SOURCE_DIR) + "/examples/requests/speak-with-headers.mrcp";
  const Result result = Run(
      {"--root", root_, "--request", example, "--header", "Voice-Name: Kate", "--speak", "One.", "--speak", "Two."});
  EXPECT_EQ(result.status, 1);
  std::vector<Printed> sent;
  for (const Printed& p : Messages(result.out)) {
    if (p.sent)
      sent.push_back(p);
    else
      EXPECT_EQ(p.cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);  // every SPEAK fails before it speaks
  }
  ASSERT_EQ(sent.size(), 4u) << result.out;
  EXPECT_NE(sent[0].text.find("Vendor-Specific-Parameters: voice-name=\"Kate\";audio-as-url=false\r\n"),
            std::string::npos);
  EXPECT_NE(sent[1].text.find("Content-Length: 135\r\n"), std::string::npos);
  EXPECT_NE(sent[3].text.find("Voice-Name: Kate\r\n"), std::string::npos);
  EXPECT_NE(result.err.find("SPEAK 3 (--speak #1): expected SPEAK-COMPLETE with Completion-Cause 000, got 4"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("4 of 4 requests on 1 channel(s) did not end as expected"), std::string::npos);
}

TEST_F(CorvexHost, BargeInStopsThePlayingSpeakAtItsTime) {
  const std::string script = File("barge-in.mrcp",
                                  "@expect stopped\n"
                                  "MRCP/2.0 SPEAK\n"
                                  "Content-Type: text/plain\n"
                                  "\n"
                                  "500\n"
                                  "---\n"
                                  "@send 300 ms after IN-PROGRESS\n"
                                  "@expect status 200\n"
                                  "MRCP/2.0 BARGE-IN-OCCURRED\n"
                                  "---\n"
                                  "MRCP/2.0 SPEAK\n"
                                  "Content-Type: text/plain\n"
                                  "\n"
                                  "10\n");
  const std::string wav = root_ + "/barge-in.wav";
  const Result result = Run({"--plugin", PluginPath("echo_plugin"), "--root", root_, "--request", script, "--wav", wav,
                             "--wav-timeline", root_ + "/timeline.wav"});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::vector<Printed> messages = Messages(result.out);
  ASSERT_EQ(messages.size(), 7u) << result.out;
  EXPECT_EQ(messages[1].state, MRCP_REQUEST_STATE_INPROGRESS);
  EXPECT_EQ(messages[2].method, static_cast<mrcp_method_id>(SYNTHESIZER_BARGE_IN_OCCURRED));
  EXPECT_GE(messages[2].ms - messages[1].ms, 300);
  EXPECT_EQ(messages[3].status, 200);
  EXPECT_EQ(messages[4].method, static_cast<mrcp_method_id>(SYNTHESIZER_SPEAK));
  EXPECT_EQ(messages[6].type, MRCP_MESSAGE_TYPE_EVENT);
  EXPECT_EQ(messages[6].id, messages[4].id);
  // Some of the stopped prompt played, not all of it, then the whole second one.
  const std::size_t played = ReadFile(wav).size() - 44;
  EXPECT_TRUE(IsWave(wav, 8000, played));
  EXPECT_GT(played, 10u * 160u);
  EXPECT_LT(played, 300u * 160u);
  EXPECT_GE(ReadFile(root_ + "/timeline.wav").size(), played + 44) << "the timeline holds the audio and its gaps";

  // A STOP the plugin refuses stops nothing, and a plugin that breaks the
  // protocol fails the run with the rule named.
  const std::string refused = File("refused.mrcp",
                                   "@expect stopped\nMRCP/2.0 SPEAK\nContent-Type: text/plain\n\nkeep-playing\n---\n"
                                   "@send after IN-PROGRESS\n@expect any\nMRCP/2.0 STOP\n---\n"
                                   "MRCP/2.0 SPEAK\nContent-Type: text/plain\n\ntwice\n---\n"
                                   "@expect stopped\nMRCP/2.0 SPEAK\nContent-Type: text/plain\n\ndeaf\n---\n"
                                   "@send after IN-PROGRESS\nMRCP/2.0 STOP\n---\n"
                                   "@send 200 ms after COMPLETE\nMRCP/2.0 GET-PARAMS\n");
  const Result rogue = Run({"--plugin", PluginPath("rogue_plugin"), "--root", root_, "--request", refused});
  EXPECT_EQ(rogue.status, 1);
  EXPECT_NE(rogue.err.find("SPEAK 1 (" + refused + ":2): expected stopped, got 200 IN-PROGRESS, then SPEAK-COMPLETE"),
            std::string::npos)
      << rogue.err;
  EXPECT_NE(rogue.err.find("protocol violation: channel 0, request 3: nothing for a request after its final answer"),
            std::string::npos)
      << rogue.err;
  // A SPEAK whose audio goes on after the STOP that ended it was not stopped.
  EXPECT_NE(rogue.err.find("SPEAK 4 (" + refused + ":17): expected stopped, got stopped by request 5, then audio"),
            std::string::npos)
      << rogue.err;
  EXPECT_NE(rogue.err.find("protocol violation: channel 0, request 4: audio after the end"), std::string::npos);
}

TEST_F(CorvexHost, RequestWithoutFinalAnswerIsReportedAfterTheTimeout) {
  const std::string script =
      File("hang.mrcp", "MRCP/2.0 SPEAK\nContent-Type: text/plain\n\nsilent\n---\nMRCP/2.0 STOP\n");
  const Result result =
      Run({"--plugin", PluginPath("rogue_plugin"), "--root", root_, "--timeout", "1", "--request", script});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("SPEAK 1 (" + script +
                            ":1): expected SPEAK-COMPLETE with Completion-Cause 000, got no "
                            "final answer within 1 s (not even a response)"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("STOP 2 (" + script + ":6): expected a final answer, but it was not sent"),
            std::string::npos)
      << result.err;
  const std::vector<Printed> messages = Messages(result.out);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].sent);
}

TEST_F(CorvexHost, ExampleRequestFilesReadAsIntended) {
  const std::string dir = std::string(TARNWICKSS_SOURCE_DIR) + "/examples/requests/";
  const Result result =
      Run({"--check", "--request", dir + "speak-with-headers.mrcp", "--request", dir + "barge-in.mrcp"});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::regex kLine(R"(.*:\d+: ([A-Z-]+) (\d+), sent (.*), expecting (.*))");
  std::vector<std::string> lines;
  std::size_t pos = 0;
  for (std::size_t eol; (eol = result.out.find('\n', pos)) != std::string::npos; pos = eol + 1) {
    lines.push_back(result.out.substr(pos, eol - pos));
  }
  ASSERT_EQ(lines.size(), 5u) << result.out;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[3], m, kLine)) << lines[3];
  EXPECT_EQ(m[1], "BARGE-IN-OCCURRED");
  EXPECT_EQ(m[3], "800 ms after IN-PROGRESS of the previous request");
  ASSERT_TRUE(std::regex_match(lines[2], m, kLine)) << lines[2];
  EXPECT_EQ(m[4], "status 200 and stopped");

  // The server's own answers, whatever the plugin: 402, 404 (nothing stored), 410.
  const Result rules =
      Run({"--plugin", PluginPath("echo_plugin"), "--root", root_, "--fast", "--request", dir + "server-rules.mrcp"});
  EXPECT_EQ(rules.status, 0) << rules.err;
  std::vector<int> statuses;
  for (const Printed& p : Messages(rules.out)) {
    if (!p.sent && p.type == MRCP_MESSAGE_TYPE_RESPONSE) statuses.push_back(p.status);
  }
  EXPECT_EQ(statuses, (std::vector<int>{402, 404, 200, 410, 200})) << rules.out;
  EXPECT_NE(rules.out.find("Voice-Age: 30\r\nVoice-Name: default\r\n"), std::string::npos) << rules.out;
}

// The example request files against the local speech service, each ending
// as it expects (the barge-in one at real-time pace).
TEST_F(CorvexHost, TheExampleRequestsRunAgainstTheLocalService) {
  corvex_test::TestSpeechService service(corvex_test::TestSpeechService::Mode::kChildProcess);
  ASSERT_TRUE(service.ok()) << service.error();
  WriteFile(root_ + "/data/credentials.json", service.PluginCredentials());
  const std::string examples = std::string(TARNWICKSS_SOURCE_DIR) + "/examples/requests/";
  EXPECT_EQ(Run({"--root", root_, "--fast", "--request", examples + "speak-with-headers.mrcp"}).status, 0);
  EXPECT_EQ(Run({"--root", root_, "--request", examples + "barge-in.mrcp"}).status, 0);
  // At real-time pace a SPEAK whose audio came at once plays without a gap.
  const Result plain = Run({"--root", root_, "--speak", "Hello."});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(plain.err.find("): 0 underruns"), std::string::npos) << plain.err;
  // RFC 6787's own examples: GET-PARAMS answers what SET-PARAMS set, the SSML SPEAK completes.
  const Result result = Run({"--root", root_, "--fast", "--request", examples + "rfc6787.mrcp"});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::vector<Printed> rfc = Messages(result.out);
  ASSERT_EQ(rfc.size(), 7u) << result.out;
  // Vendor parameters never set are left out.
  EXPECT_NE(rfc[3].text.find("Voice-Gender: female\r\nVoice-Variant: 3\r\n\r\n"), std::string::npos) << rfc[3].text;
  EXPECT_EQ(rfc[6].cause, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
}

}  // namespace
