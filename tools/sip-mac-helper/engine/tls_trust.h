// What the helper trusts on a TLS connection: the CA store, and a server
// named by its IP address. The engine (mbedTLS underneath) matches a host
// only against a certificate's DNS names and common name, so a certificate
// that lists the registrar's address as an IP entry, the standard form,
// would be refused; the check here accepts that entry, and nothing else the
// engine refused.
#pragma once

#include <bctoolbox/crypto.h>
#include <belle-sip/belle-sip.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tavirel::engine {

inline constexpr std::string_view kRootCaVariable = "TAVIREL_SIP_ROOT_CA";
inline constexpr std::string_view kSystemCaBundle = "/etc/ssl/certs/ca-certificates.crt";

// The PEM file certificates are checked against: `variable` when set and
// not empty, else the system's CA store.
std::string rootCaPath(const char* variable);

// Whether the certificate (DER) lists `address` as an IP entry of its
// subject alternative names. False for anything unparsable.
bool certificateListsAddress(std::span<const unsigned char> der, std::string_view address);

// Why a certificate with these bctoolbox verification flags is refused, in
// words ("expired, issued for another name"); empty for no flags.
std::string certificateProblem(std::uint32_t flags);

// The engine's TLS checks gain the IP-entry check and one stderr line per
// refused certificate. Called for every TLS configuration the engine makes;
// engine queue.
void checkCertificatesWith(belle_tls_crypto_config_t* config);

// Which host the handshake on `context` expects; forgotten when it is freed.
// Any thread.
void noteExpectedHost(const bctbx_ssl_context_t* context, const char* host);
void forgetExpectedHost(const bctbx_ssl_context_t* context);

// Marks the handshake under way on this thread, for the check above.
class HandshakeInProgress {
 public:
  explicit HandshakeInProgress(const bctbx_ssl_context_t* context);
  ~HandshakeInProgress();
  HandshakeInProgress(const HandshakeInProgress&) = delete;
  HandshakeInProgress& operator=(const HandshakeInProgress&) = delete;

 private:
  const bctbx_ssl_context_t* previous_;
};

}  // namespace tavirel::engine
