// The helper's one connection to the sound server (PulseAudio, or PipeWire
// speaking its protocol), kept for the life of the process.
//
// A desktop's sound server comes and goes: it is restarted after an update,
// killed by a crash, or stopped while a debugger holds it. The connection
// therefore never gives up: when it fails, it reconnects with a bounded
// back-off, and a server that accepts the socket but never answers counts
// as failed after a bound. Nothing here ever waits on the server without a
// limit, so no caller can be frozen by a frozen server.
//
// Threads: one loop thread of libpulse's threaded main loop runs every
// server callback. Listeners are called on that thread and must only hand
// the news over (post to a queue). Everything else may be called from any
// thread except the loop thread.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sound_server/card_plan.h"

namespace tavirel::platform {

class PulseConnection {
 public:
  // The process's connection, created on first use. Never destroyed: engine
  // filters may still use it while the process exits.
  static PulseConnection& instance();

  // Starts connecting in the background; later calls do nothing.
  void start();

  // Waits at most `limit` for the first attempt to settle: connected with
  // both device lists read, or failed. True when connected.
  bool waitForFirstAttempt(std::chrono::milliseconds limit);

  // The devices of the server as last read; empty while disconnected.
  ServerDevices devices() const;
  // Reads the device lists again and waits at most `limit` for them, so a
  // device plugged in just now is there; then the same as devices().
  ServerDevices freshDevices(std::chrono::milliseconds limit);
  bool connected() const;

  // `listener` runs on the loop thread after each change of the device
  // lists, including their emptying when the server goes and their filling
  // when it is back.
  void addListener(std::function<void()> listener);

  // Holds the loop lock: a stream may be created, used or dropped on the
  // context while it is held. Not on the loop thread.
  class Lock {
   public:
    explicit Lock(PulseConnection& connection);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    // The context when it is ready for streams, else null.
    pa_context* readyContext() const;

   private:
    PulseConnection& connection_;
  };

  // Back-off between attempts: doubles from the first step to the cap.
  static std::chrono::milliseconds retryDelay(int failedAttempts);

 private:
  PulseConnection() = default;
  void connect();                // loop lock held
  void connectionFailed();       // loop lock held
  void scheduleRetry();          // loop lock held
  void readDevices();            // loop lock held
  void listRead();               // loop thread
  void publish(ServerDevices devices, bool read);  // loop lock held
  void settleFirstAttempt();

  static void onContextState(pa_context* context, void* self);
  static void onServerEvent(pa_context*, pa_subscription_event_type_t event, uint32_t, void* self);
  static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self);
  static void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self);
  static void onServerInfo(pa_context*, const pa_server_info* info, void* self);
  static void onRetry(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
  static void onConnectTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);

  pa_threaded_mainloop* loop_ = nullptr;

  // Loop lock.
  pa_context* context_ = nullptr;
  pa_time_event* retryEvent_ = nullptr;
  pa_time_event* connectTimeout_ = nullptr;
  int failedAttempts_ = 0;
  int listsPending_ = 0;      // sink and source reads still running
  bool rereadWanted_ = false;  // a change arrived while reading
  std::map<std::uint32_t, ServerDevice> sinksRead_, sourcesRead_;  // by server index
  std::string defaultSinkRead_, defaultSourceRead_;

  mutable std::mutex mutex_;
  std::condition_variable settled_;
  bool started_ = false;         // mutex_
  bool firstSettled_ = false;    // mutex_
  ServerDevices devices_;        // mutex_
  std::uint64_t readsDone_ = 0;  // mutex_: lists read and published
  bool connected_ = false;       // mutex_
  std::vector<std::function<void()>> listeners_;  // mutex_
};

// Held around anything in this process that lets libpulse read the server's
// address from the environment, which the engine's start briefly changes.
std::mutex& soundServerEnvironmentMutex();

}  // namespace tavirel::platform
