// The commands as data: for each, its wire name, whether it needs the
// engine, the payload keys it reads (with their rule and the error when the
// rule fails, in check order) and the key its success value goes under.
//
// The decoder reads the names from here and the dispatcher runs its frame
// from the rest; the dispatcher adds only each command's work, which this
// layer must not know.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "bridge/protocol.h"

namespace tavirel::bridge {

enum class KeyRule : std::uint8_t {
  present,   // a JSON string, whatever it holds
  nonEmpty,  // a JSON string other than ""
  nonBlank,  // a JSON string with more than white space and line breaks
  flag,      // a JSON boolean when there; anything else reads false; never fails
  optional,  // absent, or any value, kept for the work to judge; never fails
};

struct PayloadKey {
  std::string_view name;
  KeyRule rule;
  std::string_view missing;  // the error when the rule fails
  // Runs before that error is answered (a trace line); may be null.
  void (*onMissing)(const HelperBridgeRequest&) = nullptr;
};

// No command reads more payload keys than this.
inline constexpr std::size_t kMaxPayloadKeys = 6;

struct CommandRow {
  HelperBridgeCommand command;
  std::string_view wireName;
  bool needsEngine;  // "Not initialized" before the engine has started
  std::span<const PayloadKey> keys;
  std::string_view resultKey;  // empty: a success carries no payload
};

// Every command's row, indexed by the command's ordinal.
std::span<const CommandRow, kCommandCount> commandTable();
const CommandRow& commandRow(HelperBridgeCommand command);

}  // namespace tavirel::bridge
