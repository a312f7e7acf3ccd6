// Diagnostic trace lines on standard error. Each call writes one whole line
// (prefix, message, LF) with a single unbuffered write, so lines show up at
// once, also when the process ends abruptly, and lines from different threads
// do not mix. Safe from any thread; never fails as seen by the caller.
#pragma once

#include <string_view>

namespace tavirel::bridge {

inline constexpr std::string_view kDebugTracePrefix = "[CONF_INVITE_TRACE] ";
inline constexpr std::string_view kDtmfTracePrefix = "[DTMF_TRACE] ";

// "true" or "false", as trace lines write flags.
inline const char* boolText(bool value) { return value ? "true" : "false"; }

// Conference stages and every audio-device trace.
void writeDebugLog(std::string_view text);
// DTMF stages.
void writeDtmfLog(std::string_view text);

// Writes `prefix`, `text` and LF to standard error as one write; a CR or LF
// inside `text` is written as "\\r" or "\\n", so one call is one line.
void writeStderrLine(std::string_view prefix, std::string_view text);

// Writes all of `bytes` to `fd`, retrying partial writes and EINTR. Returns
// false on any other failure (errno tells which).
bool writeAll(int fd, std::string_view bytes);

}  // namespace tavirel::bridge
