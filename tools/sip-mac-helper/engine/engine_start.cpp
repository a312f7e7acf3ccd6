#include "engine/engine_start.h"

#include <filesystem>

#include "bridge/engine_queue.h"
#include "engine/core_setup.h"
#include "engine/engine_error.h"
#include "engine/engine_guards.h"
#include "engine/event_mirror.h"
#include "engine/iterate_timer.h"
#include "engine/sdk_discovery.h"
#include "platform/sound_server/engine_sound_server.h"

namespace tavirel::engine {
namespace {

// A local sound server answers within milliseconds. One that does not is
// frozen or stuck, and the engine then starts without devices; they appear
// once the server answers.
constexpr auto kSoundServerWait = std::chrono::milliseconds(2500);

}  // namespace

SdkCheck checkSdk(const std::string& executablePath) {
  SdkCheck check;
  check.root = sdkRootPath(processSdkSearchInputs(executablePath));
  check.problem = frameworkPresenceError(check.root);
  return check;
}

WorkResult startEngineIfAbsent(HelperState& state, const EngineHooks& hooks, const std::string& sdkRoot) {
  assertOnEngineQueue();
  if (state.engine.core()) return WorkResult::done();
  reportInactiveEngineGuards();
  platform::connectSoundServer(kSoundServerWait);

  CoreCreation creation = createLinphoneCore((std::filesystem::path(sdkRoot) / kEnginePluginsRelativePath).string());
  if (!creation.core) return failedIn(Operation::coreInit, creation.error.value_or(nullFailure("Core")));
  // Dropped whole when the start fails: the next INITIALIZE starts over
  // with a fresh core.
  CorePtr created = std::move(creation.core);
  LinphoneCore* core = created.get();

  attachDelegate(state, core, hooks);
  if (const LinphoneStatus status = linphone_core_start(core); status != 0)
    return failedIn(Operation::coreInit, statusFailure("start", status));
  state.engine.linphoneCore = std::move(created);

  if (hooks.started) hooks.started(state, core);
  startIterateTimer(state, core);
  return WorkResult::done();
}

}  // namespace tavirel::engine
