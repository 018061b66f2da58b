// Timers and their queue, driven by hand on the test thread: events posted by
// Start()/Stop() are held until the test runs them, and the queue reads a
// clock the test sets.
#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>
#include <vector>

#include "OdaEdpfAsyncEventProcessor.h"
#include "OdaEdpfTimer.h"
#include "OdaEdpfTimerQueue.h"
#include "manual_timer_processor.h"

using namespace OdaEdpf;

namespace {

// An arbitrary origin far from 0, as a real clock would be.
void SetNowMs(std::int64_t ms) { corvex_test::ManualTimerProcessor::SetNow(1700000000000000 + ms * 1000); }

// The shared hand-run processor, with its queue in reach.
class ManualProcessor : public corvex_test::ManualTimerProcessor {
 public:
  TimerQueue& Queue() { return *GetTimerQueue(); }
};

std::set<Timer*> g_alive;

class NamedTimer : public Timer {
 public:
  NamedTimer(std::string name, TimerHandler* handler, long interval, Type type, LifeTime life_time)
      : Timer(handler, interval, type, life_time), name(std::move(name)) {
    g_alive.insert(this);
  }
  ~NamedTimer() override { g_alive.erase(this); }
  const std::string name;
};

class Recorder : public TimerHandler {
 public:
  void OnTimerStarted(Timer* t) override { log.push_back("start " + Name(t)); }
  void OnTimerStopped(Timer* t) override { log.push_back("stop " + Name(t)); }
  void OnTimeoutElapsed(Timer* t) override {
    log.push_back(Name(t));
    // What a managed folder does with its fired one-shot timers.
    if (delete_on_fire.erase(t) != 0) delete t;
  }
  static std::string Name(Timer* t) { return static_cast<NamedTimer*>(t)->name; }

  std::vector<std::string> log;
  std::set<Timer*> delete_on_fire;
};

class TimerTest : public ::testing::Test {
 protected:
  using Log = std::vector<std::string>;
  void SetUp() override { SetNowMs(0); }
  void TearDown() override {
    processor_.reset();
    // Whatever the queue did not own belongs to the test.
    while (!g_alive.empty()) delete *g_alive.begin();
  }

  // A timer whose start has been processed.
  Timer* Started(const char* name, long interval, Timer::Type type = Timer::OneShot,
                 Timer::LifeTime life_time = Timer::KeepOnStop, TimerHandler* handler = nullptr) {
    Timer* t = new NamedTimer(name, handler != nullptr ? handler : &recorder_, interval, type, life_time);
    EXPECT_TRUE(t->Start(processor_.get()));
    processor_->RunPending();
    return t;
  }
  static bool Alive(Timer* t) { return g_alive.count(t) != 0; }
  // Moves the clock, advances the queue and returns what fired.
  Log AdvanceTo(std::int64_t ms) {
    SetNowMs(ms);
    recorder_.log.clear();
    EXPECT_TRUE(queue().Advance());
    return recorder_.log;
  }
  TimerQueue& queue() { return processor_->Queue(); }

  Recorder recorder_;
  std::unique_ptr<ManualProcessor> processor_ = std::make_unique<ManualProcessor>();
};

TEST_F(TimerTest, UnusableTimerNeverStartsButCanStillBeStopped) {
  Timer* zero = Started("zero", 0, Timer::Periodic, Timer::DeleteOnStop);
  Timer* none = new NamedTimer("none", nullptr, 10, Timer::OneShot, Timer::KeepOnStop);
  EXPECT_FALSE(none->Stop());  // never started
  EXPECT_TRUE(none->Start(processor_.get()));
  processor_->RunPending();
  EXPECT_TRUE(recorder_.log.empty());
  EXPECT_FALSE(zero->Start(processor_.get()));  // still marked started
  EXPECT_TRUE(AdvanceTo(100000).empty());

  EXPECT_TRUE(zero->Stop());
  EXPECT_TRUE(none->Stop());
  processor_->RunPending();
  EXPECT_EQ(recorder_.log, (Log{"stop zero"}));
  EXPECT_FALSE(Alive(zero));
  EXPECT_TRUE(none->Start(processor_.get()));  // a processed stop frees it
}

TEST_F(TimerTest, EqualDuePointsFireInInsertionOrder) {
  for (auto [name, interval] : {std::pair{"a", 100}, std::pair{"b", 50}, std::pair{"c", 100}, std::pair{"d", 100}}) {
    Started(name, interval);
  }
  EXPECT_EQ(AdvanceTo(60), (Log{"b"}));
  // Added 60 ms into the queue's time, due together with a, c and d.
  Started("e", 40);
  EXPECT_EQ(queue().GetTimeout(), 40);
  EXPECT_TRUE(AdvanceTo(99).empty());
  EXPECT_EQ(AdvanceTo(100), (Log{"a", "c", "d", "e"}));
}

TEST_F(TimerTest, PeriodicTimerIsRearmedFromTheAdvanceWithoutCatchingUp) {
  Timer* p = Started("p", 100, Timer::Periodic, Timer::DeleteOnStop);
  EXPECT_TRUE(AdvanceTo(99).empty());
  EXPECT_EQ(AdvanceTo(350), (Log{"p"}));  // three periods late: one firing
  EXPECT_EQ(queue().GetTimeout(), 100);
  EXPECT_TRUE(AdvanceTo(449).empty());
  EXPECT_EQ(AdvanceTo(450), (Log{"p"}));
  p->Stop();
  processor_->RunPending();
  EXPECT_FALSE(Alive(p));
  EXPECT_FALSE(queue().HasTimers());
}

TEST_F(TimerTest, StopRequestedBeforeDueAdvanceSkipsTheFiring) {
  Timer* once = Started("once", 10, Timer::OneShot, Timer::DeleteOnStop);
  Timer* again = Started("again", 10, Timer::Periodic, Timer::KeepOnStop);
  EXPECT_FALSE(again->Start(processor_.get()));
  EXPECT_TRUE(once->Stop());
  EXPECT_TRUE(again->Stop());
  EXPECT_FALSE(again->Stop());
  EXPECT_TRUE(AdvanceTo(20).empty());

  processor_->RunPending();
  EXPECT_EQ(recorder_.log, (Log{"stop once", "stop again"}));
  EXPECT_FALSE(Alive(once));
  EXPECT_TRUE(again->Start(processor_.get()));
}

TEST_F(TimerTest, OwnershipFollowsLifeTime) {
  Timer* keep = Started("keep", 10, Timer::OneShot, Timer::KeepOnStop);
  Timer* fired = Started("fired", 10, Timer::OneShot, Timer::DeleteOnStop);
  Timer* self = Started("self", 10, Timer::OneShot, Timer::DeleteOnStop);
  Timer* queued = Started("queued", 1000, Timer::Periodic, Timer::DeleteOnStop);
  recorder_.delete_on_fire.insert(self);

  keep->Stop();
  processor_->RunPending();
  EXPECT_TRUE(Alive(keep));
  EXPECT_EQ(AdvanceTo(10), (Log{"fired", "self"}));
  // Stopping a one-shot that already fired still finishes it.
  fired->Stop();
  processor_->RunPending();
  EXPECT_FALSE(Alive(fired));
  // Whatever is still queued goes with the processor.
  processor_.reset();
  EXPECT_FALSE(Alive(queued));
}

TEST_F(TimerTest, RebaseAfter65534msKeepsDueOrderAndTimeScale) {
  for (auto [name, interval] : {std::pair{"l", 100000}, std::pair{"x", 80000}, std::pair{"y", 80000},
                                std::pair{"z", 90000}, std::pair{"w", 66000}}) {
    Started(name, interval);
  }
  // 67000 ms of queue time: rebased, and the overdue w still fires.
  EXPECT_EQ(AdvanceTo(67000), (Log{"w"}));
  EXPECT_EQ(queue().GetTimeout(), 13000);
  EXPECT_TRUE(AdvanceTo(70000).empty());
  Started("m", 15000);  // due at 85000 on the clock
  // Too far to count from a non-zero elapsed time: due never, not at once.
  Started("never", std::numeric_limits<long>::max());
  EXPECT_TRUE(AdvanceTo(79999).empty());
  EXPECT_EQ(AdvanceTo(80000), (Log{"x", "y"}));
  EXPECT_TRUE(AdvanceTo(84999).empty());
  EXPECT_EQ(AdvanceTo(85000), (Log{"m"}));
  EXPECT_EQ(AdvanceTo(90000), (Log{"z"}));
  EXPECT_TRUE(AdvanceTo(99999).empty());
  EXPECT_EQ(AdvanceTo(100000), (Log{"l"}));
  EXPECT_GT(queue().GetTimeout(), std::numeric_limits<long>::max() - 100000);
}

TEST_F(TimerTest, ClockReadingsDriveTheTimeBase) {
  SetNowMs(1000);
  Timer* a = Started("a", 10);
  // A clock that stepped back fires nothing until it passes its last reading.
  SetNowMs(500);
  EXPECT_FALSE(queue().Advance());
  EXPECT_TRUE(AdvanceTo(1009).empty());
  EXPECT_EQ(AdvanceTo(1010), (Log{"a"}));
  // Time spent with an empty queue is not counted: the base restarts at the
  // insertion.
  SetNowMs(5000);
  a->Start(processor_.get());
  processor_->RunPending();
  EXPECT_TRUE(AdvanceTo(5009).empty());
  EXPECT_EQ(AdvanceTo(5010), (Log{"a"}));
}

}  // namespace
