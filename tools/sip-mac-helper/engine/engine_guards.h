// Engine functions the program replaces with guarded versions of its own
// (null_address_guard.cpp, looped_invite_guard.cpp). A replacement only takes
// effect when the engine's calls resolve to the program's definition, which
// depends on how the program was linked; INITIALIZE checks that they do.
#pragma once

#include <string>
#include <vector>

namespace tavirel::engine {

// Called by a guard file's static initializer with the function's name and
// the program's own definition.
void registerEngineGuard(const char* name, const void* definition);

// The names of registered guards that the dynamic linker does not resolve to
// the program's definition (so the engine would call its own).
std::vector<std::string> inactiveEngineGuards();

// The engine's own definition of `name`, the next one after the program's.
// Aborts when there is none: only an engine that lacks the function could
// get there, and it could not have called the guard; recursing would hide it.
// Call from the program itself (RTLD_NEXT looks past the caller's object).
void* engineDefinition(const char* name);
// The same, as the function type the guard replaces.
template <typename Function>
Function engineDefinitionAs(const char* name) {
  return reinterpret_cast<Function>(engineDefinition(name));
}

// Writes one stderr line per inactive guard. Engine queue, at start.
void reportInactiveEngineGuards();

}  // namespace tavirel::engine
