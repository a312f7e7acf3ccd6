// GLib's main context run as a main queue's idle wait: GLib sources and
// queue tasks share the one thread, and neither starves the other. Every
// wait is bounded.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "journal.h"
#include "platform/linux/geoclue_location_service.h"
#include "platform/linux/glib_idle_wait.h"
#include "platform/main_queue.h"

namespace tavirel::location {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Installs the context from a queue task, as the GeoClue2 service does.
GMainContext* installOn(MainQueue& queue, Journal& journal) {
  std::atomic<GMainContext*> context{nullptr};
  queue.post([&] {
    context = glibContextOn(queue);
    journal.add("installed");
  });
  EXPECT_TRUE(journal.wait(1));
  return context;
}

TEST(GlibIdleWait, GlibSourcesAndQueueTasksRunOnTheQueueThread) {
  MainQueue queue("test-queue");
  Journal journal;
  GMainContext* context = installOn(queue, journal);
  ASSERT_NE(context, nullptr);

  // Attached from another thread, as GDBus's worker does with replies.
  GSource* timer = g_timeout_source_new(20);
  g_source_set_callback(
      timer, [](gpointer data) -> gboolean {
        static_cast<Journal*>(data)->add("glib timer");
        return G_SOURCE_REMOVE;
      },
      &journal, nullptr);
  g_source_attach(timer, context);
  g_source_unref(timer);
  queue.post([&] { journal.add("task"); });
  ASSERT_TRUE(journal.wait(3));
  for (auto id : journal.threads()) EXPECT_EQ(id, journal.threads().front());

  // The queue's thread is the context's owner and its thread default.
  queue.post([&] {
    journal.add(g_main_context_is_owner(context) && g_main_context_get_thread_default() == context ? "owner"
                                                                                                   : "not owner");
  });
  ASSERT_TRUE(journal.wait(4));
  EXPECT_EQ(journal.labels().back(), "owner");
}

TEST(GlibIdleWait, PostsAndDueTasksWakeAnIdlePoll) {
  MainQueue queue("test-queue");
  Journal journal;
  installOn(queue, journal);
  // GLib has no source due: the poll would sleep for ever unless the post
  // and the queue's timer end it.
  std::thread([&] { queue.post([&] { journal.add("posted"); }); }).join();
  ASSERT_TRUE(journal.wait(2, 2s));

  const auto deferred = Clock::now();
  queue.postAfter(50ms, [&] { journal.add("due"); });
  ASSERT_TRUE(journal.wait(3, 5s));
  const auto took = Clock::now() - deferred;
  EXPECT_GE(took, 50ms);  // never early, though the poll counts in whole milliseconds
}

TEST(GlibIdleWait, QueueStopsWhileGlibIsIdle) {
  Journal journal;
  {
    MainQueue queue("test-queue");
    installOn(queue, journal);
    queue.postAfter(std::chrono::hours(1), [&] { journal.add("never"); });
  }  // joins: the stop must wake the poll
  EXPECT_EQ(journal.labels(), (std::vector<std::string>{"installed"}));
}

void noteSigpipe(int) {}

TEST(GlibSockets, TheHostsSigpipeHandlerSurvivesGioWithoutAMomentsChange) {
  struct sigaction ours {};
  ours.sa_handler = &noteSigpipe;
  ASSERT_EQ(sigaction(SIGPIPE, &ours, nullptr), 0);
  // The JVM samples its handlers from a thread of its own while the
  // socket class comes in; so does this one.
  std::atomic<bool> sampling{true};
  std::atomic<int> changesSeen{0};
  std::thread sampler([&] {
    while (sampling.load()) {
      struct sigaction now {};
      if (sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler != &noteSigpipe) ++changesSeen;
    }
  });
  // Working out the bus address is the first GIO call the service makes.
  EXPECT_FALSE(systemBusAddress().empty());
  g_type_class_unref(g_type_class_ref(G_TYPE_SOCKET));
  sampling = false;
  sampler.join();
  EXPECT_EQ(changesSeen.load(), 0);
  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, &noteSigpipe);
  // The refusal ended with the thread that brought the class in.
  EXPECT_EQ(sigaction(SIGPIPE, &ours, nullptr), 0);
  signal(SIGPIPE, SIG_DFL);
}

}  // namespace
}  // namespace tavirel::location
