// Engine code runs on the engine queue and nowhere else: the engine has no
// lock of its own. Functions that touch the engine say so by starting with
// assertOnEngineQueue(). Builds with TAVIREL_ENGINE_QUEUE_CHECKS (debug and
// sanitizer builds) check it and abort with the caller's name when it does
// not hold; in other builds it costs nothing.
#pragma once

namespace tavirel {

#if defined(TAVIREL_ENGINE_QUEUE_CHECKS)
// The builtins rather than std::source_location: Debian 12's clang (the
// fuzzing build) cannot compile libstdc++'s <source_location>.
void assertOnEngineQueue(const char* function = __builtin_FUNCTION(), const char* file = __builtin_FILE(),
                         int line = __builtin_LINE());
#else
inline void assertOnEngineQueue() {}
#endif

}  // namespace tavirel
