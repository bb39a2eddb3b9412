// The worker thread base: start, stop request, running indication, cleanup
// on the worker, and the log entries of each step.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "device/DeviceLogCapture.h"
#include "dfu/TThread.h"
#include "platform/Event.h"

namespace {

using namespace std::chrono_literals;

class Worker : public TThread {
 public:
  ~Worker() override {
    if (IsThreadRunning()) StopThreadAndWait();
  }
  std::atomic<int> routines{0};
  std::atomic<int> cleanups{0};
  std::atomic<bool> stopSeen{false};
  std::atomic<bool> runningDuringCleanup{false};
  std::atomic<bool> waitForStop{true};
  std::unique_ptr<platform::Event> entered = platform::CreateSyncEvent(true, false);

 protected:
  void ThreadRoutine() override {
    ++routines;
    entered->Set();
    // A stop request that never arrives ends the worker after a while, so
    // the test fails on stopSeen instead of hanging in StopThreadAndWait.
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (waitForStop.load()) {
      if (StopRequested()) {
        stopSeen = true;
        return;
      }
      if (std::chrono::steady_clock::now() > giveUp) return;
      std::this_thread::sleep_for(1ms);
    }
  }
  void ThreadCleanup() override {
    runningDuringCleanup = IsThreadRunning();
    ++cleanups;
    TThread::ThreadCleanup();
  }
};

bool WaitIdle(const TThread& t) {
  for (int i = 0; i < 5000 && t.IsThreadRunning(); ++i) std::this_thread::sleep_for(1ms);
  return !t.IsThreadRunning();
}

TEST(TThread, StartStopAndCleanupWithTheirEntries) {
  devicetest::DeviceLogCapture log;
  Worker w;
  EXPECT_FALSE(w.IsThreadRunning());
  ASSERT_EQ(w.StartThread(), 0u);
  EXPECT_TRUE(w.IsThreadRunning());
  ASSERT_EQ(w.entered->Wait(10000), platform::WaitResult::Signalled);
  w.StopThreadAndWait();
  EXPECT_FALSE(w.IsThreadRunning()) << "the wait covers the end of the worker";
  EXPECT_TRUE(w.stopSeen.load());
  EXPECT_EQ(w.cleanups.load(), 1) << "cleanup runs after a stop request too";
  EXPECT_TRUE(w.runningDuringCleanup.load()) << "cleanup runs before the indication is cleared";
  EXPECT_TRUE(log.Has("StartThread: starting new thread ...\n"));
  EXPECT_TRUE(log.Has("StartThread: thread with thread ID 0x"));
  EXPECT_TRUE(log.Has("StopThreadAndWait: stopping thread...\n"));
  EXPECT_TRUE(log.Has("StopThreadAndWait: thread stopped.\n"));
}

TEST(TThread, SecondStartWhileRunningIsRefused) {
  devicetest::DeviceLogCapture log;
  Worker w;
  ASSERT_EQ(w.StartThread(), 0u);
  ASSERT_EQ(w.entered->Wait(10000), platform::WaitResult::Signalled);
  EXPECT_EQ(w.StartThread(), 1u);
  EXPECT_TRUE(log.Has("StartThread: thread is already running\n"));
  EXPECT_EQ(w.routines.load(), 1);
  EXPECT_TRUE(w.IsThreadRunning());
  w.StopThreadAndWait();
  EXPECT_TRUE(w.stopSeen.load()) << "the running worker's stop event was not replaced";
}

TEST(TThread, StopOnAnIdleObjectReturnsAtOnce) {
  devicetest::DeviceLogCapture log;
  Worker w;
  const auto start = std::chrono::steady_clock::now();
  w.StopThreadAndWait();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(log.Has("StopThreadAndWait: no running thread to stop.\n"));
  EXPECT_NE(log.LineWith("no running thread to stop").find("ERROR"), std::string::npos);
}

TEST(TThread, WorkerThatEndsAtOnceLeavesTheObjectReusable) {
  Worker w;
  w.waitForStop = false;
  for (int run = 1; run <= 3; ++run) {
    ASSERT_EQ(w.StartThread(), 0u) << "run " << run;
    ASSERT_TRUE(WaitIdle(w));
    EXPECT_EQ(w.routines.load(), run);
    EXPECT_EQ(w.cleanups.load(), run);
  }
  // Stopping after the worker ended by itself: no wait on anything released.
  w.StopThreadAndWait();
  EXPECT_FALSE(w.IsThreadRunning());
}

TEST(TThread, StopRacesWithAWorkerThatEndsByItself) {
  Worker w;
  w.waitForStop = false;
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(w.StartThread(), 0u);
    w.StopThreadAndWait();  // may come before, during or after the worker's end
    EXPECT_FALSE(w.IsThreadRunning());
  }
  EXPECT_EQ(w.cleanups.load(), 50);
}

TEST(TThread, RunningIndicationIsReadableFromOtherThreads) {
  Worker w;
  ASSERT_EQ(w.StartThread(), 0u);
  std::atomic<int> seenRunning{0};
  std::thread reader([&] {
    for (int i = 0; i < 1000; ++i) seenRunning += w.IsThreadRunning() ? 1 : 0;
  });
  reader.join();
  EXPECT_GT(seenRunning.load(), 0);
  w.StopThreadAndWait();
}

}  // namespace
