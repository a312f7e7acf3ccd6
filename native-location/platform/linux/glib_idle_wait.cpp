#include "platform/linux/glib_idle_wait.h"

#include <gio/gio.h>
#include <signal.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <mutex>
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

void initGlibSocketsKeepingSigpipe() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction before {};
    const bool saved = sigaction(SIGPIPE, nullptr, &before) == 0;
    g_type_class_unref(g_type_class_ref(G_TYPE_SOCKET));
    if (saved) sigaction(SIGPIPE, &before, nullptr);
  });
}

}  // namespace tavirel::location
