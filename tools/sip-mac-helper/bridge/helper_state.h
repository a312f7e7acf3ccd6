// The helper's process-wide state: created once at start, alive until the
// process ends, never destroyed (the engine thread may still be using it
// while the process exits).
#pragma once

#include <linphone/core.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/audio_watch/audio_device_watch.h"
#include "platform/dispatch/dispatch.h"

namespace tavirel {

struct HelperState {
  // The one serial queue on which all engine work, the iteration timer,
  // engine callbacks and the device-change listener run.
  dispatch::SerialQueue sipQueue{"com.tavirel.sip"};

  // Guards the four mirrored strings and registrationCompletion, and nothing
  // else. Held only to copy or write them; never while waiting.
  std::mutex stateLock;

  // Written once by the INITIALIZE work item while the request thread waits
  // for it, never cleared; read without a lock after that hand-over.
  LinphoneCore* linphoneCore = nullptr;
  LinphoneCoreCbs* coreDelegate = nullptr;                 // engine queue only
  std::unique_ptr<dispatch::RepeatingTimer> iterateTimer;  // engine queue only
  bool audioDeviceListenerInstalled = false;               // engine queue only
  std::function<void()> audioDeviceListenerBlock;          // engine queue only
  std::unique_ptr<platform::AudioDeviceWatch> audioDeviceWatch;  // engine queue only

  std::string registrationStateStr = "none";  // guarded by stateLock
  std::string callStateStr = "idle";          // guarded by stateLock
  std::string currentRemoteAddr;              // guarded by stateLock
  std::string callLogStatusStr = "none";      // guarded by stateLock
  std::function<void(LinphoneRegistrationState)> registrationCompletion;  // guarded by stateLock

  bool reloadingSoundDevices = false;  // engine queue only

  // Tuning values, fixed for the life of the process.
  static constexpr int registerExpiresSeconds = 600;
  static constexpr int unregisterExpiresSeconds = 0;
  static constexpr int incTimeoutSeconds = 65;
  static constexpr int noRtpTimeoutSeconds = 60;
  static constexpr int audioJitterMs = 160;
  static constexpr int videoJitterMs = 160;
  static constexpr float playbackGainDb = 6.0f;

  // The program's own path as started, for the SDK search.
  std::string executablePath;
};

// The process-wide instance, created on first use.
HelperState& helperState();

}  // namespace tavirel
