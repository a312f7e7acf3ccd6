// The helper's dispatch layer: a serial work queue with synchronous and
// asynchronous submission, a repeating timer and a read source bound to a
// queue, and a counting semaphore with a timed wait.
//
// All engine work runs on one serial queue, so the engine needs no lock of its
// own; this header is the whole surface the rest of the helper relies on for
// that. The header holds nothing of a backend: the Linux one lives in
// dispatch_linux.cpp, and another platform's backend is a file beside it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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
  // The queue whose work item or timer tick runs on this thread; null on
  // any other thread.
  static const SerialQueue* current();

  const std::string& label() const { return label_; }

 private:
  friend class RepeatingTimer;
  // The backend's own state and thread, defined beside its implementation.
  struct Backend;

  const std::string label_;
  std::unique_ptr<Backend> backend_;
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
  friend class SerialQueue;
  struct Slot;  // the backend's record of this timer

  SerialQueue& queue_;
  std::shared_ptr<Slot> slot_;
};

// A read source: `handler` runs on its queue when `fd` has input to read,
// like a tick, never overlapping an item or another handler of that queue.
// The source does not fire again until its handler has returned, so a
// handler that leaves input unread is called again soon after, in turn
// with the queue's other work. The descriptor stays the caller's: it must
// stay open until the source is cancelled.
class ReadSource {
 public:
  ReadSource(SerialQueue& queue, int fd, std::function<void()> handler);
  // Cancels the source: no handler starts after the destructor returns,
  // though one already running on the queue may finish.
  ~ReadSource();
  ReadSource(const ReadSource&) = delete;
  ReadSource& operator=(const ReadSource&) = delete;

  int fd() const { return fd_; }
  // Starts watching. False when the descriptor cannot be watched.
  [[nodiscard]] bool resume();
  void cancel();

  struct Slot;  // the backend's record of this source

 private:
  SerialQueue& queue_;
  const int fd_;
  std::shared_ptr<Slot> slot_;
};

// A counting semaphore. waitFor returns true when it took a signal and false
// when `limit` passed first (and then the time has really passed).
class CountingSemaphore {
 public:
  explicit CountingSemaphore(std::int64_t initial = 0);
  ~CountingSemaphore();
  CountingSemaphore(const CountingSemaphore&) = delete;
  CountingSemaphore& operator=(const CountingSemaphore&) = delete;

  void signal();
  [[nodiscard]] bool waitFor(Clock::duration limit);

 private:
  struct Backend;
  std::unique_ptr<Backend> backend_;
};

}  // namespace tavirel::dispatch
