// The SIP account: replacing it and dropping its registration.
#pragma once

#include <linphone/core.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/work_result.h"
#include "engine/account_security.h"

namespace tavirel::engine {

// The registrar as the REGISTER payload gives it: "host" or "host:port".
struct RegistrarAddress {
  std::string host;
  std::string port;  // as written, not checked to be a number; `defaultPort` when absent
};

// Splits at the first ':' that follows a non-empty piece, dropping empty
// pieces: "h" and "h:" give `defaultPort`, "h:5070" gives 5070, "h:a:b"
// keeps "a:b" as the port text. Absent when no host is left ("", ":", ":::").
std::optional<RegistrarAddress> parseRegistrar(std::string_view server, std::string_view defaultPort = "5060");

// What REGISTER asks for.
struct AccountRequest {
  const std::string& sipAccount;
  const std::string& sipPassword;
  const std::string& server;
  OptionalText transport;        // absent: UDP
  OptionalText mediaEncryption;  // absent: none
};

// Engine queue. Replaces every account and credential with one account for
// `sipAccount` at `server` ("host" or "host:port") and starts registering it
// over the transport asked for, with the media encryption asked for made
// mandatory for every call. Returns "Account setup failed: ..." when an
// engine step fails; steps done before it stay done. A server without a
// host, a transport or encryption that cannot be had, or an account or
// server text too long for an engine address (engine/input_limits.h),
// fails before anything changes.
WorkResult setupSipAccount(LinphoneCore* core, const AccountRequest& request);

// The numeric addresses `host` stands for (itself when it is one), looked up
// with the system's resolver: the sources an account's calls come from.
// Blocks for the lookup, so not on the engine queue. Empty when nothing
// resolves.
std::vector<std::string> registrarSources(const std::string& host);

// Engine queue. Turns registration off for every account; nothing when
// `core` is null.
void unregisterAccounts(LinphoneCore* core);

}  // namespace tavirel::engine
