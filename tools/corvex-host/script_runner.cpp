// The script runner: one control thread drives every channel.
//
// The loop takes the host's new messages, then, per channel, notes audio
// progress, ends waits that made no progress for too long, and sends every
// request whose moment has come; then it sleeps until a message arrives, the
// next request is due, or 100 ms have passed (for progress and time-outs).
// Each channel walks its requests of the script (all but those @channel
// gives another channel) on its own: the requests it has sent and how each
// has ended so far are its Outcomes, indexed like its walk.
#include "script_runner.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <map>
#include <memory>

#include "corvex/host_runtime.hpp"
#include "corvex/mrcp_text.h"

namespace corvex_host {

namespace {

using corvex::HostEvent;

constexpr apr_time_t kPollUs = 100 * 1000;

// Counts the audio frames of each channel, the sign of progress while a long
// SPEAK plays, and hands every frame on to the WAVE files (when there are any).
class ProgressSink : public corvex::FrameSink {
 public:
  ProgressSink(int channels, corvex::FrameSink* next) : counts_(static_cast<std::size_t>(channels)), next_(next) {}
  void OnFrame(int channel, const mpf_frame_t& frame) override {
    if ((frame.type & MEDIA_FRAME_TYPE_AUDIO) && channel >= 0 && static_cast<std::size_t>(channel) < counts_.size()) {
      counts_[channel].fetch_add(1, std::memory_order_relaxed);
    }
    if (next_) next_->OnFrame(channel, frame);
  }
  std::uint64_t audio_frames(int channel) const { return counts_[channel].load(std::memory_order_relaxed); }

 private:
  std::vector<std::atomic<std::uint64_t>> counts_;  // one per channel, written by its media thread
  corvex::FrameSink* next_;
};

enum class Ending : std::uint8_t { kNone, kResponse, kSpeakComplete, kStopped, kRefused, kTimedOut };

// What became of one request of one channel. A run keeps one per request
// sent (100 channels x 100 SPEAKs: 10,000), so the fields are packed and
// the rare message after a final answer is kept beside them.
struct Outcome {
  apr_time_t sent_us = 0;
  apr_time_t in_progress_us = 0;
  apr_time_t marker_us = 0;
  apr_time_t final_us = 0;
  int status = 0;
  int cause = 0;
  mrcp_request_id stopped_by = 0;
  Ending ending = Ending::kNone;
  bool sent = false;
  bool responded = false;
  bool in_progress = false;
  bool marker = false;
  bool has_cause = false;
  bool refused = false;  // the plugin did not take it; the host answered
};

struct ChannelRun {
  int index = -1;
  apr_time_t start_us = 0;
  apr_time_t last_progress_us = 0;
  std::uint64_t frames_seen = 0;
  std::vector<std::size_t> items;  // the script requests this channel sends, in order
  std::size_t next = 0;            // the one of them to send next
  std::vector<Outcome> outcomes;   // one per item
  std::map<std::size_t, std::string> after_final;  // item: the first message that came after its final answer
  std::string halted;              // why the rest of the script was not sent
};

// Where the file name's extension starts (its end when it has none).
std::size_t ExtensionAt(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  return dot == std::string::npos || dot <= name ? path.size() : dot;
}

std::string CauseText(int cause) {
  char code[8];
  std::snprintf(code, sizeof(code), "%03d", cause);
  const char* name = mrcp_synth_completion_cause_get(static_cast<mrcp_synth_completion_cause_e>(cause), MRCP_VERSION_2);
  return std::string("Completion-Cause ") + code + (name ? std::string(" ") + name : std::string());
}

class Runner {
 public:
  Runner(const RunOptions& options, const std::vector<ScriptRequest>& script, std::FILE* out, std::FILE* err)
      : options_(options), script_(script), out_(out), err_(err) {}
  int Run();

 private:
  bool Open();
  void Handle(const HostEvent& event);
  // Sends what is due on the channel; returns the time the next request
  // will be due, or 0 when that is not known yet.
  apr_time_t SendDue(ChannelRun& run, apr_time_t now);
  // Tells when request k is due, once that is known; *late is set when the
  // event it waits for can no longer come and its final answer stands in.
  bool Due(const ChannelRun& run, std::size_t k, apr_time_t* due, bool* late) const;
  void Send(ChannelRun& run, std::size_t k);
  void CheckProgress(ChannelRun& run, apr_time_t now);
  bool Done(const ChannelRun& run) const;
  void Print(apr_time_t time_us, int channel, const char* direction, const std::string& text);
  std::string Judge(const ChannelRun& run, std::size_t k) const;
  std::string Got(const Outcome& outcome) const;
  const ScriptRequest& Item(const ChannelRun& run, std::size_t k) const { return script_[run.items[k]]; }

  const RunOptions& options_;
  const std::vector<ScriptRequest>& script_;
  std::FILE* out_;
  std::FILE* err_;
  std::unique_ptr<corvex::WaveFileSink> wave_;
  std::unique_ptr<corvex::WaveFileSink> timeline_;
  std::unique_ptr<ProgressSink> progress_;
  std::unique_ptr<corvex::Host> host_;  // last: it stops the media threads before the sinks go
  std::vector<ChannelRun> runs_;
  std::vector<corvex::ProtocolViolation> violations_;  // once the run is over
};

bool Runner::Open() {
  for (const ScriptRequest& item : script_) {
    if (item.channel >= options_.channels) {
      std::fprintf(err_, "corvex-host: %s: @channel %d, but only %d channel(s) are opened (--channels)\n",
                   item.origin.c_str(), item.channel, options_.channels);
      return false;
    }
  }
  if (!options_.wav.empty()) {
    // The sink names the channel files from a "%d" pattern, as WavePaths does.
    std::string pattern = options_.wav;
    if (options_.channels > 1) pattern.insert(ExtensionAt(pattern), "-%d");
    wave_ = std::make_unique<corvex::WaveFileSink>(pattern, options_.rate);
  }
  if (!options_.wav_timeline.empty()) {
    std::string pattern = options_.wav_timeline;
    if (options_.channels > 1) pattern.insert(ExtensionAt(pattern), "-%d");
    timeline_ = std::make_unique<corvex::WaveFileSink>(pattern, options_.rate, /*gaps_as_silence=*/true);
  }
  progress_ = std::make_unique<ProgressSink>(options_.channels, wave_.get());
  corvex::HostConfig config;
  config.root = options_.root;
  config.max_channel_count = std::max<std::size_t>(100, static_cast<std::size_t>(options_.channels));
  config.queue_speaks = !options_.no_queue;
  host_ = std::make_unique<corvex::Host>(config);
  if (!host_->LoadPlugin(options_.plugin)) {
    std::fprintf(err_, "corvex-host: cannot load the plugin %s (the log says why)\n", options_.plugin.c_str());
    return false;
  }
  // The plugin stays mapped until the program exits. Libraries it pulls in
  // keep memory in their globals (OpenMP's runtime, through the resampler,
  // does), which would read as leaks once unmapped; and a program about to
  // exit gains nothing from unmapping. Its engine is still destroyed in order.
  if (void* pin = dlopen(options_.plugin.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(pin);
  if (!host_->OpenEngine()) {
    std::fprintf(err_,
                 "corvex-host: the plugin's engine did not open (the log says why; it needs %s/conf/tarnwickss.xml "
                 "and the credentials file it names)\n",
                 options_.root.c_str());
    return false;
  }
  for (int c = 0; c < options_.channels; ++c) {
    int index = host_->CreateChannel(options_.rate);
    if (index < 0 || !host_->OpenChannel(index) ||
        !host_->StartMedia(index, progress_.get(), !options_.fast, timeline_.get())) {
      std::fprintf(err_, "corvex-host: channel %d at %u Hz could not be opened (the log says why)\n", c, options_.rate);
      return false;
    }
    ChannelRun run;
    run.index = index;
    run.start_us = apr_time_now();
    run.last_progress_us = run.start_us;
    for (std::size_t k = 0; k < script_.size(); ++k) {
      if (script_[k].channel < 0 || script_[k].channel == c) run.items.push_back(k);
    }
    run.outcomes.resize(run.items.size());
    runs_.push_back(run);
  }
  return true;
}

void Runner::Print(apr_time_t time_us, int channel, const char* direction, const std::string& text) {
  const long long ms = std::max<long long>(0, (time_us - options_.start_us) / 1000);
  std::fprintf(out_, "%lld ms channel %d %s\n", ms, channel, direction);
  std::fwrite(text.data(), 1, text.size(), out_);
  if (text.empty() || text.back() != '\n') std::fputc('\n', out_);
  std::fflush(out_);
}

void Runner::Handle(const HostEvent& event) {
  if (event.kind != HostEvent::Kind::Message || event.channel < 0) return;
  auto it = std::find_if(runs_.begin(), runs_.end(), [&](const ChannelRun& r) { return r.index == event.channel; });
  if (it == runs_.end()) return;
  ChannelRun& run = *it;
  Print(event.time_us, run.index, "received",
        event.text.empty()
            ? "(a message without MRCPv2 text form, for request " + std::to_string(event.request_id) + ")"
            : event.text);
  run.last_progress_us = std::max(run.last_progress_us, event.time_us);
  // The request with that id, the newest one still open when @raw ids repeat.
  std::size_t k = run.items.size();
  for (std::size_t s = run.items.size(); s-- > 0;) {
    if (!run.outcomes[s].sent || Item(run, s).id != event.request_id) continue;
    if (k == run.items.size()) k = s;
    if (run.outcomes[s].ending == Ending::kNone) {
      k = s;
      break;
    }
  }
  if (k == run.items.size()) {
    std::fprintf(err_, "corvex-host: channel %d: a message for request %" PRIu32 ", which was not sent\n", run.index,
                 event.request_id);
    return;
  }
  Outcome& outcome = run.outcomes[k];
  if (outcome.ending != Ending::kNone && outcome.ending != Ending::kTimedOut && !run.after_final.count(k)) {
    const std::string first_line = event.text.substr(0, event.text.find('\r'));
    run.after_final[k] = first_line.empty() ? "a message" : "\"" + first_line + "\"";
  }
  if (event.message_type == MRCP_MESSAGE_TYPE_RESPONSE) {
    if (!outcome.responded) {
      outcome.responded = true;
      outcome.status = static_cast<int>(event.status_code);
    }
    if (event.request_state == MRCP_REQUEST_STATE_INPROGRESS && !outcome.in_progress) {
      outcome.in_progress = true;
      outcome.in_progress_us = event.time_us;
    } else if (event.request_state == MRCP_REQUEST_STATE_COMPLETE && outcome.ending == Ending::kNone) {
      outcome.ending = Ending::kResponse;
      outcome.final_us = event.time_us;
      outcome.has_cause = event.has_completion_cause;
      outcome.cause = static_cast<int>(event.completion_cause);
      // A successful STOP or BARGE-IN-OCCURRED ends the SPEAKs its
      // Active-Request-Id-List names; they get nothing more.
      for (mrcp_request_id ended : event.ended) {
        for (std::size_t s = 0; s < k; ++s) {
          Outcome& speak = run.outcomes[s];
          if (Item(run, s).id == ended && speak.sent && speak.ending == Ending::kNone) {
            speak.ending = Ending::kStopped;
            speak.final_us = event.time_us;
            speak.stopped_by = Item(run, k).id;
          }
        }
      }
    }
  } else if (event.message_type == MRCP_MESSAGE_TYPE_EVENT) {
    if (event.method_id == SYNTHESIZER_SPEECH_MARKER && !outcome.marker) {
      outcome.marker = true;
      outcome.marker_us = event.time_us;
    } else if (event.method_id == SYNTHESIZER_SPEAK_COMPLETE && outcome.ending == Ending::kNone) {
      outcome.ending = Ending::kSpeakComplete;
      outcome.final_us = event.time_us;
      outcome.has_cause = event.has_completion_cause;
      outcome.cause = static_cast<int>(event.completion_cause);
    }
  }
}

bool Runner::Due(const ChannelRun& run, std::size_t k, apr_time_t* due, bool* late) const {
  *late = false;
  const Trigger& trigger = Item(run, k).trigger;
  const apr_time_t delay = static_cast<apr_time_t>(trigger.delay.count()) * 1000;
  if (k == 0) {
    *due = run.start_us + delay;
    return true;
  }
  const Outcome& previous = run.outcomes[k - 1];
  bool happened = false;
  apr_time_t at = 0;
  switch (trigger.after) {
    case Trigger::After::kSent:
      *due = previous.sent_us + delay;
      return true;
    case Trigger::After::kFinalAnswer:
      happened = previous.ending != Ending::kNone;
      at = previous.final_us;
      break;
    case Trigger::After::kInProgress:
      happened = previous.in_progress;
      at = previous.in_progress_us;
      break;
    case Trigger::After::kSpeechMarker:
      happened = previous.marker;
      at = previous.marker_us;
      break;
    case Trigger::After::kSpeakComplete:
      happened = previous.ending == Ending::kSpeakComplete;
      at = previous.final_us;
      break;
  }
  if (!happened && previous.ending != Ending::kNone) {
    // The event can no longer come: the scenario goes on from the final answer.
    *late = true;
    happened = true;
    at = previous.final_us;
  }
  if (!happened) return false;
  *due = at + delay;
  return true;
}

void Runner::Send(ChannelRun& run, std::size_t k) {
  const ScriptRequest& item = Item(run, k);
  Outcome& outcome = run.outcomes[k];
  outcome.sent = true;
  outcome.sent_us = apr_time_now();
  run.last_progress_us = outcome.sent_us;
  mrcp_message_t* request = host_->CreateRequest(run.index, item.method);
  mrcp_text_error_t error;
  mrcp_message_t* parsed = request ? mrcp_text_parse(item.text.data(), item.text.size(), MRCP_TEXT_BODY_TO_END,
                                                     request->pool, nullptr, &error)
                                   : nullptr;
  if (!parsed) {
    // The script was checked before anything was sent; this is only a host refusal.
    std::fprintf(err_, "corvex-host: channel %d: %s: the host could not make the request\n", run.index,
                 item.origin.c_str());
    outcome.ending = Ending::kRefused;
    outcome.final_us = outcome.sent_us;
    return;
  }
  // The request keeps its place in the host's books; only its content is the file's.
  parsed->start_line.request_id = item.id;
  parsed->channel_id = request->channel_id;
  *request = *parsed;
  std::string text(mrcp_text_render(request, nullptr, 0) + 1, '\0');
  text.resize(mrcp_text_render(request, &text[0], text.size()));
  Print(outcome.sent_us, run.index, "sent", text);
  // A request the plugin refuses is answered by the host (407): that answer ends it.
  if (!host_->SendRequest(run.index, request)) outcome.refused = true;
}

apr_time_t Runner::SendDue(ChannelRun& run, apr_time_t now) {
  while (run.next < run.items.size()) {
    apr_time_t due = 0;
    bool late = false;
    if (!Due(run, run.next, &due, &late)) return 0;
    if (due > now) return due;
    if (late) {
      std::fprintf(err_,
                   "corvex-host: channel %d: %s: the event it waits for never came; sent after the final answer\n",
                   run.index, Item(run, run.next).origin.c_str());
    }
    Send(run, run.next++);
    now = apr_time_now();
  }
  return 0;
}

void Runner::CheckProgress(ChannelRun& run, apr_time_t now) {
  const std::uint64_t frames = progress_->audio_frames(run.index);
  if (frames != run.frames_seen) {
    run.frames_seen = frames;
    run.last_progress_us = now;
  }
  const bool waiting = std::any_of(run.outcomes.begin(), run.outcomes.begin() + run.next,
                                   [](const Outcome& o) { return o.sent && o.ending == Ending::kNone; });
  if (!waiting || now - run.last_progress_us < apr_time_from_sec(options_.timeout.count())) return;
  for (std::size_t k = 0; k < run.next; ++k) {
    if (run.outcomes[k].sent && run.outcomes[k].ending == Ending::kNone) {
      run.outcomes[k].ending = Ending::kTimedOut;
      run.outcomes[k].final_us = now;
    }
  }
  if (run.next < run.items.size()) {
    run.halted = "an earlier request got no final answer";
    run.next = run.items.size();
  }
}

bool Runner::Done(const ChannelRun& run) const {
  return run.next == run.items.size() && std::none_of(run.outcomes.begin(), run.outcomes.end(), [](const Outcome& o) {
           return o.sent && o.ending == Ending::kNone;
         });
}

std::string Runner::Got(const Outcome& o) const {
  switch (o.ending) {
    case Ending::kResponse:
      return std::to_string(o.status) + " COMPLETE" + (o.has_cause ? " with " + CauseText(o.cause) : "");
    case Ending::kSpeakComplete:
      return (o.responded ? std::to_string(o.status) + " IN-PROGRESS, then " : std::string()) + "SPEAK-COMPLETE" +
             (o.has_cause ? " with " + CauseText(o.cause) : " without Completion-Cause");
    case Ending::kStopped:
      return "stopped by request " + std::to_string(o.stopped_by);
    case Ending::kRefused:
      return "nothing: the host could not make the request";
    case Ending::kTimedOut:
      return std::string("no final answer within ") + std::to_string(options_.timeout.count()) + " s" +
             (o.in_progress ? " (it was IN-PROGRESS)"
              : o.responded ? ""
                            : " (not even a response)");
    case Ending::kNone:
      break;
  }
  return "nothing";
}

std::string Runner::Judge(const ChannelRun& run, std::size_t k) const {
  const ScriptRequest& item = Item(run, k);
  const Outcome& o = run.outcomes[k];
  const std::string expected = Describe(item.expectations, item.method);
  if (!o.sent) return "expected " + expected + ", but it was not sent: " + run.halted;
  if (o.ending == Ending::kRefused || o.ending == Ending::kTimedOut || o.ending == Ending::kNone) {
    return "expected " + expected + ", got " + Got(o);
  }
  if (auto after = run.after_final.find(k); after != run.after_final.end()) {
    return "expected " + expected + ", got " + Got(o) + ", then " + after->second;
  }
  if (o.refused && std::none_of(item.expectations.begin(), item.expectations.end(), [](const Expectation& e) {
        return e.kind == Expectation::Kind::kStatus && e.value == MRCP_STATUS_CODE_METHOD_FAILED;
      })) {
    return "expected " + expected + ", got a refusal: the plugin did not take the request (the host answered " +
           Got(o) + ")";
  }
  std::vector<Expectation> expectations = item.expectations;
  if (expectations.empty()) {
    Expectation normal;
    normal.kind = item.method == SYNTHESIZER_SPEAK ? Expectation::Kind::kCompletionCause : Expectation::Kind::kAny;
    expectations.push_back(normal);
  }
  for (const Expectation& e : expectations) {
    bool met = true;
    switch (e.kind) {
      case Expectation::Kind::kStatus:
        met = o.responded && o.status == e.value;
        break;
      case Expectation::Kind::kCompletionCause:
        met =
            (o.ending == Ending::kSpeakComplete || o.ending == Ending::kResponse) && o.has_cause && o.cause == e.value;
        break;
      case Expectation::Kind::kStopped:
        // Stopped means silent from the response that said so.
        for (const corvex::ProtocolViolation& v : violations_) {
          if (v.rule == corvex::ProtocolViolation::kAudioAfterEnd && v.channel == run.index &&
              v.request_id == item.id) {
            return "expected " + expected + ", got " + Got(o) + ", then audio after its end";
          }
        }
        met = o.ending == Ending::kStopped;
        break;
      case Expectation::Kind::kAny:
        break;
    }
    if (!met) return "expected " + expected + ", got " + Got(o);
  }
  return std::string();
}

int Runner::Run() {
  if (!Open()) return 1;
  for (;;) {
    // Taken, not copied: the host keeps nothing a long run would pile up.
    for (const HostEvent& event : host_->TakeEvents()) Handle(event);
    apr_time_t now = apr_time_now();
    apr_time_t wake = now + kPollUs;
    bool done = true;
    for (ChannelRun& run : runs_) {
      CheckProgress(run, now);
      apr_time_t due = SendDue(run, now);
      if (due) wake = std::min(wake, due);
      done = done && Done(run);
    }
    if (done) break;
    now = apr_time_now();
    const auto wait = std::chrono::milliseconds(wake > now ? (wake - now + 999) / 1000 : 0);
    host_->WaitFor([](const std::vector<HostEvent>& arrived) { return !arrived.empty(); }, wait);
  }

  // Underruns are the host's per channel: read them before the channels go.
  for (ChannelRun& run : runs_) {
    for (std::size_t k = 0; k < run.items.size(); ++k) {
      const Outcome& o = run.outcomes[k];
      const ScriptRequest& item = Item(run, k);
      if (item.method != SYNTHESIZER_SPEAK || !o.sent) continue;
      const std::uint64_t underruns = host_->Underruns(run.index, item.id);
      // Unpaced, the media thread outruns any synthesis: only a paced run has gaps a caller would hear.
      if (!options_.fast && (o.in_progress || o.ending == Ending::kSpeakComplete || o.ending == Ending::kStopped)) {
        std::fprintf(err_, "corvex-host: channel %d: SPEAK %" PRIu32 " (%s): %" PRIu64 " underrun%s\n", run.index,
                     item.id, item.origin.c_str(), underruns, underruns == 1 ? "" : "s");
      }
    }
  }
  // Close everything now, so that what the plugin does at a close is checked too.
  host_->CloseEngine();
  for (const HostEvent& event : host_->TakeEvents()) Handle(event);
  violations_ = host_->Violations();
  const std::vector<corvex::ProtocolViolation>& violations = violations_;
  for (const corvex::ProtocolViolation& v : violations) {
    std::fprintf(err_, "corvex-host: protocol violation: %s%s: %s (%s)\n",
                 v.channel < 0 ? "the engine" : ("channel " + std::to_string(v.channel)).c_str(),
                 v.request_id ? (", request " + std::to_string(v.request_id)).c_str() : "", v.rule.c_str(),
                 v.detail.c_str());
  }
  const std::vector<int> unclosed = host_->UnclosedChannels();
  for (int index : unclosed) {
    std::fprintf(err_, "corvex-host: channel %d was not closed: the plugin never acknowledged its close\n", index);
  }

  std::size_t failed = 0, total = 0;
  for (const ChannelRun& run : runs_) {
    total += run.items.size();
    for (std::size_t k = 0; k < run.items.size(); ++k) {
      const std::string failure = Judge(run, k);
      if (failure.empty()) continue;
      ++failed;
      const ScriptRequest& item = Item(run, k);
      std::fprintf(err_, "corvex-host: channel %d: %s %" PRIu32 " (%s): %s\n", run.index,
                   mrcp_synth_method_name_get(item.method), item.id, item.origin.c_str(), failure.c_str());
    }
  }
  if (total == 0) {
    std::fprintf(err_, "corvex-host: the plugin loaded and %d channel(s) opened; there were no requests to send\n",
                 options_.channels);
  } else if (failed == 0) {
    std::fprintf(err_, "corvex-host: all %zu requests on %d channel(s) ended as expected\n", total, options_.channels);
  } else {
    std::fprintf(err_, "corvex-host: %zu of %zu requests on %d channel(s) did not end as expected\n", failed, total,
                 options_.channels);
  }
  if (!violations.empty()) {
    std::fprintf(err_, "corvex-host: the plugin broke the protocol %zu time(s)\n", violations.size());
  }
  return failed == 0 && violations.empty() && unclosed.empty() ? 0 : 1;
}

}  // namespace

std::vector<std::string> WavePaths(const std::string& path, int channels) {
  std::vector<std::string> paths;
  if (path.empty()) return paths;
  if (channels <= 1) return {path};
  const std::size_t dot = ExtensionAt(path);
  for (int c = 0; c < channels; ++c) paths.push_back(path.substr(0, dot) + "-" + std::to_string(c) + path.substr(dot));
  return paths;
}

int RunScript(const RunOptions& options, const std::vector<ScriptRequest>& script, std::FILE* out, std::FILE* err) {
  return Runner(options, script, out, err).Run();
}

}  // namespace corvex_host
