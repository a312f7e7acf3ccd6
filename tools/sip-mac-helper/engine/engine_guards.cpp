#include "engine/engine_guards.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <utility>

#include "bridge/trace.h"

namespace tavirel::engine {
namespace {

struct Guards {
  std::mutex lock;
  std::vector<std::pair<const char*, const void*>> registered;  // guarded by lock
};

Guards& guards() {
  // Registered from static initializers of other files, so made on first use.
  static Guards* const all = new Guards();
  return *all;
}

}  // namespace

void registerEngineGuard(const char* name, const void* definition) {
  std::lock_guard lock(guards().lock);
  guards().registered.emplace_back(name, definition);
}

std::vector<std::string> inactiveEngineGuards() {
  std::lock_guard lock(guards().lock);
  std::vector<std::string> inactive;
  for (const auto& [name, definition] : guards().registered)
    if (::dlsym(RTLD_DEFAULT, name) != definition) inactive.emplace_back(name);
  return inactive;
}

void* engineDefinition(const char* name) {
  void* found = ::dlsym(RTLD_NEXT, name);
  if (found == nullptr) {
    bridge::writeStderrLine("", std::string(name) + ": engine function not found");
    std::abort();
  }
  return found;
}

void reportInactiveEngineGuards() {
  for (const std::string& name : inactiveEngineGuards())
    bridge::writeStderrLine("[ENGINE_GUARD_TRACE] ",
                            name + " resolves to the engine's own definition; its guard is not active");
}

}  // namespace tavirel::engine
