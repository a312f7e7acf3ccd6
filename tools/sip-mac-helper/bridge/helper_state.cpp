#include "bridge/helper_state.h"

namespace tavirel {

HelperState& helperState() {
  // Deliberately never destroyed: the engine queue keeps running until the
  // process is gone, so there is no safe moment to tear this down.
  static HelperState* const state = new HelperState();
  return *state;
}

}  // namespace tavirel
