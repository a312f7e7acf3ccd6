#include "engine/account_security.h"

#include <array>
#include <utility>

namespace tavirel::engine {
namespace {

constexpr std::array<std::pair<std::string_view, SipTransport>, 3> kTransports = {{
    {"udp", SipTransport::udp},
    {"tcp", SipTransport::tcp},
    {"tls", SipTransport::tls},
}};
constexpr std::array<std::pair<std::string_view, MediaEncryption>, 4> kEncryptions = {{
    {"none", MediaEncryption::none},
    {"srtp", MediaEncryption::srtp},
    {"dtls-srtp", MediaEncryption::dtlsSrtp},
    {"zrtp", MediaEncryption::zrtp},
}};

template <typename Value, std::size_t N>
std::optional<Value> lookUp(const std::array<std::pair<std::string_view, Value>, N>& names, std::string_view text) {
  for (const auto& [name, value] : names)
    if (name == text) return value;
  return std::nullopt;
}

template <typename Value, std::size_t N>
std::string_view nameOf(const std::array<std::pair<std::string_view, Value>, N>& names, Value value) {
  for (const auto& [name, known] : names)
    if (known == value) return name;
  return names[0].first;
}

}  // namespace

std::variant<AccountSecurity, std::string> parseAccountSecurity(OptionalText transport, OptionalText mediaEncryption) {
  AccountSecurity security;
  if (transport) {
    const auto known = lookUp(kTransports, *transport);
    if (!known) return "\"transport\" must be \"udp\", \"tcp\" or \"tls\"";
    security.transport = *known;
  }
  if (mediaEncryption) {
    const auto known = lookUp(kEncryptions, *mediaEncryption);
    if (!known) return "\"mediaEncryption\" must be \"none\", \"srtp\", \"dtls-srtp\" or \"zrtp\"";
    security.media = *known;
  }
  // SDES puts the media keys into the SDP, which only TLS keeps secret.
  if (security.media == MediaEncryption::srtp && security.transport != SipTransport::tls)
    return "\"mediaEncryption\" \"srtp\" needs \"transport\" \"tls\"";
  return security;
}

std::string_view defaultSipPort(SipTransport transport) { return transport == SipTransport::tls ? "5061" : "5060"; }

std::string_view transportName(SipTransport transport) { return nameOf(kTransports, transport); }

std::string_view mediaEncryptionName(MediaEncryption media) { return nameOf(kEncryptions, media); }

}  // namespace tavirel::engine
