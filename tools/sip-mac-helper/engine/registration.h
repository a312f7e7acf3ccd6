// The SIP account: replacing it and dropping its registration.
#pragma once

#include <linphone/core.h>

#include <optional>
#include <string>

namespace tavirel::engine {

// Engine queue. Replaces every account and credential with one account for
// `sipAccount` at `server` ("host" or "host:port") and starts registering it.
// Returns "Account setup failed: ..." when an engine step fails; steps done
// before it stay done.
std::optional<std::string> setupSipAccount(LinphoneCore* core, const std::string& sipAccount,
                                           const std::string& sipPassword,
                                           const std::string& server);

// Engine queue. Turns registration off for every account; nothing when
// `core` is null.
void unregisterAccounts(LinphoneCore* core);

}  // namespace tavirel::engine
