#include "engine/account_security.h"

#include <array>

namespace tavirel::engine {
namespace {

// Our value, its wire name and the engine's value, per row; the first row
// is what anything unknown reads as.
template <typename Value, typename Engine>
struct Named {
  Value value;
  std::string_view name;
  Engine engine;
};

using TransportRow = Named<SipTransport, LinphoneTransportType>;
using EncryptionRow = Named<MediaEncryption, LinphoneMediaEncryption>;

constexpr std::array<TransportRow, 3> kTransports = {{
    {SipTransport::udp, "udp", LinphoneTransportUdp},
    {SipTransport::tcp, "tcp", LinphoneTransportTcp},
    {SipTransport::tls, "tls", LinphoneTransportTls},
}};
constexpr std::array<EncryptionRow, 4> kEncryptions = {{
    {MediaEncryption::none, "none", LinphoneMediaEncryptionNone},
    {MediaEncryption::srtp, "srtp", LinphoneMediaEncryptionSRTP},
    {MediaEncryption::dtlsSrtp, "dtls-srtp", LinphoneMediaEncryptionDTLS},
    {MediaEncryption::zrtp, "zrtp", LinphoneMediaEncryptionZRTP},
}};

template <typename Row, std::size_t N, typename Key, typename Field>
const Row* rowWith(const std::array<Row, N>& rows, Field Row::*field, const Key& key) {
  for (const Row& row : rows)
    if (row.*field == key) return &row;
  return nullptr;
}

// The row of `key` in `field`, or the first row.
template <typename Row, std::size_t N, typename Key, typename Field>
const Row& rowOr(const std::array<Row, N>& rows, Field Row::*field, const Key& key) {
  const Row* row = rowWith(rows, field, key);
  return row ? *row : rows[0];
}

}  // namespace

std::variant<AccountSecurity, std::string> parseAccountSecurity(OptionalText transport, OptionalText mediaEncryption) {
  AccountSecurity security;
  if (transport) {
    const auto* known = rowWith(kTransports, &TransportRow::name, *transport);
    if (!known) return "\"transport\" must be \"udp\", \"tcp\" or \"tls\"";
    security.transport = known->value;
  }
  if (mediaEncryption) {
    const auto* known = rowWith(kEncryptions, &EncryptionRow::name, *mediaEncryption);
    if (!known) return "\"mediaEncryption\" must be \"none\", \"srtp\", \"dtls-srtp\" or \"zrtp\"";
    security.media = known->value;
  }
  // SDES puts the media keys into the SDP, which only TLS keeps secret.
  if (security.media == MediaEncryption::srtp && security.transport != SipTransport::tls)
    return "\"mediaEncryption\" \"srtp\" needs \"transport\" \"tls\"";
  return security;
}

std::string_view defaultSipPort(SipTransport transport) { return transport == SipTransport::tls ? "5061" : "5060"; }

std::string_view transportName(SipTransport transport) {
  return rowOr(kTransports, &TransportRow::value, transport).name;
}

std::string_view mediaEncryptionName(MediaEncryption media) {
  return rowOr(kEncryptions, &EncryptionRow::value, media).name;
}

LinphoneTransportType engineTransport(SipTransport transport) {
  return rowOr(kTransports, &TransportRow::value, transport).engine;
}

LinphoneMediaEncryption engineEncryption(MediaEncryption media) {
  return rowOr(kEncryptions, &EncryptionRow::value, media).engine;
}

SipTransport transportFromEngine(LinphoneTransportType transport) {
  return rowOr(kTransports, &TransportRow::engine, transport).value;
}

MediaEncryption encryptionFromEngine(LinphoneMediaEncryption encryption) {
  return rowOr(kEncryptions, &EncryptionRow::engine, encryption).value;
}

}  // namespace tavirel::engine
