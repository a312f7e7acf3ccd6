// How an account's signalling travels and how its calls' media are
// encrypted: the REGISTER payload's optional "transport" and
// "mediaEncryption", judged before the engine is touched, their names on
// the wire, and the engine's own values for them (both ways, in one table).
#pragma once

#include <linphone/core.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tavirel::engine {

enum class SipTransport { udp, tcp, tls };
enum class MediaEncryption { none, srtp, dtlsSrtp, zrtp };

struct AccountSecurity {
  SipTransport transport = SipTransport::udp;
  MediaEncryption media = MediaEncryption::none;
};

// A payload value as the account setup sees it: absent, or its text (a
// boolean arrives as "true" or "false", which no rule accepts).
using OptionalText = std::optional<std::string_view>;

// The security both keys ask for, or why not: an unknown value, or SDES
// keys ("srtp") over a transport that would carry them in clear. Absent
// keys give today's UDP without encryption.
std::variant<AccountSecurity, std::string> parseAccountSecurity(OptionalText transport, OptionalText mediaEncryption);

// The registrar's port when the server text names none.
std::string_view defaultSipPort(SipTransport transport);

// "udp", "tcp", "tls"; the engine's address parameter and the wire name.
std::string_view transportName(SipTransport transport);
// "none", "srtp", "dtls-srtp", "zrtp".
std::string_view mediaEncryptionName(MediaEncryption media);

LinphoneTransportType engineTransport(SipTransport transport);
LinphoneMediaEncryption engineEncryption(MediaEncryption media);
// The engine's value as ours; an engine transport we never use reads as UDP.
SipTransport transportFromEngine(LinphoneTransportType transport);
MediaEncryption encryptionFromEngine(LinphoneMediaEncryption encryption);

}  // namespace tavirel::engine
