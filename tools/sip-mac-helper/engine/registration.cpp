#include "engine/registration.h"

namespace tavirel::engine {

std::optional<std::string> setupSipAccount(LinphoneCore*, const std::string&, const std::string&,
                                           const std::string&) {
  return "Account setup failed: not built yet";
}

void unregisterAccounts(LinphoneCore*) {}

}  // namespace tavirel::engine
