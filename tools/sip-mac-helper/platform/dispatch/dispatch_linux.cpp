// Linux backend of the dispatch layer, on std::thread and condition variables.
//
// Requests hop onto the engine queue one at a time and the request thread
// waits for each, so the hand-over latency is most of a cheap request's cost.
// Both sides therefore spin for a few microseconds before they sleep: a burst
// of requests then never pays for a futex sleep and wake-up per item, while an
// idle queue still sleeps until its next timer deadline.
#include "platform/dispatch/dispatch.h"

#include <sys/prctl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAVIREL_CPU_RELAX() _mm_pause()
#else
#define TAVIREL_CPU_RELAX() std::this_thread::yield()
#endif

namespace tavirel::dispatch {
namespace {

// How long a side keeps polling before it goes to sleep. Short enough that an
// idle helper costs nothing measurable, long enough to cover one hand-over.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(40);

thread_local const SerialQueue* currentQueue = nullptr;

template <typename Ready>
bool spinUntil(Ready ready) {
  const auto giveUp = Clock::now() + kSpinBeforeSleep;
  for (int round = 0;; ++round) {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return true;
      TAVIREL_CPU_RELAX();
    }
    if (Clock::now() >= giveUp) return ready();
  }
}

}  // namespace

struct SerialQueue::TimerSlot {
  std::function<void()> handler;  // immutable after construction
  // The fields below are guarded by the owning queue's mutex_.
  Clock::time_point deadline{};
  Clock::duration period{};
  Clock::duration leeway{};
  bool scheduled = false;
  bool active = false;
};

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] { drain(); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wakeUp_.notify_one();
  if (thread_.joinable()) thread_.join();
}

bool SerialQueue::isCurrent() const { return currentQueue == this; }

void SerialQueue::post(Task task) {
  bool sleeping;
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(task));
    posted_.fetch_add(1, std::memory_order_release);
    sleeping = sleeping_;
  }
  if (sleeping) wakeUp_.notify_one();
}

void SerialQueue::runSync(const std::function<void()>& task) {
  if (isCurrent()) {
    std::fprintf(stderr, "fatal: runSync on queue %s from its own thread\n", label_.c_str());
    std::abort();
  }
  // Lives on this stack frame: the queue thread touches it only under `m`,
  // and we leave only after taking `m` once the item is done, so the queue
  // thread is finished with it by then.
  struct Completion {
    std::atomic<bool> done{false};
    std::mutex m;
    std::condition_variable cv;
    bool waiting = false;  // guarded by m
  } completion;

  post([&task, &completion] {
    task();
    std::lock_guard lock(completion.m);
    completion.done.store(true, std::memory_order_release);
    if (completion.waiting) completion.cv.notify_one();
  });

  if (spinUntil([&] { return completion.done.load(std::memory_order_acquire); })) {
    std::lock_guard lock(completion.m);
    return;
  }
  std::unique_lock lock(completion.m);
  completion.waiting = true;
  completion.cv.wait(lock, [&] { return completion.done.load(std::memory_order_acquire); });
}

void SerialQueue::wake() { wakeUp_.notify_one(); }

void SerialQueue::addTimer(const std::shared_ptr<TimerSlot>& slot) {
  {
    std::lock_guard lock(mutex_);
    for (const auto& existing : timers_)
      if (existing == slot) return;
    timers_.push_back(slot);
  }
  wake();
}

void SerialQueue::drain() {
  currentQueue = this;
  long appliedSlackNs = -1;
  std::unique_lock lock(mutex_);
  bool lastWasItem = false;
  for (;;) {
    const auto now = Clock::now();

    // A due tick runs before further items, so a steady stream of work
    // cannot starve the timer; it still never overlaps an item.
    std::shared_ptr<TimerSlot> due;
    std::optional<Clock::time_point> nextDeadline;
    for (const auto& slot : timers_) {
      if (!slot->active) continue;
      if (slot->deadline <= now && (!due || slot->deadline < due->deadline)) due = slot;
      if (!nextDeadline || slot->deadline < *nextDeadline) nextDeadline = slot->deadline;
    }
    if (due) {
      do due->deadline += due->period;
      while (due->deadline <= now);
      lock.unlock();
      due->handler();
      lastWasItem = false;
      lock.lock();
      continue;
    }

    if (!items_.empty()) {
      Task task = std::move(items_.front());
      items_.pop_front();
      lock.unlock();
      task();
      task = nullptr;
      lastWasItem = true;
      lock.lock();
      continue;
    }

    if (stopping_) break;

    if (lastWasItem) {
      lastWasItem = false;
      const auto seen = posted_.load(std::memory_order_acquire);
      lock.unlock();
      spinUntil([&] { return posted_.load(std::memory_order_acquire) != seen; });
      lock.lock();
      continue;
    }

    sleeping_ = true;
    if (nextDeadline) {
      // The leeway of the earliest timer becomes this thread's timer slack,
      // which lets the kernel coalesce the wake-up with others.
      long slackNs = 50'000;
      for (const auto& slot : timers_)
        if (slot->active && slot->deadline == *nextDeadline)
          slackNs = std::max<long>(1, std::chrono::duration_cast<std::chrono::nanoseconds>(slot->leeway).count());
      if (slackNs != appliedSlackNs) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slackNs), 0, 0, 0);
        appliedSlackNs = slackNs;
      }
      wakeUp_.wait_until(lock, *nextDeadline);
    } else {
      wakeUp_.wait(lock);
    }
    sleeping_ = false;
  }
  currentQueue = nullptr;
}

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::function<void()> handler)
    : queue_(queue), slot_(std::make_shared<SerialQueue::TimerSlot>()) {
  slot_->handler = std::move(handler);
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::schedule(Clock::time_point firstDeadline, Clock::duration period,
                              Clock::duration leeway) {
  {
    std::lock_guard lock(queue_.mutex_);
    slot_->deadline = firstDeadline;
    slot_->period = period > Clock::duration::zero() ? period : Clock::duration(1);
    slot_->leeway = leeway;
    slot_->scheduled = true;
  }
  queue_.wake();
}

void RepeatingTimer::resume() {
  {
    std::lock_guard lock(queue_.mutex_);
    if (!slot_->scheduled) return;
    slot_->active = true;
  }
  queue_.addTimer(slot_);
}

void RepeatingTimer::cancel() {
  std::lock_guard lock(queue_.mutex_);
  slot_->active = false;
  std::erase(queue_.timers_, slot_);
}

void CountingSemaphore::signal() {
  {
    std::lock_guard lock(mutex_);
    ++count_;
  }
  changed_.notify_one();
}

bool CountingSemaphore::waitFor(Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  std::unique_lock lock(mutex_);
  if (!changed_.wait_until(lock, deadline, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

}  // namespace tavirel::dispatch
