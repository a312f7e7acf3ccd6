// Ready-made parties for end-to-end tests: a helper that has run INITIALIZE,
// and one that has also registered one of the registrar's test users.
#pragma once

#include <memory>
#include <string>

#include "HelperClient.h"
#include "Kamailio.h"
#include "SoundServer.h"

namespace tavirel::test {

// Starts a helper (on `pulse` when given) and initializes its engine; throws
// with the helper's log when INITIALIZE fails.
std::unique_ptr<HelperClient> startInitializedHelper(const SoundServer* pulse,
                                                     HelperOptions options = {});

// startInitializedHelper, then REGISTER as `user` at `registrar`; throws with
// both logs when the registration does not succeed.
std::unique_ptr<HelperClient> startRegisteredHelper(const Kamailio& registrar, const SoundServer* pulse,
                                                    const std::string& user, HelperOptions options = {});

}  // namespace tavirel::test
