#include "engine/engine_start.h"

namespace tavirel::engine {

SdkCheck checkSdk(const std::string&) { return SdkCheck{"", std::nullopt}; }

std::optional<std::string> startEngineIfAbsent(HelperState&) {
  return "Core init failed: exception(result: \"engine start is not built yet\")";
}

}  // namespace tavirel::engine
