// The main queue with a real thread: ordering, deferred tasks, and a queue
// that survives what its tasks do. Every wait is bounded.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "journal.h"
#include "platform/main_queue.h"

namespace tavirel::location {
namespace {

using namespace std::chrono_literals;

TEST(MainQueue, TasksFromManyThreadsRunOneAtATimeOnOneThreadInPostingOrderPerThread) {
  MainQueue queue("test-queue");
  Journal journal;
  int running = 0;  // only ever touched on the queue thread
  bool overlapped = false;
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        queue.post([&, t, i] {
          if (++running != 1) overlapped = true;
          journal.add(std::to_string(t) + ":" + std::to_string(i));
          --running;
        });
      }
    });
  }
  for (auto& p : posters) p.join();
  ASSERT_TRUE(journal.wait(200));

  EXPECT_FALSE(overlapped);
  std::vector<int> next(4, 0);
  for (const std::string& label : journal.labels()) {
    const int t = label[0] - '0';
    EXPECT_EQ(label, std::to_string(t) + ":" + std::to_string(next[t]++));
  }
  for (auto id : journal.threads()) EXPECT_EQ(id, journal.threads().front());
  EXPECT_NE(journal.threads().front(), std::this_thread::get_id());
}

TEST(MainQueue, DeferredTasksRunByDueTimeAndSameDueTimeKeepsPostingOrder) {
  MainQueue queue("test-queue");
  Journal journal;
  // Posted as one task so all three share one "now" and so one due instant.
  queue.post([&] {
    queue.postAfter(60ms, [&] { journal.add("late"); });
    queue.postAfter(20ms, [&] { journal.add("early-1"); });
    queue.postAfter(20ms, [&] { journal.add("early-2"); });
    queue.postAfter(-5ms, [&] { journal.add("past"); });
    queue.post([&] { journal.add("plain"); });
  });
  ASSERT_TRUE(journal.wait(5));
  EXPECT_EQ(journal.labels(), (std::vector<std::string>{"plain", "past", "early-1", "early-2", "late"}));
}

TEST(MainQueue, UnrepresentableDelayNeverRunsAndHoldsNothingUp) {
  MainQueue queue("test-queue");
  Journal journal;
  queue.postAfter(std::chrono::nanoseconds::max(), [&] { journal.add("never"); });
  queue.postAfter(std::chrono::hours(24 * 365 * 200), [&] { journal.add("never"); });
  queue.postAfter(10ms, [&] { journal.add("fence"); });
  ASSERT_TRUE(journal.wait(1));
  EXPECT_EQ(journal.labels(), (std::vector<std::string>{"fence"}));
}

TEST(MainQueue, ThrowingTaskDoesNotStopTheQueue) {
  MainQueue queue("test-queue");
  Journal journal;
  ::testing::internal::CaptureStderr();
  queue.post([] { throw std::runtime_error("boom"); });
  queue.post([] { throw 42; });
  queue.post([&] { journal.add("after"); });
  const bool ran = journal.wait(1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ran);
  EXPECT_NE(err.find("boom"), std::string::npos) << err;
}

}  // namespace
}  // namespace tavirel::location
