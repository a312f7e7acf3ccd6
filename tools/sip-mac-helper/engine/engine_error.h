// Engine failure texts, built in one place so every command words them the
// same way: the failed operation's fixed prefix, then the engine's detail,
// exception(result: "<operation> returned value <status>") or
// exception(result: "create null <Kind> value").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/work_result.h"

namespace tavirel::engine {

// The operations whose failure a command reports with a fixed prefix.
enum class Operation : std::uint8_t {
  coreInit,                  // "Core init failed: "
  accountSetup,              // "Account setup failed: "
  makeCall,                  // "makeCall failed: "
  accept,                    // "accept failed: "
  sendDtmf,                  // "sendDtmf failed: "
  createConference,          // "Unable to create conference: "
  inviteConference,          // "inviteConference failed: "
  removeParticipant,         // "removeConferenceParticipant failed: "
  terminateParticipantCall,  // "terminate participant call failed: "
};

std::string_view failurePrefix(Operation operation);
// The prefix, then `detail`.
std::string failureText(Operation operation, std::string_view detail);
inline WorkResult failedIn(Operation operation, std::string_view detail) {
  return WorkResult::failed(failureText(operation, detail));
}

std::string statusFailure(std::string_view operation, int status);
std::string nullFailure(std::string_view kind);

}  // namespace tavirel::engine
