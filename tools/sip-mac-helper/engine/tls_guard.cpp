// The engine's TLS checks gain ours (engine/tls_trust.h): the listening
// point's configuration is where belle-sip lets a program see each
// certificate, and the TLS context's host and handshake tell which host a
// certificate was meant to name. Each definition does its part, then the
// engine's own.
//
// The engine calls these through its dynamic symbol table, so these
// definitions, exported by the program, are the ones it reaches.
#include "engine/engine_guards.h"
#include "engine/tls_trust.h"

using tavirel::engine::engineDefinitionAs;

extern "C" int belle_sip_tls_listening_point_set_crypto_config(belle_sip_tls_listening_point_t* point,
                                                                belle_tls_crypto_config_t* config) {
  using Own = int (*)(belle_sip_tls_listening_point_t*, belle_tls_crypto_config_t*);
  static const auto own = engineDefinitionAs<Own>("belle_sip_tls_listening_point_set_crypto_config");
  tavirel::engine::checkCertificatesWith(config);
  return own(point, config);
}

extern "C" int32_t bctbx_ssl_set_hostname(bctbx_ssl_context_t* context, const char* hostname) {
  using Own = int32_t (*)(bctbx_ssl_context_t*, const char*);
  static const auto own = engineDefinitionAs<Own>("bctbx_ssl_set_hostname");
  tavirel::engine::noteExpectedHost(context, hostname);
  return own(context, hostname);
}

extern "C" int32_t bctbx_ssl_handshake(bctbx_ssl_context_t* context) {
  using Own = int32_t (*)(bctbx_ssl_context_t*);
  static const auto own = engineDefinitionAs<Own>("bctbx_ssl_handshake");
  const tavirel::engine::HandshakeInProgress handshake(context);
  return own(context);
}

extern "C" void bctbx_ssl_context_free(bctbx_ssl_context_t* context) {
  using Own = void (*)(bctbx_ssl_context_t*);
  static const auto own = engineDefinitionAs<Own>("bctbx_ssl_context_free");
  tavirel::engine::forgetExpectedHost(context);
  own(context);
}

namespace {
// INITIALIZE checks that the engine's calls reach these definitions.
const bool registered = [] {
  using tavirel::engine::registerEngineGuard;
  registerEngineGuard("belle_sip_tls_listening_point_set_crypto_config",
                      reinterpret_cast<const void*>(&belle_sip_tls_listening_point_set_crypto_config));
  registerEngineGuard("bctbx_ssl_set_hostname", reinterpret_cast<const void*>(&bctbx_ssl_set_hostname));
  registerEngineGuard("bctbx_ssl_handshake", reinterpret_cast<const void*>(&bctbx_ssl_handshake));
  registerEngineGuard("bctbx_ssl_context_free", reinterpret_cast<const void*>(&bctbx_ssl_context_free));
  return true;
}();
}  // namespace
