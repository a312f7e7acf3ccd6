// What protects the current call: how its signalling travels to the next
// hop, which media encryption it has, and whether the engine reports its
// media as encrypted now (not merely asked for).
#pragma once

#include <linphone/core.h>

#include <optional>
#include <string>

namespace tavirel::calls {

struct CallSecurity {
  std::string signalling = "none";  // "udp", "tcp", "tls"; "none" without a call
  std::string mediaEncryption = "none";
  bool encrypted = false;
  // ZRTP's short authentication string, once the engine has one.
  std::optional<std::string> authenticationToken;
};

// Engine queue. The call resolveConferenceAnchorCall picks; without a core
// or a call, the "none" answer.
CallSecurity callSecurity(LinphoneCore* core);

}  // namespace tavirel::calls
