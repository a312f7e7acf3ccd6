#include "engine/iterate_timer.h"

#include <memory>

#include "bridge/engine_queue.h"

namespace tavirel::engine {

void startIterateTimer(HelperState& state, LinphoneCore* core) {
  assertOnEngineQueue();
  std::shared_ptr<LinphoneCore> iterated(linphone_core_ref(core), linphone_core_unref);
  auto timer = std::make_unique<dispatch::RepeatingTimer>(
      state.sipQueue, [iterated] { linphone_core_iterate(iterated.get()); });
  timer->schedule(dispatch::Clock::now(), kIteratePeriod, kIterateLeeway);
  timer->resume();
  state.engine.iterateTimer = std::move(timer);
}

}  // namespace tavirel::engine
