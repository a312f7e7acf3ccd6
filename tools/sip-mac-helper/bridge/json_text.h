// Appending JSON string literals to a buffer, shared by every encoder of the
// helper (responses, device lists, trace target lists).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tavirel::bridge {

// Appends `text` as a quoted JSON string with standard escaping; non-ASCII
// text stays UTF-8. Returns false, leaving `out` partly written, when `text`
// is not valid UTF-8.
bool appendJsonString(std::string& out, std::string_view text);

// `text` with every byte that is not part of well-formed UTF-8 replaced by
// U+FFFD, so it can always be encoded.
std::string toValidUtf8(std::string_view text);

// The code point of the well-formed UTF-8 sequence that starts at `at`, and
// its length in bytes; nullopt when the sequence is malformed, overlong, a
// surrogate or beyond U+10FFFF. The one UTF-8 decoder of the helper.
std::optional<std::pair<char32_t, std::size_t>> decodeUtf8(std::string_view text, std::size_t at);

}  // namespace tavirel::bridge
