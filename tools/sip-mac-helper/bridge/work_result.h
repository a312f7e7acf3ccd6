// What a command's work hands back to the dispatcher: an error text, or
// success with at most one value, which the dispatcher puts under the
// command's result key.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "bridge/protocol.h"

namespace tavirel {

struct WorkResult {
  std::optional<std::string> error;  // set: the command failed with this text
  std::optional<bridge::StringOrBool> value;

  static WorkResult done() { return {}; }
  static WorkResult failed(std::string text) { return {std::move(text), std::nullopt}; }
  static WorkResult withValue(bridge::StringOrBool value) { return {std::nullopt, std::move(value)}; }

  bool ok() const { return !error; }
};

}  // namespace tavirel
