// corvex-host run as a user runs it: a subprocess with arguments, judged by
// its exit status, its stdout (every message re-read with the text form
// parser, so the printed lengths are checked too), its stderr and the WAVE
// files it writes. The real plugin speaks through the local speech service
// run as its own program; the echo test plugin stands in where audio must
// play to a script (a SPEAK plays a tone for as many frames as its body says)
// and the mute one where answers never come.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "corvex/mrcp_text.h"
#include "test_root.h"
#include "test_speech_service.h"

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
  int channel = -1;
  bool sent = false;
  mrcp_message_type_e type = MRCP_MESSAGE_TYPE_UNKNOWN;
  mrcp_method_id method = 0;  // requests: method; events: event id
  mrcp_request_id id = 0;
  int status = 0;
  mrcp_request_state_e state = MRCP_REQUEST_STATE_UNKNOWN;
  int cause = -1;  // -1: no Completion-Cause
  std::string channel_id;
  std::string text;
};

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

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

  // Runs corvex-host with args; stdout and stderr go to files in the root.
  Result Run(const std::vector<std::string>& args, std::chrono::seconds limit = std::chrono::seconds(120)) {
    const std::string out_path = root_ + "/stdout.txt";
    const std::string err_path = root_ + "/stderr.txt";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(CORVEX_HOST_PATH));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Result result;
    const pid_t pid = fork();
    if (pid == 0) {
      const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
      execv(CORVEX_HOST_PATH, argv.data());
      _exit(127);
    }
    EXPECT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int wstatus = 0;
    while (waitpid(pid, &wstatus, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
        ADD_FAILURE() << "corvex-host did not end within " << limit.count() << " s";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = ReadFile(out_path);
    result.err = ReadFile(err_path);
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
      p.channel = std::stoi(m[2]);
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
      p.channel_id.assign(message->channel_id.buf, message->channel_id.length);
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

  // Points the credentials file at a loopback port nothing listens on.
  void ServiceDown() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(s);
    const std::string base = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/v1/";
    WriteFile(root_ + "/data/credentials.json",
              "{\"client-id\": \"c\", \"client-key\": \"k\", \"voice-request-url-base\": \"" + base +
                  "voice\", \"text-request-url-base\": \"" + base + "text\"}");
  }

  apr_pool_t* pool_ = nullptr;
  std::string root_;
};

// Returns the sample rate and the data bytes of a canonical 44-byte-header WAVE file.
std::pair<std::uint32_t, std::uint32_t> WaveInfo(const std::string& path) {
  const std::string data = ReadFile(path);
  if (data.size() < 44 || data.compare(0, 4, "RIFF") != 0 || data.compare(36, 4, "data") != 0) return {0, 0};
  auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(data[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + 3])) << 24;
  };
  EXPECT_EQ(data.size(), 44u + u32(40)) << path;
  return {u32(24), u32(40)};
}

TEST_F(CorvexHost, BadUsageExitsWith2AndSendsNothing) {
  const std::string r = root_;
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--root"},
      {"--root", r, "--rate", "11025", "--speak", "x"},
      {"--root", r, "--channels", "0"},
      {"--root", r, "--channels", "101"},
      {"--root", r, "--log-level", "8"},
      {"--root", r, "--timeout", "0"},
      {"--speak", "no root given"},
      {"--root", r, "--header", "Voice-Name Kate", "--speak", "x"},
      {"--root", r, "--header", "Voice-Age: old", "--speak", "x"},
      {"--root", r, "--header", "Content-Length: 3", "--speak", "x"},
      {"--root", r, "--header", "Voice-Name: Kate"},
      {"--root", r, "stray"},
      {"--root", r, "--ssml", r + "/missing.xml"},
      {"--root", r, "--request", r + "/missing.mrcp"},
      {"--root", r, "--wav", r + "/no/such/dir/out.wav", "--speak", "x"},
      {"--root", r, "--log", r + "/no/such/dir/host.log"},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const std::string& a : args) line += a + " ";
    const Result result = Run(args);
    EXPECT_EQ(result.status, 2) << line << "\n" << result.err;
    EXPECT_EQ(result.out, "") << line;
    EXPECT_NE(result.err.find("corvex-host: "), std::string::npos) << line;
  }

  const Result help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--plugin", "--root", "--rate", "--channels", "--fast", "--speak", "--header", "--ssml",
                             "--uri-list", "--request", "--wav", "--wav-timeline", "--no-queue", "--log-level", "--log",
                             "@send", "@expect"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
}

TEST_F(CorvexHost, MalformedRequestFileIsReportedWithItsLineAndNothingIsSent) {
  const std::string good = "MRCP/2.0 GET-PARAMS\n---\n";
  struct Case {
    std::string text;
    std::string where;  // ":LINE: reason"
  };
  const std::vector<Case> cases = {
      {good + "MRCP/2.0 SPEAK\nContent-Type: text/plain\nVoice-Age: old\n\nHi\n", ":5: Voice-Age takes a number"},
      {good + "MRCP/2.0 SPEAK\nContent-Type: text/plain\n\nHi\nMRCP/2.0 STOP\n", ":7: a start line or directive"},
      {good + "@send soon\nMRCP/2.0 STOP\n", ":3: @send takes"},
      {good + "@expect stopped\nMRCP/2.0 STOP\n", ":4: @expect stopped is for a SPEAK"},
      {good + "@send after IN-PROGRESS\nMRCP/2.0 STOP\n", ":4: waits for IN-PROGRESS, which only a SPEAK gets"},
      {good + "MRCP/2.0 1 200 COMPLETE\n", ":3: a request file holds requests"},
      {"MRCP/2.0 STOP 5\n---\nMRCP/2.0 STOP 5\n", ":3: request id 5 does not rise"},
      {good + "MRCP/2.0 SPEAK\nContent-Length: 2\n\nHi there\n", ":6: text after the 2-byte body"},
      {good + "MRCP/2.0 STOP\n---\n@expect any\n", ":5: directives at the end of the file"},
      {good + "SPEAK please\n", ":3: expected a comment"},
      {good + "MRCP/2.0 SPEAK\nContent-Length: 20\n\nHi\n", ":6: the body has"},
  };
  for (const Case& c : cases) {
    const std::string path = File("bad.mrcp", c.text);
    const Result result = Run({"--root", root_, "--request", path});
    EXPECT_EQ(result.status, 2) << c.text;
    EXPECT_EQ(result.out, "") << c.text;
    EXPECT_NE(result.err.find(path + c.where), std::string::npos) << c.text << "\n---\n" << result.err;
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
  const std::vector<mrcp_method_id> methods = {SYNTHESIZER_GET_PARAMS, SYNTHESIZER_SET_PARAMS, SYNTHESIZER_PAUSE,
                                               SYNTHESIZER_RESUME,     SYNTHESIZER_STOP,       SYNTHESIZER_SPEAK};
  const std::vector<mrcp_request_id> ids = {1, 2, 10, 11, 12, 13};  // left out: one above the one before
  for (std::size_t k = 0; k < methods.size(); ++k) {
    const Printed& request = messages[2 * k];
    const Printed& response = messages[2 * k + 1];
    EXPECT_TRUE(request.sent);
    EXPECT_EQ(request.type, MRCP_MESSAGE_TYPE_REQUEST);
    EXPECT_EQ(request.method, methods[k]);
    EXPECT_EQ(request.id, ids[k]);
    EXPECT_FALSE(response.sent);
    EXPECT_EQ(response.type, MRCP_MESSAGE_TYPE_RESPONSE);
    EXPECT_EQ(response.id, ids[k]);
    EXPECT_EQ(response.state, MRCP_REQUEST_STATE_COMPLETE);
    EXPECT_EQ(response.status, k + 1 < methods.size() ? 200 : 409);
    EXPECT_EQ(response.channel_id, messages[0].channel_id);
    EXPECT_LE(request.ms, response.ms);
  }
  EXPECT_FALSE(messages[0].channel_id.empty());
  EXPECT_EQ(messages[11].cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
  EXPECT_GE(messages[6].ms - messages[4].ms, 300) << "RESUME is sent 300 ms after PAUSE";
  EXPECT_NE(messages[2].text.find("Vendor-Specific-Parameters: voice-name=\"Kate\";region=eu\r\n"), std::string::npos);
  // The file's last line end is not part of the body.
  EXPECT_NE(messages[10].text.find("Content-Length: 4\r\n\r\nRIFF"), std::string::npos) << messages[10].text;

  // The same file expecting what does not happen: exit status 1, and the report says what came instead.
  ASSERT_TRUE(ReplaceInFile(script, "@expect status 409", "@expect status 406"));
  const Result wrong = Run({"--root", root_, "--request", script});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("SPEAK 13 (" + script + ":20): expected status 406 and Completion-Cause 004, got 409 "
                           "COMPLETE with Completion-Cause 004 error"),
            std::string::npos)
      << wrong.err;
}

TEST_F(CorvexHost, SpeakWithHeadersAgainstAServiceThatIsDownFails) {
  ServiceDown();
  const std::string example = std::string(TARNWICKSS_SOURCE_DIR) + "/examples/requests/speak-with-headers.mrcp";
  const Result result = Run({"--root", root_, "--request", example, "--header", "Voice-Name: Kate", "--speak",
                             "One.", "--speak", "Two."});
  EXPECT_EQ(result.status, 1);
  const std::vector<Printed> messages = Messages(result.out);
  std::vector<Printed> sent;
  for (const Printed& p : messages) {
    if (p.sent) {
      sent.push_back(p);
      continue;
    }
    // Every SPEAK fails before it speaks, with its cause.
    EXPECT_EQ(p.type, MRCP_MESSAGE_TYPE_RESPONSE);
    EXPECT_GE(p.status, 400);
    EXPECT_EQ(p.cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
  }
  ASSERT_EQ(sent.size(), 4u) << result.out;
  EXPECT_EQ(messages.size(), 8u);
  for (const char* header : {"Content-Type: text/plain; charset=UTF-8\r\n", "Speech-Language: en-GB\r\n",
                             "Voice-Gender: female\r\n", "Voice-Name: Alice\r\n", "Prosody-Rate: 1.2\r\n",
                             "Prosody-Volume: loud\r\n", "Cache-Control: max-age=3600, min-fresh=10\r\n",
                             "Logging-Tag: example-call-0001\r\n",
                             "Vendor-Specific-Parameters: voice-name=\"Kate\";audio-as-url=false\r\n",
                             "\r\n\r\nThe quick brown fox jumps over the lazy dog."}) {
    EXPECT_NE(sent[0].text.find(header), std::string::npos) << header;
  }
  EXPECT_NE(sent[1].text.find("Content-Length: 135\r\n"), std::string::npos);
  for (std::size_t k : {2u, 3u}) {
    EXPECT_NE(sent[k].text.find("Content-Type: text/plain\r\n"), std::string::npos);
    EXPECT_NE(sent[k].text.find("Voice-Name: Kate\r\n"), std::string::npos);
  }
  EXPECT_NE(sent[3].text.find("\r\n\r\nTwo."), std::string::npos);
  EXPECT_NE(result.err.find("SPEAK 3 (--speak #1): expected SPEAK-COMPLETE with Completion-Cause 000, got 4"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("4 of 4 requests on 1 channel(s) did not end as expected"), std::string::npos);
}

TEST_F(CorvexHost, FourChannelsSpeakOneAfterTheOtherEachIntoItsOwnWave) {
  const Result result = Run({"--plugin", PluginPath("echo_plugin"), "--root", root_, "--channels", "4", "--rate",
                             "16000", "--fast", "--wav", root_ + "/out.wav", "--speak", "30", "--speak", "20"});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::vector<Printed> messages = Messages(result.out);
  ASSERT_EQ(messages.size(), 4u * 6u) << result.out;
  std::vector<std::string> channel_ids;
  for (int c = 0; c < 4; ++c) {
    std::vector<Printed> own;
    for (const Printed& p : messages)
      if (p.channel == c) own.push_back(p);
    ASSERT_EQ(own.size(), 6u) << "channel " << c;
    // Per SPEAK: sent, 200 IN-PROGRESS, SPEAK-COMPLETE 000; the second only after the first completed.
    for (int s = 0; s < 2; ++s) {
      EXPECT_TRUE(own[3 * s].sent);
      EXPECT_EQ(own[3 * s + 1].state, MRCP_REQUEST_STATE_INPROGRESS);
      EXPECT_EQ(own[3 * s + 2].type, MRCP_MESSAGE_TYPE_EVENT);
      EXPECT_EQ(own[3 * s + 2].method, static_cast<mrcp_method_id>(SYNTHESIZER_SPEAK_COMPLETE));
      EXPECT_EQ(own[3 * s + 2].cause, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
    }
    EXPECT_LE(own[2].ms, own[3].ms);
    channel_ids.push_back(own[0].channel_id);
    // 50 frames of 10 ms at 16000 Hz, 16-bit.
    const auto wave = WaveInfo(root_ + "/out-" + std::to_string(c) + ".wav");
    EXPECT_EQ(wave.first, 16000u);
    EXPECT_EQ(wave.second, 50u * 320u);
  }
  std::sort(channel_ids.begin(), channel_ids.end());
  EXPECT_EQ(std::unique(channel_ids.begin(), channel_ids.end()), channel_ids.end()) << "each channel its own id";
  EXPECT_FALSE(fs::exists(root_ + "/out.wav"));
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
  const auto wave = WaveInfo(wav);
  EXPECT_EQ(wave.first, 8000u);
  EXPECT_GT(wave.second, 10u * 160u);
  EXPECT_LT(wave.second, 300u * 160u);
  EXPECT_GE(WaveInfo(root_ + "/timeline.wav").second, wave.second) << "the timeline holds the audio and its gaps";

  // Played as fast as frames can be pulled, the prompt is over before the
  // barge-in: the expectation fails, and the program says so.
  const Result fast = Run({"--plugin", PluginPath("echo_plugin"), "--root", root_, "--request", script, "--fast"});
  EXPECT_EQ(fast.status, 1);
  EXPECT_NE(fast.err.find("SPEAK 1 (" + script + ":2): expected stopped, got 200 IN-PROGRESS, then SPEAK-COMPLETE "
                          "with Completion-Cause 000 normal"),
            std::string::npos)
      << fast.err;

  // A STOP the plugin refuses stops nothing, and a plugin that breaks the
  // protocol fails the run with the rule named.
  const std::string refused = File("refused.mrcp",
                                   "@expect stopped\nMRCP/2.0 SPEAK\nContent-Type: text/plain\n\nkeep-playing\n---\n"
                                   "@send after IN-PROGRESS\n@expect any\nMRCP/2.0 STOP\n---\n"
                                   "MRCP/2.0 SPEAK\nContent-Type: text/plain\n\ntwice\n");
  const Result rogue = Run({"--plugin", PluginPath("rogue_plugin"), "--root", root_, "--request", refused});
  EXPECT_EQ(rogue.status, 1);
  EXPECT_NE(rogue.err.find("SPEAK 1 (" + refused + ":2): expected stopped, got 200 IN-PROGRESS, then SPEAK-COMPLETE"),
            std::string::npos)
      << rogue.err;
  EXPECT_NE(rogue.err.find("protocol violation: channel 0, request 3: nothing for a request after its final answer"),
            std::string::npos)
      << rogue.err;
}

TEST_F(CorvexHost, RequestWithoutFinalAnswerIsReportedAfterTheTimeout) {
  const std::string script = File("hang.mrcp", "MRCP/2.0 SPEAK\nContent-Type: text/plain\n\nHello\n---\nMRCP/2.0 STOP\n");
  const Result result = Run({"--plugin", PluginPath("mute_plugin"), "--root", root_, "--timeout", "1", "--request",
                             script});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("SPEAK 1 (" + script + ":1): expected SPEAK-COMPLETE with Completion-Cause 000, got no "
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
  const Result result = Run({"--check", "--request", dir + "speak-with-headers.mrcp", "--request", dir + "barge-in.mrcp"});
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
}

TEST_F(CorvexHost, TheLocalServiceSpeaksPlainTextExamplesAndFourChannels) {
  corvex_test::TestSpeechService service(corvex_test::TestSpeechService::Mode::kChildProcess);
  ASSERT_TRUE(service.ok()) << service.error();
  WriteFile(root_ + "/data/credentials.json", service.PluginCredentials());
  // Seconds of speech in a WAVE file at `rate`, after checking it is not silence.
  auto speech_seconds = [](const std::string& wav, std::uint32_t rate) {
    const auto wave = WaveInfo(wav);
    EXPECT_EQ(wave.first, rate) << wav;
    const std::string data = ReadFile(wav).substr(44);
    double sum = 0;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
      const auto sample = static_cast<std::int16_t>(static_cast<unsigned char>(data[i]) |
                                                    static_cast<unsigned char>(data[i + 1]) << 8);
      sum += static_cast<double>(sample) * sample;
    }
    EXPECT_GT(std::sqrt(sum / static_cast<double>(data.size() / 2 + 1)), 300.0) << wav << ": speech, not silence";
    return wave.second / 2.0 / rate;
  };

  const std::string narrow = root_ + "/speech-8000.wav";
  Result result = Run({"--root", root_, "--rate", "8000", "--fast", "--speak", "Hello from the local speech service.",
                       "--wav", narrow});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_GT(speech_seconds(narrow, 8000), 1.0);
  EXPECT_LT(speech_seconds(narrow, 8000), 6.0);

  // Every header of the example reaches the plugin and both SPEAKs complete.
  const std::string examples = std::string(TARNWICKSS_SOURCE_DIR) + "/examples/requests/";
  result = Run({"--root", root_, "--fast", "--request", examples + "speak-with-headers.mrcp"});
  EXPECT_EQ(result.status, 0) << result.err;
  int completes = 0;
  for (const Printed& p : Messages(result.out))
    if (!p.sent && p.type == MRCP_MESSAGE_TYPE_EVENT && p.method == SYNTHESIZER_SPEAK_COMPLETE && p.cause == 0)
      ++completes;
  EXPECT_GE(completes, 2);

  // The barge-in example at real-time pace: the SPEAK is stopped, not completed.
  result = Run({"--root", root_, "--request", examples + "barge-in.mrcp"});
  EXPECT_EQ(result.status, 0) << result.err;

  // RFC 6787's own examples: GET-PARAMS answers what SET-PARAMS set, the SSML SPEAK completes.
  result = Run({"--root", root_, "--fast", "--request", examples + "rfc6787.mrcp"});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::vector<Printed> rfc = Messages(result.out);
  ASSERT_EQ(rfc.size(), 7u) << result.out;
  EXPECT_NE(rfc[3].text.find("Voice-Gender: female\r\nVoice-Variant: 3\r\nVendor-Specific-Parameters:\r\n"),
            std::string::npos)
      << rfc[3].text;
  EXPECT_EQ(rfc[6].cause, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);

  // Four channels at once, each with its own speech in its own WAVE file.
  result = Run({"--root", root_, "--channels", "4", "--rate", "16000", "--fast", "--speak", "Four at once.", "--wav",
                root_ + "/four.wav"});
  EXPECT_EQ(result.status, 0) << result.err;
  for (int c = 0; c < 4; ++c) EXPECT_GT(speech_seconds(root_ + "/four-" + std::to_string(c) + ".wav", 16000), 0.3) << c;
}

}  // namespace
