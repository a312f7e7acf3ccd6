// Answers shown for people: "ok" or "error: <the helper's text>", the
// registration result in words, device lists as tables, the state in one
// line. Works on the answer lines as they came, so --raw and the normal
// view read the same input.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "command_parser.h"
#include "events.h"

namespace tavirel::console {

// Lines that show the answers to `plan`'s requests. `answers` may be
// shorter than the requests when the console stopped at a failure (a DTMF
// digit the helper refused ends the digits).
std::vector<std::string> presentAnswers(const Plan& plan, const std::vector<std::string>& answers);

// Whether an answer line says "success": true.
bool answerSucceeded(const std::string& answer);

std::vector<std::string> helpLines();

// The text under `key` of a JSON object; empty when `object` is not an
// object or the value is not a string. The helper only ever answers texts
// there, but the console must not fall over if something else does.
std::string textField(const nlohmann::json& object, const char* key);

// The state the two state queries' payloads describe.
StateSnapshot snapshotOf(const nlohmann::json& registrationPayload, const nlohmann::json& callPayload);

}  // namespace tavirel::console
