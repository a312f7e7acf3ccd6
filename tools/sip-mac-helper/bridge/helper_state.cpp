#include "bridge/helper_state.h"

#include <cstdlib>
#include <string>

#include "bridge/engine_queue.h"
#include "bridge/trace.h"

namespace tavirel {

HelperState& helperState() {
  // Deliberately never destroyed: the engine queue keeps running until the
  // process is gone, so there is no safe moment to tear this down.
  static HelperState* const state = new HelperState();
  return *state;
}

#if defined(TAVIREL_ENGINE_QUEUE_CHECKS)
void assertOnEngineQueue(const char* function, const char* file, int line) {
  const dispatch::SerialQueue* queue = dispatch::SerialQueue::current();
  if (queue != nullptr && queue->label() == kEngineQueueLabel) return;
  bridge::writeStderrLine("[ENGINE_QUEUE_TRACE] ", std::string(function) + " ran off the engine queue (" + file + ":" +
                                                      std::to_string(line) + ")");
  std::abort();
}
#endif

}  // namespace tavirel
