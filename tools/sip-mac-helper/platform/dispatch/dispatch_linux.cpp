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
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

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

struct RepeatingTimer::Slot {
  std::function<void()> handler;  // immutable after construction
  // The fields below are guarded by the owning queue's mutex.
  Clock::time_point deadline{};
  Clock::duration period{};
  Clock::duration leeway{};
  bool scheduled = false;
  bool active = false;
};

struct SerialQueue::Backend {
  void drain(const SerialQueue* queue);
  void addTimer(const std::shared_ptr<RepeatingTimer::Slot>& slot);
  void wake() { wakeUp.notify_one(); }

  // With the lock held: the earliest active timer due at `now` (null when
  // none is), and the earliest deadline of any active timer.
  std::shared_ptr<RepeatingTimer::Slot> dueTimer(Clock::time_point now,
                                                 std::optional<Clock::time_point>& nextDeadline) const;
  // With the lock held: waits for a post, a wake or `nextDeadline`.
  void sleep(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> nextDeadline);
  long appliedSlackNs = -1;  // drain thread only

  mutable std::mutex mutex;
  std::condition_variable wakeUp;
  std::deque<Task> items;                                    // guarded by mutex
  std::vector<std::shared_ptr<RepeatingTimer::Slot>> timers;  // guarded by mutex
  bool stopping = false;                                     // guarded by mutex
  bool sleeping = false;                                     // guarded by mutex
  // Counts posts, so the drain loop can notice new work while it spins
  // without the lock.
  std::atomic<std::uint64_t> posted{0};
  std::thread thread;
};

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), backend_(std::make_unique<Backend>()) {
  backend_->thread = std::thread([this] { backend_->drain(this); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(backend_->mutex);
    backend_->stopping = true;
  }
  backend_->wake();
  if (backend_->thread.joinable()) backend_->thread.join();
}

bool SerialQueue::isCurrent() const { return currentQueue == this; }

const SerialQueue* SerialQueue::current() { return currentQueue; }

void SerialQueue::post(Task task) {
  Backend& b = *backend_;
  bool sleeping;
  {
    std::lock_guard lock(b.mutex);
    b.items.push_back(std::move(task));
    b.posted.fetch_add(1, std::memory_order_release);
    sleeping = b.sleeping;
  }
  if (sleeping) b.wakeUp.notify_one();
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

void SerialQueue::Backend::addTimer(const std::shared_ptr<RepeatingTimer::Slot>& slot) {
  {
    std::lock_guard lock(mutex);
    for (const auto& existing : timers)
      if (existing == slot) return;
    timers.push_back(slot);
  }
  wake();
}

std::shared_ptr<RepeatingTimer::Slot> SerialQueue::Backend::dueTimer(
    Clock::time_point now, std::optional<Clock::time_point>& nextDeadline) const {
  std::shared_ptr<RepeatingTimer::Slot> due;
  for (const auto& slot : timers) {
    if (!slot->active) continue;
    if (slot->deadline <= now && (!due || slot->deadline < due->deadline)) due = slot;
    if (!nextDeadline || slot->deadline < *nextDeadline) nextDeadline = slot->deadline;
  }
  return due;
}

void SerialQueue::Backend::sleep(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> nextDeadline) {
  sleeping = true;
  if (nextDeadline) {
    // The leeway of the earliest timer becomes this thread's timer slack,
    // which lets the kernel coalesce the wake-up with others.
    long slackNs = 50'000;
    for (const auto& slot : timers)
      if (slot->active && slot->deadline == *nextDeadline)
        slackNs = std::max<long>(1, std::chrono::duration_cast<std::chrono::nanoseconds>(slot->leeway).count());
    if (slackNs != appliedSlackNs) {
      prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slackNs), 0, 0, 0);
      appliedSlackNs = slackNs;
    }
    wakeUp.wait_until(lock, *nextDeadline);
  } else {
    wakeUp.wait(lock);
  }
  sleeping = false;
}

void SerialQueue::Backend::drain(const SerialQueue* queue) {
  currentQueue = queue;
  PollBudget nextItemPolls;
  std::unique_lock lock(mutex);
  bool lastWasItem = false;
  for (;;) {
    const auto now = Clock::now();

    // A due tick runs before further items, so a steady stream of work
    // cannot starve the timer; it still never overlaps an item.
    std::optional<Clock::time_point> nextDeadline;
    if (const auto due = dueTimer(now, nextDeadline)) {
      do due->deadline += due->period;
      while (due->deadline <= now);
      lock.unlock();
      due->handler();
      lastWasItem = false;
      lock.lock();
      continue;
    }

    if (!items.empty()) {
      Task task = std::move(items.front());
      items.pop_front();
      lock.unlock();
      callerPollsElsewhere = false;
      task();
      task = nullptr;
      lastWasItem = callerPollsElsewhere;
      lock.lock();
      continue;
    }

    if (stopping) break;

    if (lastWasItem) {
      lastWasItem = false;
      const auto seen = posted.load(std::memory_order_acquire);
      lock.unlock();
      // The request thread usually posts its next item within microseconds
      // when requests come in a burst; catching it here saves a wake-up.
      nextItemPolls.poll([&] { return posted.load(std::memory_order_acquire) != seen; }, [] { return false; });
      lock.lock();
      continue;
    }

    sleep(lock, nextDeadline);
  }
  currentQueue = nullptr;
}

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::function<void()> handler)
    : queue_(queue), slot_(std::make_shared<Slot>()) {
  slot_->handler = std::move(handler);
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::schedule(Clock::time_point firstDeadline, Clock::duration period,
                              Clock::duration leeway) {
  SerialQueue::Backend& b = *queue_.backend_;
  {
    std::lock_guard lock(b.mutex);
    slot_->deadline = firstDeadline;
    slot_->period = period > Clock::duration::zero() ? period : Clock::duration(1);
    slot_->leeway = leeway;
    slot_->scheduled = true;
  }
  b.wake();
}

void RepeatingTimer::resume() {
  SerialQueue::Backend& b = *queue_.backend_;
  {
    std::lock_guard lock(b.mutex);
    if (!slot_->scheduled) return;
    slot_->active = true;
  }
  b.addTimer(slot_);
}

void RepeatingTimer::cancel() {
  SerialQueue::Backend& b = *queue_.backend_;
  std::lock_guard lock(b.mutex);
  slot_->active = false;
  std::erase(b.timers, slot_);
}

// Read sources: one process-wide thread waits on every watched descriptor
// with epoll and, when one becomes readable, posts its handler to the
// source's queue. Each descriptor is armed for one event at a time, so a
// burst of input costs one wake-up and one post until the handler has run.
struct ReadSource::Slot {
  SerialQueue* queue = nullptr;
  int fd = -1;
  std::uint64_t id = 0;
  std::function<void()> handler;  // immutable after construction
  std::atomic<bool> active{false};
  // Held while the handler runs, so that a cancel from another thread
  // waits for a handler that already started.
  std::mutex running;
};

namespace {

class ReadWatcher {
 public:
  static ReadWatcher& instance() {
    // Lives for the process: sources of queues that outlive main() may
    // still be cancelled during exit.
    static auto* watcher = new ReadWatcher;
    return *watcher;
  }

  // A descriptor that was closed while watched has left the epoll set by
  // itself, and its number may be watched again by a newer source: each
  // descriptor number belongs to the newest source that added it, and an
  // older one neither re-arms nor removes it.
  bool add(const std::shared_ptr<ReadSource::Slot>& slot) {
    if (epoll_ < 0) return false;
    std::lock_guard lock(mutex_);
    slot->id = ++lastId_;
    const bool taken = owners_.count(slot->fd) != 0;
    if (!control(*slot, EPOLL_CTL_ADD) && !(taken && errno == EEXIST && control(*slot, EPOLL_CTL_MOD))) return false;
    slots_[slot->id] = slot;
    owners_[slot->fd] = slot->id;
    return true;
  }

  void remove(const ReadSource::Slot& slot) {
    std::lock_guard lock(mutex_);
    slots_.erase(slot.id);
    if (const auto owner = owners_.find(slot.fd); owner != owners_.end() && owner->second == slot.id) {
      ::epoll_ctl(epoll_, EPOLL_CTL_DEL, slot.fd, nullptr);
      owners_.erase(owner);
    }
  }

  bool rearm(const ReadSource::Slot& slot) {
    std::lock_guard lock(mutex_);
    const auto owner = owners_.find(slot.fd);
    return owner != owners_.end() && owner->second == slot.id && control(slot, EPOLL_CTL_MOD);
  }

 private:
  ReadWatcher() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ >= 0) std::thread([this] { run(); }).detach();
  }

  bool control(const ReadSource::Slot& slot, int operation) const {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = slot.id;
    return ::epoll_ctl(epoll_, operation, slot.fd, &event) == 0;
  }

  void run() {
    epoll_event events[16];
    for (;;) {
      const int ready = ::epoll_wait(epoll_, events, 16, -1);
      for (int i = 0; i < ready; ++i) {
        // Posted under the lock, so that once remove() has returned no post
        // of that source is under way (its queue may go right after).
        std::lock_guard lock(mutex_);
        const auto it = slots_.find(events[i].data.u64);
        if (it == slots_.end()) continue;
        if (auto slot = it->second.lock(); slot && slot->active.load(std::memory_order_acquire))
          slot->queue->post([this, slot] { fire(slot); });
      }
    }
  }

  void fire(const std::shared_ptr<ReadSource::Slot>& slot) {
    {
      std::lock_guard running(slot->running);
      if (!slot->active.load(std::memory_order_acquire)) return;
      slot->handler();
    }
    if (slot->active.load(std::memory_order_acquire)) (void)rearm(*slot);
  }

  const int epoll_;
  std::mutex mutex_;
  std::uint64_t lastId_ = 0;                                                     // guarded by mutex_
  std::unordered_map<std::uint64_t, std::weak_ptr<ReadSource::Slot>> slots_;  // guarded by mutex_
  std::unordered_map<int, std::uint64_t> owners_;                                // guarded by mutex_
};

}  // namespace

ReadSource::ReadSource(SerialQueue& queue, int fd, std::function<void()> handler)
    : queue_(queue), fd_(fd), slot_(std::make_shared<Slot>()) {
  slot_->queue = &queue_;
  slot_->fd = fd;
  slot_->handler = std::move(handler);
}

ReadSource::~ReadSource() { cancel(); }

bool ReadSource::resume() {
  if (slot_->active.exchange(true, std::memory_order_acq_rel)) return true;
  if (ReadWatcher::instance().add(slot_)) return true;
  slot_->active.store(false, std::memory_order_release);
  return false;
}

void ReadSource::cancel() {
  if (!slot_->active.exchange(false, std::memory_order_acq_rel)) return;
  ReadWatcher::instance().remove(*slot_);
  // On the queue's own thread no handler can be running but the caller.
  if (!queue_.isCurrent()) std::lock_guard wait(slot_->running);
}

struct CountingSemaphore::Backend {
  std::mutex mutex;
  std::condition_variable changed;
  std::int64_t count;  // guarded by mutex
};

CountingSemaphore::CountingSemaphore(std::int64_t initial) : backend_(new Backend{{}, {}, initial}) {}

CountingSemaphore::~CountingSemaphore() = default;

void CountingSemaphore::signal() {
  {
    std::lock_guard lock(backend_->mutex);
    ++backend_->count;
  }
  backend_->changed.notify_one();
}

bool CountingSemaphore::waitFor(Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  Backend& b = *backend_;
  std::unique_lock lock(b.mutex);
  if (!b.changed.wait_until(lock, deadline, [&b] { return b.count > 0; })) return false;
  --b.count;
  return true;
}

}  // namespace tavirel::dispatch
