// Which SIP datagrams reach the engine, decided from the datagram and the
// address it really came from (the socket's, not what its headers claim).
//
// With an account, calls come through its registrar; a new INVITE sent
// straight to our port from anywhere else is a scanner's or a stranger's,
// and the engine would ring for it, keep a call and a call log for it and
// leave the line busy. Such an INVITE is answered 403 here and never reaches
// the engine. Requests inside a dialog (a To tag) pass whatever their source:
// a far end may send a re-INVITE straight to our contact when the proxy did
// not record its route, and the engine refuses one for no dialog itself.
//
// Plain functions, no engine and no socket: the decisions are tested on
// their own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavirel::engine {

struct IntakePolicy {
  // Refuse new INVITEs that do not come from `trustedSources`.
  bool screenInvites = false;
  // Numeric addresses ("192.0.2.7", "2001:db8::1") of the registrar.
  std::vector<std::string> trustedSources;

  bool trusts(std::string_view numericSource) const;
};

// True for an INVITE request that opens a dialog: its To header carries no
// tag. Compact header names count ("t:"). Text that is not a SIP request is
// not one.
bool isInitialInvite(std::string_view datagram);

// A SIP request line ("METHOD uri SIP/2.0") or status line ("SIP/2.0 200 OK")
// first, and no line longer than kLongestHeaderLine.
bool looksLikeSip(std::string_view datagram);

// The 403 answer to `request` (RFC 3261 8.2.6: its Via headers in order,
// From, To with a tag of ours, Call-ID and CSeq, no body). Absent when the
// request lacks one of them, so nothing malformed is answered.
std::optional<std::string> forbiddenResponse(std::string_view request);

// For a request the engine read from a connection (TCP, TLS), where no
// datagram could be screened before it: whether its top Via (the value of
// the header, "SIP/2.0/TCP host:port;params") shows that it came from the
// registrar. The engine adds received=<the connection's address> whenever
// the Via's host differs from that address and leaves a received= it finds
// otherwise, so only a Via whose host is a registrar address, and whose
// received= (if any) is one too, proves it; a NATed registrar whose Via
// names some other host is not trusted.
bool viaShowsTrustedHop(const IntakePolicy& policy, std::string_view topVia);
// The transport of a Via value, upper case ("UDP", "TCP", "TLS"); empty
// when the value does not start as a Via does.
std::string viaTransport(std::string_view topVia);

// What to do with one datagram from `numericSource` under `policy`: pass it
// to the engine, refuse it (a new INVITE from a stranger: answered 403), or
// drop it unanswered. Dropped whatever the policy: datagrams that are no SIP
// message at all, and messages larger than any a user agent sends over UDP
// (kLargestDatagram) or with a header line longer than kLongestHeaderLine.
// The engine's parser takes long over such text and its allocations stay
// with the process after it; a scanner's 60 KB header cost 1.5 MiB each.
// Empty lines (keep-alives) pass.
enum class Intake { pass, refuse, drop };
inline constexpr std::size_t kLargestDatagram = 32 * 1024;
inline constexpr std::size_t kLongestHeaderLine = 8 * 1024;
Intake screenDatagram(const IntakePolicy& policy, std::string_view datagram, std::string_view numericSource);

}  // namespace tavirel::engine
