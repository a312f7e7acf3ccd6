#include "Parties.h"

#include <stdexcept>

namespace tavirel::test {

std::unique_ptr<HelperClient> startInitializedHelper(const SoundServer* pulse, HelperOptions options) {
  options.pulse = pulse;
  auto helper = std::make_unique<HelperClient>(std::move(options));
  const auto started = helper->request("INITIALIZE");
  if (!started.value("success", false))
    throw std::runtime_error("INITIALIZE failed: " + started.dump() + "\n" + helper->stderrText());
  return helper;
}

std::unique_ptr<HelperClient> startRegisteredHelper(const Kamailio& registrar, const SoundServer* pulse,
                                                    const std::string& user, HelperOptions options) {
  auto helper = startInitializedHelper(pulse, std::move(options));
  const auto registered = helper->request(
      "REGISTER", {{"sipAccount", user}, {"sipPassword", Kamailio::user(user).password}, {"server", registrar.server()}});
  if (!registered.value("success", false))
    throw std::runtime_error("REGISTER " + user + " failed: " + registered.dump() + "\n" + helper->stderrText() +
                             "\n--- registrar ---\n" + registrar.logText());
  return helper;
}

}  // namespace tavirel::test
