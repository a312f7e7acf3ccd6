// Linux backend of the dispatch layer, on std::thread, a condition variable
// for the queue and a bare futex for the synchronous hand-over.
//
// Requests hop onto the engine queue one at a time and the request thread
// waits for each, so the hand-over is most of a cheap request's cost. Waking
// a sleeping thread costs a system call and, on a virtual machine, several
// microseconds before it runs; a thread that polls instead spends a CPU, and
// when the thread it waits for sits on that same CPU it only delays it. So a
// side polls before it sleeps only while the other side runs on another CPU:
// the request thread while the queue thread is awake elsewhere, the queue
// thread (for the next item) while the request thread that waited for the
// last one is still running elsewhere. Requests that follow each other
// closely then hand over without a sleep on a machine with a free CPU, and
// on a busy one each side simply sleeps until the other wakes it, which it
// does only when it sleeps. How long a poll may last is learnt as it goes.
#include "platform/dispatch/dispatch.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAVIREL_CPU_RELAX() _mm_pause()
#elif defined(__aarch64__)
#define TAVIREL_CPU_RELAX() asm volatile("yield" ::: "memory")
#else
#define TAVIREL_CPU_RELAX() ((void)0)
#endif

namespace tavirel::dispatch {
namespace {

// How long a side polls at most: about what a client needs to read one
// answer and send its next request, or the request thread to decode and
// post the next line of a burst.
constexpr auto kMaxPoll = std::chrono::microseconds(50);
constexpr auto kMinPoll = std::chrono::microseconds(1);
// One poll in this many may run to the full length whatever the budget, so
// that a side whose polls kept missing notices when they would pay again.
constexpr unsigned kProbeEvery = 64;

// How long one side polls before it sleeps: after a poll that caught the
// other side, at least twice what that took; after one that missed, half as
// long as before. Shared by the threads that wait on the same side; a lost
// update only shifts the next budget a little.
class PollBudget {
 public:
  // Polls `ready` until it holds (true), the budget is spent, or `futile`
  // says that waiting on is pointless (false).
  template <typename Ready, typename Futile>
  bool poll(Ready ready, Futile futile) {
    const auto budget = Clock::duration(budget_.load(std::memory_order_relaxed));
    const bool probe = attempts_.fetch_add(1, std::memory_order_relaxed) % kProbeEvery == 0;
    const auto start = Clock::now();
    const auto giveUp = start + (probe ? Clock::duration(kMaxPoll) : budget);
    for (auto now = start;; now = Clock::now()) {
      for (int i = 0; i < 16; ++i) {
        if (ready()) {
          store(std::clamp<Clock::duration>(std::max(budget, 2 * (Clock::now() - start)), kMinPoll, kMaxPoll));
          return true;
        }
        TAVIREL_CPU_RELAX();
      }
      if (now >= giveUp || futile()) break;
    }
    store(std::max<Clock::duration>(kMinPoll, budget / 2));
    return ready();
  }

 private:
  void store(Clock::duration budget) { budget_.store(budget.count(), std::memory_order_relaxed); }

  std::atomic<Clock::rep> budget_{Clock::duration(kMaxPoll).count()};
  std::atomic<unsigned> attempts_{0};
};

// Callers of runSync waiting for their item.
PollBudget completionPolls;

thread_local const SerialQueue* currentQueue = nullptr;
// Set by a synchronous item as it completes, read by the queue thread right
// after it: whether the caller was still polling, on another CPU, so that
// its next item is likely to follow within microseconds.
thread_local bool callerPollsElsewhere = false;

// The futex word of one synchronous item.
enum : std::uint32_t { kPending = 0, kDone = 1, kWaiterSleeps = 2 };

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t asleepValue) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, asleepValue, nullptr, nullptr, 0);
}

void futexWakeOne(std::atomic<std::uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
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
  // Lives on this stack frame. The queue thread's last access is the wake
  // in the item below, which a waiter that already left only sees as a
  // spurious wake-up on a word nobody waits on; the kernel does not mind.
  struct Completion {
    std::atomic<std::uint32_t> state{kPending};
    std::atomic<int> queueCpu{-1};  // where the item runs, once it does
    int callerCpu = -1;             // written before the item is posted
  } completion;
  static_assert(sizeof(completion.state) == sizeof(std::uint32_t), "futex word");
  completion.callerCpu = sched_getcpu();

  post([&task, &completion] {
    const int cpu = sched_getcpu();
    completion.queueCpu.store(cpu, std::memory_order_relaxed);
    const int callerCpu = completion.callerCpu;
    task();
    const auto before = completion.state.exchange(kDone, std::memory_order_acq_rel);
    if (before == kWaiterSleeps) futexWakeOne(completion.state);
    callerPollsElsewhere = before != kWaiterSleeps && callerCpu != cpu;
  });

  const auto done = [&] { return completion.state.load(std::memory_order_acquire) == kDone; };
  // Once the item runs on this very CPU, it cannot finish while we poll.
  const auto futile = [&] { return completion.queueCpu.load(std::memory_order_relaxed) == completion.callerCpu; };
  if (completionPolls.poll(done, futile)) return;
  std::uint32_t expected = kPending;
  if (!completion.state.compare_exchange_strong(expected, kWaiterSleeps, std::memory_order_acq_rel)) return;
  do futexWait(completion.state, kWaiterSleeps);
  while (!done());
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
  PollBudget nextItemPolls;
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
      callerPollsElsewhere = false;
      task();
      task = nullptr;
      lastWasItem = callerPollsElsewhere;
      lock.lock();
      continue;
    }

    if (stopping_) break;

    if (lastWasItem) {
      lastWasItem = false;
      const auto seen = posted_.load(std::memory_order_acquire);
      lock.unlock();
      // The request thread usually posts its next item within microseconds
      // when requests come in a burst; catching it here saves a wake-up.
      nextItemPolls.poll([&] { return posted_.load(std::memory_order_acquire) != seen; }, [] { return false; });
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
