// Engine failure descriptions, built in one place so every command words them
// the same way: exception(result: "<operation> returned value <status>") or
// exception(result: "create null <Kind> value").
#pragma once

#include <string>
#include <string_view>

namespace tavirel::engine {

std::string statusFailure(std::string_view operation, int status);
std::string nullFailure(std::string_view kind);

}  // namespace tavirel::engine
