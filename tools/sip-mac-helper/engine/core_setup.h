// Creating and configuring the engine core, and routing the engine's log to
// standard error. Everything here runs on the engine queue except the UDP
// port probe and the log line formatting, which touch no engine state.
#pragma once

#include <linphone/core.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/owned.h"

namespace tavirel::engine {

// A UDP port that was free a moment ago: bind port 0 on the IPv4 wildcard
// address, read it back, close. Absent when any of that fails.
std::optional<std::int32_t> getAvailableUDPPort();

// "[LogLevel(rawValue: <level>)] [<domain>] <message>\n", the form the
// engine's log takes on standard error.
std::string engineLogLine(int level, std::string_view domain, std::string_view message);

// Whether the audio codec with this MIME type stays enabled: PCMA, PCMU and
// G729, in any letter case.
bool isAllowedAudioCodec(std::string_view mimeType);

// A created, configured, not yet started core, or the failure text (without
// the "Core init failed: " prefix). Nothing of a failed core remains.
struct CoreCreation {
  CorePtr core;  // null when `error` is set
  std::optional<std::string> error;
};

// Sets the engine log to warning level with our stderr handler, creates the
// core without any configuration file, its media plugins taken from
// `pluginDirectory` only (none when it does not exist), and applies the
// fixed transports,
// media settings and codec choice. Also keeps the engine from keeping any
// database or cache on disk, so nothing survives the process.
CoreCreation createLinphoneCore(const std::string& pluginDirectory);

// The directory the engine keeps its own files in while it runs (the
// DTLS identity it makes for encrypted calls): a private one under
// XDG_RUNTIME_DIR (else TMPDIR, else /tmp), made on first use, so nothing
// lands under HOME. Empty when it cannot be made. Any thread.
const std::string& enginePrivateDirectory();
// Removes that directory and what the engine put in it, if it was made.
// Called once, as the program ends.
void removeEnginePrivateDirectory();

// Writes the counts of engine log lines folded away in intervals that have
// ended (engine/log_folding.h). Any thread; the iteration calls it.
void flushEngineLog();

}  // namespace tavirel::engine
