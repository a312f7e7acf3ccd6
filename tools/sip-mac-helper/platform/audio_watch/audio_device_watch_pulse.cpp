// PulseAudio backend of the device watch (also what PipeWire serves through
// its PulseAudio protocol). A threaded main loop owns the connection; its
// thread only posts to the engine queue and never runs the listener itself.
#include <pulse/pulseaudio.h>

#include <atomic>
#include <memory>
#include <utility>

#include "platform/audio_watch/audio_device_watch.h"

namespace tavirel::platform {
namespace {

// Connecting to a local socket takes milliseconds; the bound only matters for
// a server address that never answers, and INITIALIZE waits for it.
constexpr pa_usec_t kConnectTimeoutUsec = 2 * PA_USEC_PER_SEC;

class PulseDeviceWatch final : public AudioDeviceWatch {
 public:
  PulseDeviceWatch(dispatch::SerialQueue& queue, std::function<void()> onChange)
      : queue_(queue), onChange_(std::move(onChange)) {}

  ~PulseDeviceWatch() override {
    if (!mainloop_) return;
    pa_threaded_mainloop_stop(mainloop_);  // joins the loop thread; no callback runs after this
    if (context_) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    pa_threaded_mainloop_free(mainloop_);
  }

  // Connects and subscribes; false when there is no server or it refuses.
  bool start() {
    mainloop_ = pa_threaded_mainloop_new();
    if (!mainloop_) return false;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), "tavirel-sip-helper device watch");
    if (!context_) return false;
    pa_context_set_state_callback(context_, &PulseDeviceWatch::onContextState, this);
    // Never start a server of our own: without one the helper simply runs on
    // without hot-plug tracking.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    if (pa_threaded_mainloop_start(mainloop_) < 0) return false;

    pa_threaded_mainloop_lock(mainloop_);
    const bool subscribed = waitUntilReady() && subscribe();
    pa_threaded_mainloop_unlock(mainloop_);
    return subscribed;
  }

 private:
  // Loop lock held.
  bool waitUntilReady() {
    pa_time_event* timeout = pa_context_rttime_new(context_, pa_rtclock_now() + kConnectTimeoutUsec,
                                                   &PulseDeviceWatch::onTimeout, this);
    pa_context_state_t state;
    while ((state = pa_context_get_state(context_)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) &&
           !timedOut_)
      pa_threaded_mainloop_wait(mainloop_);
    if (timeout) pa_threaded_mainloop_get_api(mainloop_)->time_free(timeout);
    return state == PA_CONTEXT_READY;
  }

  // Loop lock held.
  bool subscribe() {
    pa_context_set_subscribe_callback(context_, &PulseDeviceWatch::onServerEvent, this);
    pa_operation* operation =
        pa_context_subscribe(context_, static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE),
                             &PulseDeviceWatch::onSubscribed, this);
    if (!operation) return false;
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING &&
           PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
      pa_threaded_mainloop_wait(mainloop_);
    pa_operation_unref(operation);
    return subscribed_;
  }

  static void onContextState(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseDeviceWatch*>(self)->mainloop_, 0);
  }

  static void onTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* watch = static_cast<PulseDeviceWatch*>(self);
    watch->timedOut_ = true;
    pa_threaded_mainloop_signal(watch->mainloop_, 0);
  }

  static void onSubscribed(pa_context*, int success, void* self) {
    auto* watch = static_cast<PulseDeviceWatch*>(self);
    watch->subscribed_ = success != 0;
    pa_threaded_mainloop_signal(watch->mainloop_, 0);
  }

  // Loop thread. Only devices appearing or going away count as a change of
  // the list: volume, port and running/suspended changes also arrive as sink
  // and source events (every call start suspends and resumes a sink), and
  // re-scanning the engine's devices on those would disturb a running call.
  static void onServerEvent(pa_context*, pa_subscription_event_type_t event, uint32_t, void* self) {
    const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility != PA_SUBSCRIPTION_EVENT_SINK && facility != PA_SUBSCRIPTION_EVENT_SOURCE) return;
    if (kind != PA_SUBSCRIPTION_EVENT_NEW && kind != PA_SUBSCRIPTION_EVENT_REMOVE) return;
    static_cast<PulseDeviceWatch*>(self)->postChange();
  }

  // A burst of events (a new sink brings its monitor source along) becomes
  // one run of the listener when the queue is busy; an event arriving while
  // the listener runs still gets a run of its own.
  void postChange() {
    if (pending_->exchange(true)) return;
    queue_.post([pending = pending_, onChange = onChange_] {
      pending->store(false);
      onChange();
    });
  }

  dispatch::SerialQueue& queue_;
  const std::function<void()> onChange_;
  std::shared_ptr<std::atomic<bool>> pending_ = std::make_shared<std::atomic<bool>>(false);
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  bool timedOut_ = false;    // loop lock
  bool subscribed_ = false;  // loop lock
};

}  // namespace

std::unique_ptr<AudioDeviceWatch> AudioDeviceWatch::install(dispatch::SerialQueue& queue,
                                                            std::function<void()> onChange) {
  auto watch = std::make_unique<PulseDeviceWatch>(queue, std::move(onChange));
  if (!watch->start()) return nullptr;
  return watch;
}

}  // namespace tavirel::platform
