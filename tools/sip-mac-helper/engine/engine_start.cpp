#include "engine/engine_start.h"

#include "audio/platform_audio.h"
#include "engine/core_setup.h"
#include "engine/engine_error.h"
#include "engine/event_mirror.h"
#include "engine/iterate_timer.h"
#include "engine/sdk_discovery.h"

namespace tavirel::engine {

SdkCheck checkSdk(const std::string& executablePath) {
  SdkCheck check;
  check.root = sdkRootPath(processSdkSearchInputs(executablePath));
  check.problem = frameworkPresenceError(check.root);
  return check;
}

std::optional<std::string> startEngineIfAbsent(HelperState& state) {
  if (state.linphoneCore) return std::nullopt;

  CoreCreation creation = createLinphoneCore();
  if (!creation.core) return "Core init failed: " + creation.error.value_or(nullFailure("Core"));
  LinphoneCore* core = creation.core;

  attachDelegate(state, core);
  if (const LinphoneStatus status = linphone_core_start(core); status != 0) {
    // Dropped whole: the next INITIALIZE starts over with a fresh core.
    linphone_core_unref(core);
    return "Core init failed: " + statusFailure("start", status);
  }
  state.linphoneCore = core;  // our creation reference, kept for the process's life

  audio::selectPlatformDefaultAudioDevices(core);
  audio::configurePlaybackGain(core);
  audio::installAudioDeviceListener(state);
  startIterateTimer(state, core);
  return std::nullopt;
}

}  // namespace tavirel::engine
