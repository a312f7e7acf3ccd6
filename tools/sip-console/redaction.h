// Keeping passwords out of what the console shows and keeps: the JSON lines
// of --raw, the command history, and the helper's last words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavirel::console {

inline constexpr std::string_view kHidden = "***";

// A request line as --raw shows it: every "sipPassword" value, at any depth
// and however its key is escaped, replaced by "***". A line that is not JSON
// but mentions a password is not shown at all, since there is no telling
// where the password is in it.
std::string redactRequestLine(std::string_view line);

// The helper's answer to a line it could not decode quotes the last bytes
// its JSON reader saw ("...; last read: '<bytes>'"), which for a REGISTER
// cut short is the password. For a line that may hold one, that quote is
// replaced by "***".
std::string hideEchoedInput(std::string_view answerLine);

// Whether a typed line may hold a password: it mentions one (any case), or
// is JSON with a "sipPassword" key. Such lines stay out of the history.
bool mayHoldPassword(std::string_view line);

// The passwords typed in this session, hidden wherever they would appear in
// text the console shows (an answer, the helper's stderr), as typed and as
// JSON writes them. Passwords shorter than three bytes are not looked for:
// hiding every "a" would make the output unreadable.
class SecretScrubber {
 public:
  void add(const std::string& secret);
  std::string scrub(std::string_view text) const;

 private:
  std::vector<std::string> forms_;
};

}  // namespace tavirel::console
