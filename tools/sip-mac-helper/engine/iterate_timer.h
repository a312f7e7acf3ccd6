// The engine's heartbeat: liblinphone does nothing between calls into it, so
// network input, timers, media state and every callback are processed by
// iterating the core from a repeating timer on the engine queue.
#pragma once

#include <linphone/core.h>

#include <chrono>

#include "bridge/helper_state.h"

namespace tavirel::engine {

inline constexpr std::chrono::milliseconds kIteratePeriod{20};
inline constexpr std::chrono::milliseconds kIterateLeeway{5};

// Starts iterating `core` on state.sipQueue now and every kIteratePeriod, for
// the rest of the process, and whenever its SIP socket is readable
// (engine/sip_intake.h); the intake holds its own reference to the core.
// Stored in state.engine.iterateTimer and sipIntake, replacing (and so
// stopping) earlier ones.
// Engine queue.
void startIterateTimer(HelperState& state, LinphoneCore* core);

}  // namespace tavirel::engine
