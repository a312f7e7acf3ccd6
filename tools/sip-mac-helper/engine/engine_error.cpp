#include "engine/engine_error.h"

#include <array>

namespace tavirel::engine {
namespace {

// Indexed by Operation.
constexpr std::array<std::string_view, 9> kPrefixes = {
    "Core init failed: ",
    "Account setup failed: ",
    "makeCall failed: ",
    "accept failed: ",
    "sendDtmf failed: ",
    "Unable to create conference: ",
    "inviteConference failed: ",
    "removeConferenceParticipant failed: ",
    "terminate participant call failed: ",
};
static_assert(kPrefixes.size() == static_cast<std::size_t>(Operation::terminateParticipantCall) + 1,
              "one prefix per operation");

}  // namespace

std::string_view failurePrefix(Operation operation) { return kPrefixes[static_cast<std::size_t>(operation)]; }

std::string failureText(Operation operation, std::string_view detail) {
  std::string text(failurePrefix(operation));
  text += detail;
  return text;
}

std::string statusFailure(std::string_view operation, int status) {
  std::string detail(operation);
  detail += " returned value ";
  detail += std::to_string(status);
  return "exception(result: \"" + detail + "\")";
}

std::string nullFailure(std::string_view kind) {
  return "exception(result: \"create null " + std::string(kind) + " value\")";
}

}  // namespace tavirel::engine
