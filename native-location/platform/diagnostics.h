// One-line diagnostics on standard error.
//
// The library has no other channel for trouble the JVM cannot be told about
// (a bad simulation scenario, an exception thrown by a callback), so each
// such event becomes exactly one line, prefixed so it can be told apart from
// the host's own output.
#pragma once

#include <string_view>

namespace tavirel::location {

// Writes "tavirel-location: " + text + "\n" in one write. Line breaks inside
// `text` become spaces so one event is always one line. Any thread; never
// throws.
void writeDiagnosticLine(std::string_view text) noexcept;

}  // namespace tavirel::location
