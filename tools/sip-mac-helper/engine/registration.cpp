#include "engine/registration.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <variant>
#include <vector>

#include "bridge/engine_queue.h"
#include "bridge/helper_state.h"
#include "engine/engine_error.h"
#include "engine/input_limits.h"
#include "bridge/owned.h"

namespace tavirel::engine {
namespace {

WorkResult failed(const std::string& description) { return failedIn(Operation::accountSetup, description); }

}  // namespace

std::optional<RegistrarAddress> parseRegistrar(std::string_view server, std::string_view defaultPort) {
  // At most two pieces, empty ones dropped: the first non-empty piece ends at
  // the next ':', and everything after that colon (if not empty) is the port.
  std::size_t start = 0;
  while (start < server.size() && server[start] == ':') ++start;
  if (start == server.size()) return std::nullopt;
  const std::size_t colon = server.find(':', start);
  RegistrarAddress registrar;
  registrar.host = std::string(server.substr(start, colon - start));
  registrar.port = std::string(defaultPort);
  if (colon != std::string_view::npos && colon + 1 < server.size())
    registrar.port = std::string(server.substr(colon + 1));
  return registrar;
}

WorkResult setupSipAccount(LinphoneCore* core, const AccountRequest& request) {
  assertOnEngineQueue();
  const auto parsed = parseAccountSecurity(request.transport, request.mediaEncryption);
  if (const auto* problem = std::get_if<std::string>(&parsed)) return failed(*problem);
  const AccountSecurity security = std::get<AccountSecurity>(parsed);
  const LinphoneMediaEncryption encryption = engineEncryption(security.media);
  if (security.media != MediaEncryption::none && !linphone_core_media_encryption_supported(core, encryption))
    return failed("\"mediaEncryption\" \"" + std::string(mediaEncryptionName(security.media)) +
                  "\" is not available in this engine");
  const std::string& sipAccount = request.sipAccount;
  const std::string& server = request.server;
  const auto registrar = parseRegistrar(server, defaultSipPort(security.transport));
  if (!registrar) return failed("server \"" + server + "\" names no host");
  if (auto problem = accountTextProblem(sipAccount, server)) return failed(*problem);

  // The list belongs to the core and changes as accounts are removed, so
  // take our own references first and remove from that copy.
  std::vector<Owned<LinphoneAccount>> existing;
  for (const bctbx_list_t* it = linphone_core_get_account_list(core); it; it = bctbx_list_next(it))
    existing.emplace_back(linphone_account_ref(static_cast<LinphoneAccount*>(bctbx_list_get_data(it))));
  for (const auto& account : existing) linphone_core_remove_account(core, account.get());
  existing.clear();
  linphone_core_clear_accounts(core);
  linphone_core_clear_all_auth_info(core);

  LinphoneFactory* factory = linphone_factory_get();  // borrowed singleton
  Owned<LinphoneAccountParams> params(linphone_core_create_account_params(core));
  if (!params) return failed(nullFailure("AccountParams"));

  Owned<LinphoneAddress> identity(
      linphone_factory_create_address(factory, ("sip:" + sipAccount + "@" + registrar->host).c_str()));
  if (!identity) return failed(nullFailure("Address"));
  if (const int status = linphone_account_params_set_identity_address(params.get(), identity.get()); status != 0)
    return failed(statusFailure("setIdentityAddress", status));

  Owned<LinphoneAddress> serverAddress(linphone_factory_create_address(
      factory, ("sip:" + registrar->host + ":" + registrar->port + ";transport=" +
                std::string(transportName(security.transport)))
                   .c_str()));
  if (!serverAddress) return failed(nullFailure("Address"));
  if (const int status = linphone_account_params_set_server_address(params.get(), serverAddress.get()); status != 0)
    return failed(statusFailure("setServerAddress", status));

  linphone_account_params_set_transport(params.get(), engineTransport(security.transport));
  linphone_account_params_enable_register(params.get(), TRUE);
  linphone_account_params_set_expires(params.get(), HelperState::registerExpiresSeconds);

  Owned<LinphoneAccount> account(linphone_core_create_account(core, params.get()));
  if (!account) return failed(nullFailure("Account"));
  if (const int status = linphone_core_add_account(core, account.get()); status != 0)
    return failed(statusFailure("addAccount", status));
  linphone_core_set_default_account(core, account.get());

  Owned<LinphoneAuthInfo> credentials(linphone_factory_create_auth_info(
      factory, sipAccount.c_str(), nullptr, request.sipPassword.c_str(), nullptr, nullptr, registrar->host.c_str()));
  if (!credentials) return failed(nullFailure("AuthInfo"));
  linphone_core_add_auth_info(core, credentials.get());  // the core keeps a copy

  // Mandatory whenever asked for: an "optional" mode would let anyone on the
  // path strip the offer and have the call in clear.
  if (const int status = linphone_core_set_media_encryption(core, encryption); status != 0)
    return failed(statusFailure("setMediaEncryption", status));
  linphone_core_set_media_encryption_mandatory(core, security.media != MediaEncryption::none);

  linphone_core_refresh_registers(core);
  return WorkResult::done();
}

std::vector<std::string> registrarSources(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  std::vector<std::string> sources;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return sources;
  for (const addrinfo* it = found; it != nullptr; it = it->ai_next) {
    char numeric[NI_MAXHOST];
    if (::getnameinfo(it->ai_addr, it->ai_addrlen, numeric, sizeof numeric, nullptr, 0, NI_NUMERICHOST) != 0)
      continue;
    if (std::find(sources.begin(), sources.end(), numeric) == sources.end()) sources.emplace_back(numeric);
  }
  ::freeaddrinfo(found);
  return sources;
}

void unregisterAccounts(LinphoneCore* core) {
  assertOnEngineQueue();
  if (!core) return;
  for (const bctbx_list_t* it = linphone_core_get_account_list(core); it; it = bctbx_list_next(it)) {
    auto* account = static_cast<LinphoneAccount*>(bctbx_list_get_data(it));
    const LinphoneAccountParams* params = linphone_account_get_params(account);  // borrowed
    if (!params) continue;
    Owned<LinphoneAccountParams> changed(linphone_account_params_clone(params));
    if (!changed) continue;
    linphone_account_params_set_expires(changed.get(), HelperState::unregisterExpiresSeconds);
    linphone_account_params_enable_register(changed.get(), FALSE);
    linphone_account_set_params(account, changed.get());
  }
  linphone_core_refresh_registers(core);
}

}  // namespace tavirel::engine
