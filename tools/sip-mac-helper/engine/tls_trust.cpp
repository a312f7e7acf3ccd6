#include "engine/tls_trust.h"

#include <arpa/inet.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "bridge/engine_queue.h"
#include "bridge/trace.h"

namespace tavirel::engine {
namespace {

constexpr std::string_view kRefusedPrefix = "TLS certificate refused: ";

// Keyed by the engine's TLS context. The media's DTLS contexts come and go
// on the media thread, so the map has a lock of its own.
struct ExpectedHosts {
  std::mutex lock;
  std::map<const bctbx_ssl_context_t*, std::string> byContext;
};

ExpectedHosts& expectedHosts() {
  static auto* hosts = new ExpectedHosts;  // never destroyed: engine threads run until _exit
  return *hosts;
}

std::optional<std::string> expectedHost(const bctbx_ssl_context_t* context) {
  ExpectedHosts& hosts = expectedHosts();
  std::lock_guard guard(hosts.lock);
  const auto found = hosts.byContext.find(context);
  if (found == hosts.byContext.end()) return std::nullopt;
  return found->second;
}

thread_local const bctbx_ssl_context_t* handshakeContext = nullptr;
// The flags of the chain's certificates so far: the engine checks them from
// the root down to the server's own, which comes last (depth 0).
thread_local std::uint32_t chainFlags = 0;

bool isAddressLiteral(const std::string& host) {
  std::array<unsigned char, 16> buffer{};
  return inet_pton(AF_INET, host.c_str(), buffer.data()) == 1 || inet_pton(AF_INET6, host.c_str(), buffer.data()) == 1;
}

bool namesExpectedAddress(bctbx_x509_certificate_t* certificate) {
  const auto host = expectedHost(handshakeContext);
  if (!host || !isAddressLiteral(*host)) return false;
  const int length = bctbx_x509_certificate_get_der_length(certificate);
  if (length <= 0) return false;
  // bctoolbox wants room for a terminating zero after the DER.
  std::vector<unsigned char> der(static_cast<std::size_t>(length) + 1);
  if (bctbx_x509_certificate_get_der(certificate, der.data(), der.size()) != 0) return false;
  return certificateListsAddress(std::span(der).first(static_cast<std::size_t>(length)), *host);
}

void onCertificate(void*, bctbx_x509_certificate_t* certificate, int depth, std::uint32_t* flags) {
  assertOnEngineQueue();
  if (depth == 0 && (*flags & BCTBX_CERTIFICATE_VERIFY_BADCERT_CN_MISMATCH) != 0 &&
      namesExpectedAddress(certificate))
    *flags &= ~static_cast<std::uint32_t>(BCTBX_CERTIFICATE_VERIFY_BADCERT_CN_MISMATCH);
  chainFlags |= *flags;
  if (depth != 0) return;
  if (chainFlags != 0) bridge::writeStderrLine(kRefusedPrefix, certificateProblem(chainFlags));
  chainFlags = 0;
}

}  // namespace

std::string rootCaPath(const char* variable) {
  if (variable != nullptr && *variable != '\0') return variable;
  return std::string(kSystemCaBundle);
}

bool certificateListsAddress(std::span<const unsigned char> der, std::string_view address) {
  const unsigned char* cursor = der.data();
  const std::unique_ptr<X509, decltype(&X509_free)> certificate(
      d2i_X509(nullptr, &cursor, static_cast<long>(der.size())), &X509_free);
  if (!certificate) return false;
  const std::string text(address);
  return X509_check_ip_asc(certificate.get(), text.c_str(), 0) == 1;
}

std::string certificateProblem(std::uint32_t flags) {
  static constexpr std::array<std::pair<std::uint32_t, std::string_view>, 6> kReasons = {{
      {BCTBX_CERTIFICATE_VERIFY_BADCERT_NOT_TRUSTED, "not issued by a trusted authority"},
      {BCTBX_CERTIFICATE_VERIFY_BADCERT_CN_MISMATCH, "issued for another name"},
      {BCTBX_CERTIFICATE_VERIFY_BADCERT_EXPIRED, "expired"},
      {BCTBX_CERTIFICATE_VERIFY_BADCERT_FUTURE, "not valid yet"},
      {BCTBX_CERTIFICATE_VERIFY_BADCERT_REVOKED, "revoked"},
      {BCTBX_CERTIFICATE_VERIFY_BADCERT_MISSING, "missing"},
  }};
  std::string words;
  std::uint32_t named = 0;
  for (const auto& [flag, reason] : kReasons) {
    if ((flags & flag) == 0) continue;
    if (!words.empty()) words += ", ";
    words += reason;
    named |= flag;
  }
  if ((flags & ~named) != 0) words += words.empty() ? "not acceptable" : ", not acceptable otherwise";
  return words;
}

void checkCertificatesWith(belle_tls_crypto_config_t* config) {
  if (config != nullptr) belle_tls_crypto_config_set_verify_callback(config, onCertificate, nullptr);
}

void noteExpectedHost(const bctbx_ssl_context_t* context, const char* host) {
  ExpectedHosts& hosts = expectedHosts();
  std::lock_guard guard(hosts.lock);
  if (host == nullptr)
    hosts.byContext.erase(context);
  else
    hosts.byContext[context] = host;
}

void forgetExpectedHost(const bctbx_ssl_context_t* context) { noteExpectedHost(context, nullptr); }

HandshakeInProgress::HandshakeInProgress(const bctbx_ssl_context_t* context) : previous_(handshakeContext) {
  handshakeContext = context;
  chainFlags = 0;
}

HandshakeInProgress::~HandshakeInProgress() { handshakeContext = previous_; }

}  // namespace tavirel::engine
