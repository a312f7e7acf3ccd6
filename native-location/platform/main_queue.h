// MainQueue: the library's serial "main" thread.
//
// On the desktop platform a host run loop drains the main queue; a JVM on
// Linux has no such loop, so the library owns one serial thread and runs
// there everything a request does: start and cancel tasks, timeouts, every
// location-service callback and therefore every call into the JVM. Keeping
// all of it on one thread is what lets the registry and the request objects
// go without locks.
//
// Guarantees:
//  - Tasks posted with post() run one at a time, first in first out.
//  - A deferred task joins the back of the queue when it falls due; deferred
//    tasks due at the same instant keep their posting order.
//  - An exception escaping a task is reported on stderr and the queue goes
//    on with the next task.
//  - A task and everything it captured is destroyed on the queue's thread,
//    outside the queue's lock, so its destructor may post further tasks.
//  - An event loop that has to run on this thread (GLib's, for D-Bus) can
//    take over the thread's idle wait; tasks keep all the guarantees above.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "platform/clock.h"
#include "platform/task.h"

namespace tavirel::location {

// What the queue's thread does while no task is ready. Without one it
// sleeps on a condition variable; an event loop installed here polls its
// own sources instead and dispatches them on the queue's thread.
class IdleWait {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~IdleWait() = default;
  // Queue thread. Returns by `due` (none: no timed task is pending), soon
  // after wake(), or after dispatching some of its own events; returning
  // early is harmless. A wake() that came before this call makes it return
  // at once, so a post is never slept through.
  virtual void waitUntil(std::optional<TimePoint> due) = 0;
  // Any thread, called with the queue's lock held: must not block or post.
  virtual void wake() = 0;
};

class MainQueue final : public Scheduler {
 public:
  // Starts the thread. `threadName` is shown by debuggers (at most 15 bytes
  // are kept).
  explicit MainQueue(std::string threadName);
  // Runs what is ready, drops deferred tasks not yet due, joins the thread.
  // Must not be called on the queue's own thread. The process-wide queue is
  // never destroyed; this is for tests.
  ~MainQueue() override;
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  // The process-wide main queue, started on first use. It lives until the
  // process ends, so the thread never waits on a destroyed object during the
  // JVM's exit.
  static MainQueue& main();

  // Any thread.
  void post(Task task);
  // Any thread. A delay the steady clock cannot represent from now on means
  // "never": the task is destroyed without running.
  void postAfter(std::chrono::nanoseconds delay, Task task) override;

  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

  // Queue thread only (so a loop that binds itself to the calling thread
  // binds to the right one). Replaces the idle wait from the next wait on;
  // the wait is destroyed on the queue's thread when the queue stops.
  void installIdleWait(std::unique_ptr<IdleWait> wait);

 private:
  using TimePoint = std::chrono::steady_clock::time_point;

  void run();
  void wakeLocked();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> ready_;                                    // guarded by mutex_
  std::map<std::pair<TimePoint, std::uint64_t>, Task> timed_;  // guarded by mutex_; keyed by due, then posting order
  std::uint64_t nextSequence_ = 0;                            // guarded by mutex_
  bool stopping_ = false;                                     // guarded by mutex_
  std::unique_ptr<IdleWait> idleWait_;                        // guarded by mutex_; used by the queue thread
  std::string threadName_;
  std::thread thread_;  // last: starts after the fields it uses exist
};

}  // namespace tavirel::location
