// How much request text the engine can be given where it becomes a SIP
// address: call targets, conference participants, the account name and the
// registrar.
//
// liblinphone 5.1 writes an address out into a fixed 1024-byte buffer and
// cuts whatever does not fit without a word, then parses the cut text back
// in places (the log entry of a new call, the account's identity when it
// answers a challenge). A cut that leaves no host gives a null address that
// the engine uses anyway and crashes on; a cut inside the host sends the
// call or the registration to a host nobody typed. belle-sip's parser also
// takes time that grows faster than the text (tens of seconds for 20,000
// characters), while every request behind it waits.
//
// What counts is the length the engine writes, in which a character may
// become a three-byte escape (%5c). The bound below counts three bytes for
// every byte outside the characters no part of a SIP URI ever escapes, so it
// never underestimates. The limits leave the engine's buffer room for what
// it adds (scheme, the account's domain, port, transport, display name) and
// stay far above any address a person dials: a 512-byte target of plain
// characters is still called.
//
// Plain functions, no engine: the decisions are tested on their own.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tavirel::engine {

// The engine's buffer for one address, terminating NUL included.
inline constexpr std::size_t kEngineAddressBuffer = 1024;

// Upper limits, in bytes as the engine may write them (escapedLengthBound).
inline constexpr std::size_t kMaxTargetLength = 512;   // MAKE_CALL, conference targets
inline constexpr std::size_t kMaxAccountLength = 256;  // REGISTER "sipAccount"
inline constexpr std::size_t kMaxServerLength = 256;   // REGISTER "server"

// A bare user name to which the engine adds the account's domain is the
// longest address a target can become.
static_assert(kMaxTargetLength + kMaxServerLength + 64 < kEngineAddressBuffer);
static_assert(kMaxAccountLength + kMaxServerLength + 64 < kEngineAddressBuffer);

// The length of `text` with every byte that some part of a SIP URI would
// escape counted as its three-byte escape. Letters, digits and -_.!~*'()
// count one.
std::size_t escapedLengthBound(std::string_view text);

// Whether `target` (a MAKE_CALL target, a conference target or participant)
// is short enough to hand to the engine's address interpretation.
bool fitsCallTarget(std::string_view target);

// Why REGISTER's texts cannot be given to the engine, or none when they can:
// "sipAccount too long (more than 256 bytes once escaped)" or the same for
// "server". The password is never parsed as an address and has no limit.
std::optional<std::string> accountTextProblem(std::string_view sipAccount, std::string_view server);

}  // namespace tavirel::engine
