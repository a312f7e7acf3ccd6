#include "calls/call_security.h"

#include "bridge/engine_queue.h"
#include "bridge/owned.h"
#include "calls/call_control.h"
#include "engine/account_security.h"

namespace tavirel::calls {
namespace {

// A call through the account travels as the account does; a direct one as
// its far party's contact says.
LinphoneTransportType signallingOf(LinphoneCall* call) {
  if (const LinphoneCallParams* params = linphone_call_get_params(call)) {
    if (LinphoneProxyConfig* account = linphone_call_params_get_proxy_config(params))
      return linphone_proxy_config_get_transport(account) != nullptr
                 ? linphone_transport_parse(linphone_proxy_config_get_transport(account))
                 : LinphoneTransportUdp;
  }
  if (const char* contact = linphone_call_get_remote_contact(call)) {
    const engine::Owned<LinphoneAddress> address(linphone_factory_create_address(linphone_factory_get(), contact));
    if (address) return linphone_address_get_transport(address.get());
  }
  return LinphoneTransportUdp;
}

}  // namespace

CallSecurity callSecurity(LinphoneCore* core) {
  assertOnEngineQueue();
  CallSecurity security;
  LinphoneCall* call = core ? resolveConferenceAnchorCall(core) : nullptr;  // borrowed
  if (call == nullptr) return security;
  security.signalling = engine::transportName(engine::transportFromEngine(signallingOf(call)));
  const LinphoneCallParams* current = linphone_call_get_current_params(call);  // borrowed
  const LinphoneMediaEncryption now =
      current ? linphone_call_params_get_media_encryption(current) : LinphoneMediaEncryptionNone;
  const LinphoneCallParams* asked = linphone_call_get_params(call);  // borrowed
  security.encrypted = now != LinphoneMediaEncryptionNone;
  security.mediaEncryption = engine::mediaEncryptionName(engine::encryptionFromEngine(
      security.encrypted || asked == nullptr ? now : linphone_call_params_get_media_encryption(asked)));
  if (now == LinphoneMediaEncryptionZRTP) {
    if (const char* token = linphone_call_get_authentication_token(call); token != nullptr && *token != '\0')
      security.authenticationToken = token;
  }
  return security;
}

}  // namespace tavirel::calls
