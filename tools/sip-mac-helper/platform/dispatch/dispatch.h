// The helper's dispatch layer: a serial work queue with synchronous and
// asynchronous submission, a repeating timer bound to a queue, and a counting
// semaphore with a timed wait.
//
// All engine work runs on one serial queue, so the engine needs no lock of its
// own; this header is the whole surface the rest of the helper relies on for
// that. The Linux backend lives in dispatch_linux.cpp; another platform's
// backend can be a file beside it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavirel::dispatch {

using Clock = std::chrono::steady_clock;
using Task = std::function<void()>;

class RepeatingTimer;

// A FIFO queue drained by one thread of its own. Items never overlap each
// other or a timer tick of this queue. The thread that creates the queue is
// never the thread that drains it.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  // Runs what was already posted, then joins the thread. The helper's own
  // queue lives until the process ends and is never destroyed.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Queues `task` and returns at once.
  void post(Task task);

  // Queues `task` and blocks until it has run. Calling this from the queue's
  // own thread would wait for itself forever; that is a programming error and
  // aborts.
  void runSync(const std::function<void()>& task);

  // True on the queue's own thread.
  bool isCurrent() const;

  const std::string& label() const { return label_; }

 private:
  friend class RepeatingTimer;
  struct TimerSlot;

  void drain();
  void addTimer(const std::shared_ptr<TimerSlot>& slot);
  void wake();

  const std::string label_;
  mutable std::mutex mutex_;
  std::condition_variable wakeUp_;
  std::deque<Task> items_;                          // guarded by mutex_
  std::vector<std::shared_ptr<TimerSlot>> timers_;  // guarded by mutex_
  bool stopping_ = false;                           // guarded by mutex_
  bool sleeping_ = false;                           // guarded by mutex_
  // Counts posts, so the drain loop can notice new work while it spins
  // without the lock.
  std::atomic<std::uint64_t> posted_{0};
  std::thread thread_;
};

// A timer source whose handler runs on its queue: first at `firstDeadline`,
// then every `period`. `leeway` is how late a tick may run so the system can
// coalesce wake-ups. A tick that falls due while a work item runs waits for
// it; ticks missed meanwhile are not replayed one by one.
class RepeatingTimer {
 public:
  RepeatingTimer(SerialQueue& queue, std::function<void()> handler);
  // Cancels the timer: no tick starts after the destructor returns, though a
  // tick already running on the queue may finish.
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  void schedule(Clock::time_point firstDeadline, Clock::duration period,
                Clock::duration leeway);
  // Starts firing. Scheduling must come first.
  void resume();
  void cancel();

 private:
  SerialQueue& queue_;
  std::shared_ptr<SerialQueue::TimerSlot> slot_;
};

// A counting semaphore. waitFor returns true when it took a signal and false
// when `limit` passed first (and then the time has really passed).
class CountingSemaphore {
 public:
  explicit CountingSemaphore(std::int64_t initial = 0) : count_(initial) {}
  void signal();
  [[nodiscard]] bool waitFor(Clock::duration limit);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::int64_t count_;  // guarded by mutex_
};

}  // namespace tavirel::dispatch
