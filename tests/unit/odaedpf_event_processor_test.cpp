// The soft event processor with its real worker thread. Every wait is for a
// condition, with a generous limit, except one pause that counts an idle
// worker's wake-ups.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "OdaEdpfGlobal.h"
#include "OdaEdpfSoftEventProcessor.h"
#include "OdaEdpfTimer.h"
#include "OdaEdpfTimerQueue.h"
#include "journal.h"

using namespace OdaEdpf;

namespace {

using corvex_test::Journal;

Journal* g_journal;

// Notes its processing and its deletion; with a gate, holds the worker in
// Process() until the gate opens.
class NoteEvent : public AsyncEvent {
 public:
  explicit NoteEvent(std::string name, std::shared_future<void> gate = {}) : name_(std::move(name)), gate_(gate) {}
  void Process() override {
    g_journal->Add(name_);
    if (gate_.valid()) gate_.wait();
  }

 private:
  ~NoteEvent() override { g_journal->Add("~" + name_); }
  const std::string name_;
  const std::shared_future<void> gate_;
};

class NoteObserver : public SoftEventProcessor::Observer {
 public:
  explicit NoteObserver(std::string name, bool accept = true) : name_(std::move(name)), accept_(accept) {}
  bool OnStart(SoftEventProcessor*) override {
    g_journal->Add("start " + name_);
    return accept_;
  }
  void OnShutdown(SoftEventProcessor*) override { g_journal->Add("shutdown " + name_); }

 private:
  const std::string name_;
  const bool accept_;
};

class NoteTimerHandler : public TimerHandler {
 public:
  explicit NoteTimerHandler(std::string note = "timer") : note_(std::move(note)) {}
  void OnTimeoutElapsed(Timer*) override { g_journal->Add(note_); }

 private:
  const std::string note_;
};

// Keeps the worker busy: posts its successor until a "busy timer" has fired,
// at most `left` times, then notes "idle".
class BusyEvent : public AsyncEvent {
 public:
  BusyEvent(SoftEventProcessor* processor, int left) : processor_(processor), left_(left) {}
  void Process() override {
    if (left_ > 0 && !g_journal->Has("busy timer")) {
      processor_->PostEvent(new BusyEvent(processor_, left_ - 1));
    } else {
      g_journal->Add("idle");
    }
  }

 private:
  SoftEventProcessor* const processor_;
  const int left_;
};

// The worker reads its timers' clock once at every wake-up with timers
// queued; the processor counts those readings.
std::atomic<int> g_clock_readings{0};
apr_time_t CountedClock() {
  ++g_clock_readings;
  return apr_time_now();
}
class ClockCountingProcessor : public SoftEventProcessor {
 public:
  ClockCountingProcessor() { GetTimerQueue()->SetClock(CountedClock); }
};

class EventProcessorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(GlobalInit()); }
  static void TearDownTestSuite() { GlobalDeinit(); }
  EventProcessorTest() { g_journal = &journal_; }

  void Post(const std::string& name, std::shared_future<void> gate = {}) {
    EXPECT_TRUE(processor_.PostEvent(new NoteEvent(name, gate)));
  }
  // Holds the worker in an event until gate_ is set.
  void Hold() {
    Post("gate", gate_.get_future().share());
    journal_.WaitFor("gate");
  }

  Journal journal_;
  ClockCountingProcessor processor_;
  std::promise<void> gate_;
};

TEST_F(EventProcessorTest, EventsRunInPostingOrderOfEachPoster) {
  ASSERT_TRUE(processor_.Start());
  // With no timers an idle worker waits without a limit: a lost wake-up
  // would leave an event unprocessed for good.
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
    Post("w" + std::to_string(i));
    journal_.WaitFor("w" + std::to_string(i));
  }
  auto poster = [&](char tag) {
    for (int i = 0; i < 300; ++i) Post(tag + std::to_string(i));
  };
  std::thread other(poster, 'b');
  poster('a');
  other.join();
  ASSERT_TRUE(processor_.Shutdown(true));

  int next[2] = {0, 0};
  for (const auto& e : journal_.Entries()) {
    if (e[0] == '~' || e[0] == 'w') continue;
    ASSERT_EQ(e.substr(1), std::to_string(next[e[0] - 'a']++)) << e;
  }
  EXPECT_EQ(next[0] + next[1], 600);
  EXPECT_EQ(journal_.Entries().size(), 1300u);  // and every one released
}

TEST_F(EventProcessorTest, ShutdownRunsEarlierEventsAndReleasesLaterOnes) {
  NoteObserver observer1("1"), observer2("2");
  processor_.AddObserver(&observer1);
  processor_.AddObserver(&observer2);
  ASSERT_TRUE(processor_.Start());
  Hold();
  // The posters' own references outlive processing and clean-up.
  auto* held = new NoteEvent("held");
  auto* kept = new NoteEvent("kept");
  held->Ref();
  kept->Ref();
  processor_.PostEvent(held);
  ASSERT_TRUE(processor_.Shutdown(false));
  Post("after");
  processor_.PostEvent(kept);
  gate_.set_value();
  processor_.WaitForShutdown();

  held->Unref();
  kept->Unref();
  EXPECT_EQ(journal_.Entries(), (std::vector<std::string>{"start 1", "start 2", "gate", "~gate", "held", "shutdown 1",
                                                          "shutdown 2", "~after", "~held", "~kept"}));
  EXPECT_FALSE(processor_.Shutdown(true));
  // Cleaned up: posting is refused and the caller keeps its event.
  auto* late = new NoteEvent("late");
  EXPECT_FALSE(processor_.PostEvent(late));
  late->Unref();
}

TEST_F(EventProcessorTest, RefusedStartEndsWorkerWithoutProcessingOrShutdown) {
  NoteObserver yes("yes"), no("no", false), unasked("unasked");
  for (auto* o : {&yes, &no, &unasked}) processor_.AddObserver(o);
  ASSERT_TRUE(processor_.Start());
  Post("never");
  ASSERT_TRUE(processor_.Shutdown(true));
  EXPECT_FALSE(processor_.Shutdown(true));
  EXPECT_EQ(journal_.Entries(), (std::vector<std::string>{"start yes", "start no", "~never"}));
}

TEST_F(EventProcessorTest, DueTimersFireForAnIdleOrABusyWorkerAndAFarOneLetsItSleep) {
  NoteTimerHandler handler, busy_handler("busy timer");
  Timer once(&handler, 20, Timer::OneShot, Timer::KeepOnStop);
  Timer busy(&busy_handler, 20, Timer::OneShot, Timer::KeepOnStop);
  // Some 290,000 years: in microseconds added to the clock, the wait overflows.
  Timer far(&handler, std::numeric_limits<long>::max() / 1000 - 1000000000000, Timer::OneShot, Timer::KeepOnStop);
  ASSERT_TRUE(processor_.Start());
  ASSERT_TRUE(far.Start(&processor_));
  ASSERT_TRUE(once.Start(&processor_));
  // No event follows: only the timed wait can bring the worker back.
  journal_.WaitFor("timer");
  // Only the far timer is left: the worker sleeps instead of spinning (a
  // spinning worker would wake, and read the clock, again and again).
  const int readings = g_clock_readings;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LE(g_clock_readings - readings, 2);
  // A worker that never runs out of events still fires what is due.
  ASSERT_TRUE(busy.Start(&processor_));
  processor_.PostEvent(new BusyEvent(&processor_, 1000000));
  journal_.WaitFor("idle");
  const auto entries = journal_.Entries();
  EXPECT_LT(std::find(entries.begin(), entries.end(), "busy timer"), std::find(entries.begin(), entries.end(), "idle"));
  ASSERT_TRUE(far.Stop());
  ASSERT_TRUE(processor_.Shutdown(true));
}

}  // namespace
