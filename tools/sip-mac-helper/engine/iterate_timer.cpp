#include "engine/iterate_timer.h"

#include <memory>

#include "bridge/engine_queue.h"
#include "engine/sip_intake.h"

namespace tavirel::engine {

void startIterateTimer(HelperState& state, LinphoneCore* core) {
  assertOnEngineQueue();
  auto intake = std::make_shared<SipIntake>(state.sipQueue, core);
  auto timer = std::make_unique<dispatch::RepeatingTimer>(state.sipQueue, [intake] { intake->tick(); });
  timer->schedule(dispatch::Clock::now(), kIteratePeriod, kIterateLeeway);
  timer->resume();
  state.engine.iterateTimer = std::move(timer);
  state.engine.sipIntake = std::move(intake);
}

}  // namespace tavirel::engine
