#include "platform/linux/glib_idle_wait.h"

#include <gio/gio.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

namespace tavirel::location {
namespace {

class GlibIdleWait final : public IdleWait {
 public:
  // On the thread that will run the context: it acquires the context for
  // good and makes it the thread's default.
  GlibIdleWait() : context_(g_main_context_new()) {
    g_main_context_acquire(context_);
    g_main_context_push_thread_default(context_);
  }
  ~GlibIdleWait() override {
    g_main_context_pop_thread_default(context_);
    g_main_context_release(context_);
    g_main_context_unref(context_);
  }
  GlibIdleWait(const GlibIdleWait&) = delete;
  GlibIdleWait& operator=(const GlibIdleWait&) = delete;

  GMainContext* context() const { return context_; }

  // One iteration of the context, with the queue's next due task as an
  // extra limit on the poll. g_main_context_wakeup() leaves the context's
  // wake-up descriptor readable until the next check, so a post made
  // before the poll starts ends it at once.
  void waitUntil(std::optional<TimePoint> due) override {
    gint maxPriority = 0;
    g_main_context_prepare(context_, &maxPriority);
    gint glibTimeout = -1;
    gint count;
    while ((count = g_main_context_query(context_, maxPriority, &glibTimeout, fds_.data(),
                                         static_cast<gint>(fds_.size()))) > static_cast<gint>(fds_.size())) {
      fds_.resize(static_cast<std::size_t>(count));
    }
    const gint timeout = combined(glibTimeout, due);
    g_poll(fds_.data(), static_cast<guint>(count), timeout);
    if (g_main_context_check(context_, maxPriority, fds_.data(), count)) g_main_context_dispatch(context_);
  }

  void wake() override { g_main_context_wakeup(context_); }

 private:
  // Milliseconds until `due`, rounded up so the queue never wakes just
  // before its task is due and spins; the smaller of that and GLib's limit.
  static gint combined(gint glibTimeout, std::optional<TimePoint> due) {
    if (!due) return glibTimeout;
    const auto left = *due - std::chrono::steady_clock::now();
    if (left <= TimePoint::duration::zero()) return 0;
    const auto millis = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const gint ours = static_cast<gint>(std::min<decltype(millis)>(millis, G_MAXINT));
    return glibTimeout < 0 ? ours : std::min(glibTimeout, ours);
  }

  GMainContext* const context_;
  std::vector<GPollFD> fds_ = std::vector<GPollFD>(8);
};

// The context of the calling queue thread, once installed.
thread_local GMainContext* threadContext = nullptr;

}  // namespace

GMainContext* glibContextOn(MainQueue& queue) {
  assert(queue.isCurrent());
  if (threadContext == nullptr) {
    auto wait = std::make_unique<GlibIdleWait>();
    threadContext = wait->context();
    queue.installIdleWait(std::move(wait));
  }
  return threadContext;
}

namespace {

// Makes every later attempt of the calling thread to set a SIGPIPE action
// fail with EPERM, while reading one still works. A seccomp filter belongs
// to the thread that installs it (and threads it starts), so it ends with
// that thread; no other thread of the process is touched.
bool refuseSigpipeChangesOnThisThread() {
  constexpr std::uint32_t kArgsLow = offsetof(struct seccomp_data, args[1]);
  constexpr std::uint32_t kArgsHigh = kArgsLow + sizeof(std::uint32_t);
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rt_sigaction, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SIGPIPE, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      // A null new action is a read: allowed.
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kArgsLow),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 2),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kArgsHigh),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}

void refSocketClass() { g_type_class_unref(g_type_class_ref(G_TYPE_SOCKET)); }

}  // namespace

void initGlibSocketsKeepingSigpipe() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The class's `signal(SIGPIPE, SIG_IGN)` is refused on a thread of its
    // own, so the disposition never changes, not even for a moment: the
    // JVM samples its handlers while it runs and reports any change it
    // sees. Where seccomp is unavailable, put the action back at once,
    // which leaves a window of some microseconds.
    bool refused = false;
    std::thread([&refused] {
      refused = refuseSigpipeChangesOnThisThread();
      if (refused) refSocketClass();
    }).join();
    if (refused) return;
    struct sigaction before {};
    const bool saved = sigaction(SIGPIPE, nullptr, &before) == 0;
    refSocketClass();
    if (saved) sigaction(SIGPIPE, &before, nullptr);
  });
}

}  // namespace tavirel::location
