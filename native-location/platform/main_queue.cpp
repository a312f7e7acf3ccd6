#include "platform/main_queue.h"

#include <pthread.h>

#include <cassert>
#include <exception>
#include <string>

#include "platform/diagnostics.h"

namespace tavirel::location {

MainQueue::MainQueue(std::string threadName)
    : threadName_(std::move(threadName)), thread_([this] { run(); }) {}

MainQueue::~MainQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    wakeLocked();
  }
  thread_.join();
}

MainQueue& MainQueue::main() {
  // Deliberately leaked: a static object would be destroyed by exit() while
  // the thread may still be waiting on its condition variable, which hangs
  // or crashes the JVM's exit.
  static MainQueue* const queue = new MainQueue("tavirel-loc-main");
  return *queue;
}

void MainQueue::post(Task task) {
  std::lock_guard lock(mutex_);
  ready_.push_back(std::move(task));
  wakeLocked();
}

// Under the lock: the queue thread destroys the idle wait under the same
// lock, so it cannot be woken while going away.
void MainQueue::wakeLocked() {
  if (idleWait_) {
    idleWait_->wake();
  } else {
    wake_.notify_one();
  }
}

void MainQueue::installIdleWait(std::unique_ptr<IdleWait> wait) {
  assert(isCurrent());
  std::lock_guard lock(mutex_);
  idleWait_ = std::move(wait);
}

void MainQueue::postAfter(std::chrono::nanoseconds delay, Task task) {
  if (delay < std::chrono::nanoseconds::zero()) delay = std::chrono::nanoseconds::zero();
  const TimePoint now = std::chrono::steady_clock::now();
  if (delay > TimePoint::max() - now) return;  // never due
  const TimePoint due = now + std::chrono::duration_cast<TimePoint::duration>(delay);
  std::lock_guard lock(mutex_);
  timed_.emplace(std::pair{due, nextSequence_++}, std::move(task));
  wakeLocked();
}

void MainQueue::run() {
  pthread_setname_np(pthread_self(), threadName_.substr(0, 15).c_str());
  std::unique_lock lock(mutex_);
  for (;;) {
    const TimePoint now = std::chrono::steady_clock::now();
    while (!timed_.empty() && timed_.begin()->first.first <= now) {
      ready_.push_back(std::move(timed_.begin()->second));
      timed_.erase(timed_.begin());
    }
    if (!ready_.empty()) {
      Task task = std::move(ready_.front());
      ready_.pop_front();
      lock.unlock();
      try {
        task();
      } catch (const std::exception& e) {
        writeDiagnosticLine(std::string("main-queue task failed: ") + e.what());
      } catch (...) {
        writeDiagnosticLine("main-queue task failed with a non-standard exception");
      }
      task = Task{};  // release captures before taking the lock again
      lock.lock();
      continue;
    }
    if (stopping_) break;
    std::optional<TimePoint> due;
    if (!timed_.empty()) due = timed_.begin()->first.first;
    if (IdleWait* idle = idleWait_.get()) {
      // Only this thread replaces or destroys the wait, so it stays valid
      // while the lock is released for the poll.
      lock.unlock();
      idle->waitUntil(due);
      lock.lock();
    } else if (due) {
      wake_.wait_until(lock, *due);
    } else {
      wake_.wait(lock);
    }
  }
  std::unique_ptr<IdleWait> idle = std::move(idleWait_);
  lock.unlock();
}

}  // namespace tavirel::location
