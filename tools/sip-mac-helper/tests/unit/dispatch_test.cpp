// The dispatch layer with real threads. Every wait is bounded.
#include "platform/dispatch/dispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include <unistd.h>
#include <vector>

namespace tavirel::dispatch {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsPostedItemsInOrderOnOneThreadThatIsNotTheCaller) {
  SerialQueue queue("test.order");
  std::vector<int> seen;  // touched only on the queue
  std::thread::id worker;
  std::atomic<bool> sameThread{true};
  for (int i = 0; i < 1000; ++i) {
    queue.post([&, i] {
      if (i == 0) worker = std::this_thread::get_id();
      else if (worker != std::this_thread::get_id()) sameThread = false;
      seen.push_back(i);
    });
  }
  std::vector<int> copy;
  queue.runSync([&] { copy = seen; });
  ASSERT_EQ(copy.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(copy[i], i);
  EXPECT_TRUE(sameThread);
  EXPECT_NE(worker, std::this_thread::get_id());
}

TEST(SerialQueue, RunSyncFromManyThreadsRunsEachItemExactlyOnceWithoutOverlap) {
  SerialQueue queue("test.sync");
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  int total = 0;  // touched only on the queue
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        bool ran = false;
        queue.runSync([&] {
          if (inside.fetch_add(1) != 0) overlapped = true;
          ++total;
          ran = true;
          inside.fetch_sub(1);
        });
        // runSync returns only after the item ran, so its effects are visible.
        ASSERT_TRUE(ran);
      }
    });
  }
  for (auto& caller : callers) caller.join();
  int seen = 0;
  queue.runSync([&] { seen = total; });
  EXPECT_EQ(seen, 8000);
  EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, KnowsItsOwnThread) {
  SerialQueue queue("test.current");
  EXPECT_FALSE(queue.isCurrent());
  bool onQueue = false;
  queue.runSync([&] { onQueue = queue.isCurrent(); });
  EXPECT_TRUE(onQueue);
  EXPECT_EQ(queue.label(), "test.current");
}

TEST(SerialQueueDeathTest, RunSyncFromItsOwnThreadAbortsInsteadOfHanging) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SerialQueue queue("test.self");
        queue.runSync([&] { queue.runSync([] {}); });
      },
      "runSync on queue test.self from its own thread");
}

TEST(RepeatingTimer, TicksAtItsPeriodAndNeverOverlapsWorkItems) {
  SerialQueue queue("test.timer");
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::mutex ticksMutex;
  std::vector<Clock::time_point> ticks;
  RepeatingTimer timer(queue, [&] {
    if (inside.fetch_add(1) != 0) overlapped = true;
    {
      std::lock_guard lock(ticksMutex);
      ticks.push_back(Clock::now());
    }
    inside.fetch_sub(1);
  });
  timer.schedule(Clock::now(), 20ms, 5ms);
  timer.resume();

  // Keep the queue busy with short items from another thread for a while.
  const auto until = Clock::now() + 500ms;
  while (Clock::now() < until) {
    queue.runSync([&] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      std::this_thread::sleep_for(200us);
      inside.fetch_sub(1);
    });
  }
  timer.cancel();
  queue.runSync([] {});  // a tick already running has finished now

  std::lock_guard lock(ticksMutex);
  EXPECT_FALSE(overlapped);
  // 500 ms at 20 ms: about 25 ticks. A late tick is followed by one on the
  // original schedule rather than a burst of catch-up ticks, so the count
  // stays bounded above; allow for scheduling noise below.
  EXPECT_GE(ticks.size(), 15u);
  EXPECT_LE(ticks.size(), 27u);
  std::vector<Clock::duration> gaps;
  for (std::size_t i = 1; i < ticks.size(); ++i) gaps.push_back(ticks[i] - ticks[i - 1]);
  std::sort(gaps.begin(), gaps.end());
  ASSERT_FALSE(gaps.empty());
  const auto median = gaps[gaps.size() / 2];
  EXPECT_GE(median, 15ms);
  EXPECT_LE(median, 30ms);
}

TEST(RepeatingTimer, StopsTickingWhenCancelled) {
  SerialQueue queue("test.cancel");
  std::atomic<int> count{0};
  {
    RepeatingTimer timer(queue, [&] { ++count; });
    timer.schedule(Clock::now(), 5ms, 1ms);
    timer.resume();
    const auto deadline = Clock::now() + 5s;
    while (count < 3 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_GE(count.load(), 3);
  }  // destroyed: cancelled
  queue.runSync([] {});
  const int after = count;
  std::this_thread::sleep_for(30ms);
  queue.runSync([] {});
  EXPECT_EQ(count.load(), after);
}

TEST(RepeatingTimer, DoesNotFireBeforeResume) {
  SerialQueue queue("test.resume");
  std::atomic<int> count{0};
  RepeatingTimer timer(queue, [&] { ++count; });
  timer.schedule(Clock::now(), 1ms, 0ms);
  std::this_thread::sleep_for(20ms);
  queue.runSync([] {});
  EXPECT_EQ(count.load(), 0);
}

TEST(CountingSemaphore, TimedWaitTakesSignalsOrTimesOut) {
  CountingSemaphore semaphore;
  const auto start = Clock::now();
  EXPECT_FALSE(semaphore.waitFor(50ms));
  EXPECT_GE(Clock::now() - start, 50ms);

  semaphore.signal();
  semaphore.signal();
  EXPECT_TRUE(semaphore.waitFor(0ms));
  EXPECT_TRUE(semaphore.waitFor(0ms));
  EXPECT_FALSE(semaphore.waitFor(0ms));

  std::thread signaller([&] {
    std::this_thread::sleep_for(20ms);
    semaphore.signal();
  });
  EXPECT_TRUE(semaphore.waitFor(10s));
  signaller.join();
}

// A pipe stands for the engine's socket: its handler runs on the queue,
// is not called again while it runs, is called again for what it left
// unread, and not at all once cancelled.
TEST(ReadSource, FiresOnItsQueueOncePerReadinessUntilCancelled) {
  SerialQueue queue("test.read");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::atomic<int> calls{0};
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> offQueue{false};
  std::atomic<int> bytesRead{0};
  ReadSource source(queue, fds[0], [&] {
    if (inside.fetch_add(1) != 0) overlapped = true;
    if (!queue.isCurrent()) offQueue = true;
    ++calls;
    std::this_thread::sleep_for(2ms);
    char byte;
    if (::read(fds[0], &byte, 1) == 1) ++bytesRead;  // one byte a call: the rest fires again
    inside.fetch_sub(1);
  });
  ASSERT_TRUE(source.resume());
  ASSERT_EQ(::write(fds[1], "abcde", 5), 5);
  const auto deadline = Clock::now() + 5s;
  while (bytesRead.load() < 5 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(bytesRead.load(), 5);
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(offQueue);

  source.cancel();
  const int before = calls.load();
  ASSERT_EQ(::write(fds[1], "f", 1), 1);
  std::this_thread::sleep_for(50ms);
  queue.runSync([] {});
  EXPECT_EQ(calls.load(), before);
  ::close(fds[0]);
  ::close(fds[1]);
}

// A descriptor closed under a source leaves it stale; its number, reused by
// another source, belongs to that one: the stale source's cancel must not
// stop it.
TEST(ReadSource, AStaleSourceOfAReusedDescriptorLeavesTheNewOneWatching) {
  SerialQueue queue("test.read.reuse");
  int first[2];
  ASSERT_EQ(::pipe(first), 0);
  std::atomic<int> staleCalls{0};
  auto stale = std::make_unique<ReadSource>(queue, first[0], [&] { ++staleCalls; });
  ASSERT_TRUE(stale->resume());
  const int number = first[0];
  ::close(first[0]);  // under the source, as a library closing its socket does

  int second[2];
  ASSERT_EQ(::pipe(second), 0);
  ASSERT_EQ(second[0], number) << "the system did not reuse the lowest descriptor number";
  std::atomic<int> calls{0};
  ReadSource fresh(queue, number, [&] {
    char byte;
    if (::read(number, &byte, 1) == 1) ++calls;
  });
  ASSERT_TRUE(fresh.resume());
  stale.reset();

  ASSERT_EQ(::write(second[1], "ab", 2), 2);
  const auto deadline = Clock::now() + 5s;
  while (calls.load() < 2 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(staleCalls.load(), 0);
  fresh.cancel();  // before its descriptor closes, as the source requires
  ::close(first[1]);
  ::close(second[0]);
  ::close(second[1]);
}

}  // namespace
}  // namespace tavirel::dispatch
