// The helper's process-wide state: created once at start, alive until the
// process ends, never destroyed (the engine thread may still be using it
// while the process exits). Each part says who owns it.
#pragma once

#include <linphone/core.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/owned.h"
#include "platform/audio_watch/audio_device_watch.h"
#include "platform/dispatch/dispatch.h"

namespace tavirel::engine {
class SipIntake;
}

namespace tavirel {

inline constexpr std::string_view kEngineQueueLabel = "com.tavirel.sip";

// What a waiting REGISTER listens for: the outcome of the one account it
// set up. An account it replaced can still report (a challenge answered, a
// transaction timing out after the account was removed), and that outcome
// is not this registration's.
struct RegistrationCompletion {
  const LinphoneAccount* account = nullptr;
  std::function<void(LinphoneRegistrationState)> onChange;
  explicit operator bool() const { return static_cast<bool>(onChange); }
};

// What the state queries answer, kept current by the engine's events on the
// engine queue and read by the request thread.
struct MirroredState {
  // Guards every field below, and nothing else. Held only to copy or write
  // them; never while waiting.
  std::mutex stateLock;
  std::string registrationStateStr = "none";  // guarded by stateLock
  std::string callStateStr = "idle";          // guarded by stateLock
  std::string currentRemoteAddr;              // guarded by stateLock
  std::string callLogStatusStr = "none";      // guarded by stateLock
  RegistrationCompletion registrationCompletion;  // guarded by stateLock
};

// The engine and what keeps it running. Engine queue only, but for the
// core's hand-over: INITIALIZE's work item sets it once while the request
// thread waits for that item, and it is never cleared, so the request
// thread reads it without a lock after that.
struct EngineContext {
  // What the engine's callbacks find through their user data, one per core
  // ever made (a retried INITIALIZE makes another). Declared first so it
  // outlives every core.
  std::vector<std::shared_ptr<void>> delegateContexts;

  engine::CorePtr linphoneCore;  // our creation reference, for the process's life
  LinphoneCore* core() const { return linphoneCore.get(); }

  engine::Owned<LinphoneCoreCbs> coreDelegate;  // our reference; the core holds its own
  std::unique_ptr<dispatch::RepeatingTimer> iterateTimer;
  // What the timer iterates through, and what iterates the engine whenever
  // SIP input arrives; shared with the timer's handler.
  std::shared_ptr<engine::SipIntake> sipIntake;
  std::function<void()> audioDeviceListenerBlock;
  std::unique_ptr<platform::AudioDeviceWatch> audioDeviceWatch;
  bool reloadingSoundDevices = false;
};

struct HelperState {
  // The one serial queue on which all engine work, the iteration timer,
  // engine callbacks and the device-change listener run.
  dispatch::SerialQueue sipQueue{std::string(kEngineQueueLabel)};

  MirroredState mirror;
  EngineContext engine;

  // Tuning values, fixed for the life of the process.
  static constexpr int registerExpiresSeconds = 600;
  static constexpr int unregisterExpiresSeconds = 0;
  static constexpr int incTimeoutSeconds = 65;
  static constexpr int noRtpTimeoutSeconds = 60;
  static constexpr int audioJitterMs = 160;
  static constexpr int videoJitterMs = 160;
  static constexpr float playbackGainDb = 6.0f;

  // The program's own path as started, for the SDK search; set before the
  // first request.
  std::string executablePath;
};

// The process-wide instance, created on first use.
HelperState& helperState();

}  // namespace tavirel
