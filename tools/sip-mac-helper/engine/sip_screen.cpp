#include "engine/sip_screen.h"

#include <algorithm>
#include <cctype>

namespace tavirel::engine {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// One header line as name and value; folded continuation lines are not
// joined (none of the headers we copy needs them to be recognised).
struct Header {
  std::string_view name;
  std::string_view value;
  std::string_view line;  // without its line end
};

// The request line, then the headers up to the empty line. Stops at the
// first line without a colon.
class HeaderReader {
 public:
  explicit HeaderReader(std::string_view message) : rest_(message) { startLine_ = nextLine(); }
  std::string_view startLine() const { return startLine_; }

  std::optional<Header> next() {
    const std::string_view line = nextLine();
    if (line.empty()) return std::nullopt;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return Header{trim(line.substr(0, colon)), trim(line.substr(colon + 1)), line};
  }

 private:
  std::string_view nextLine() {
    const std::size_t end = rest_.find('\n');
    std::string_view line = rest_.substr(0, end);
    rest_ = end == std::string_view::npos ? std::string_view() : rest_.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }

  std::string_view rest_;
  std::string_view startLine_;
};

bool isNamed(const Header& header, std::string_view longName, std::string_view compactName) {
  return equalsIgnoringCase(header.name, longName) ||
         (!compactName.empty() && equalsIgnoringCase(header.name, compactName));
}

// A ";tag=" parameter outside the <...> of the address.
bool hasTag(std::string_view toValue) {
  const std::size_t close = toValue.rfind('>');
  std::string_view params = close == std::string_view::npos ? toValue : toValue.substr(close + 1);
  for (std::size_t at = params.find(';'); at != std::string_view::npos; at = params.find(';', at + 1)) {
    const std::string_view param = trim(params.substr(at + 1));
    if (param.size() < 3 || !equalsIgnoringCase(param.substr(0, 3), "tag")) continue;
    const std::string_view afterName = trim(param.substr(3));
    if (!afterName.empty() && afterName.front() == '=') return true;
  }
  return false;
}

}  // namespace

bool IntakePolicy::trusts(std::string_view numericSource) const {
  return std::find(trustedSources.begin(), trustedSources.end(), numericSource) != trustedSources.end();
}

bool isInitialInvite(std::string_view datagram) {
  HeaderReader reader(datagram);
  const std::string_view start = reader.startLine();
  if (start.substr(0, 7) != "INVITE " || start.find(" SIP/2.0") == std::string_view::npos) return false;
  while (const auto header = reader.next()) {
    if (isNamed(*header, "To", "t")) return !hasTag(header->value);
  }
  return false;  // no To: the engine refuses it as malformed
}

std::optional<std::string> forbiddenResponse(std::string_view request) {
  HeaderReader reader(request);
  std::vector<std::string_view> vias;
  std::optional<std::string_view> from, to, callId, cseq;
  while (const auto header = reader.next()) {
    if (isNamed(*header, "Via", "v")) vias.push_back(header->line);
    else if (isNamed(*header, "From", "f")) from = header->line;
    else if (isNamed(*header, "To", "t")) to = header->value;
    else if (isNamed(*header, "Call-ID", "i")) callId = header->line;
    else if (isNamed(*header, "CSeq", "")) cseq = header->line;
  }
  if (vias.empty() || !from || !to || !callId || !cseq) return std::nullopt;
  std::string response = "SIP/2.0 403 Forbidden\r\n";
  for (const std::string_view via : vias) (response += via) += "\r\n";
  (response += *from) += "\r\n";
  response += "To: ";
  response += *to;
  if (!hasTag(*to)) response += ";tag=screened";
  response += "\r\n";
  (response += *callId) += "\r\n";
  (response += *cseq) += "\r\n";
  response += "Content-Length: 0\r\n\r\n";
  return response;
}

bool looksLikeSip(std::string_view datagram) {
  const std::size_t firstEnd = datagram.find('\n');
  std::string_view first = datagram.substr(0, firstEnd);
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  bool startLine = false;
  if (first.starts_with("SIP/2.0 ")) {
    startLine = first.size() >= 11 && std::isdigit(static_cast<unsigned char>(first[8])) &&
                std::isdigit(static_cast<unsigned char>(first[9])) && std::isdigit(static_cast<unsigned char>(first[10]));
  } else {
    const std::size_t space = first.find(' ');
    const bool token = space != std::string_view::npos && space > 0 &&
                       std::all_of(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(space),
                                   [](char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; });
    startLine = token && first.ends_with(" SIP/2.0");
  }
  if (!startLine) return false;
  for (std::size_t at = 0; at < datagram.size();) {
    std::size_t end = datagram.find('\n', at);
    if (end == std::string_view::npos) end = datagram.size();
    if (end - at > kLongestHeaderLine) return false;
    at = end + 1;
  }
  return true;
}

std::string viaTransport(std::string_view topVia) {
  topVia = trim(topVia);
  if (topVia.size() < 8 || !equalsIgnoringCase(topVia.substr(0, 8), "SIP/2.0/")) return {};
  std::string transport;
  for (const char c : topVia.substr(8)) {
    if (!std::isalnum(static_cast<unsigned char>(c))) break;
    transport += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return transport;
}

bool viaShowsTrustedHop(const IntakePolicy& policy, std::string_view topVia) {
  topVia = trim(topVia);
  const std::size_t space = topVia.find_first_of(" \t");
  if (viaTransport(topVia).empty() || space == std::string_view::npos) return false;
  std::string_view rest = trim(topVia.substr(space));
  const std::size_t paramsAt = rest.find(';');
  std::string_view sentBy = trim(rest.substr(0, paramsAt));
  // host, host:port, [v6], [v6]:port
  std::string_view host = sentBy;
  if (host.starts_with('[')) {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    host = host.substr(1, close - 1);
  } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
    host = host.substr(0, colon);
  }
  if (!policy.trusts(host)) return false;
  if (paramsAt == std::string_view::npos) return true;
  std::string_view params = rest.substr(paramsAt);
  for (std::size_t at = params.find(';'); at != std::string_view::npos; at = params.find(';', at + 1)) {
    std::string_view param = trim(params.substr(at + 1, params.find(';', at + 1) - at - 1));
    const std::size_t equals = param.find('=');
    if (equals == std::string_view::npos || !equalsIgnoringCase(trim(param.substr(0, equals)), "received")) continue;
    std::string_view received = trim(param.substr(equals + 1));
    if (received.starts_with('[') && received.ends_with(']')) received = received.substr(1, received.size() - 2);
    if (!policy.trusts(received)) return false;
  }
  return true;
}

Intake screenDatagram(const IntakePolicy& policy, std::string_view datagram, std::string_view numericSource) {
  if (datagram.find_first_not_of("\r\n") == std::string_view::npos) return Intake::pass;
  if (datagram.size() > kLargestDatagram || !looksLikeSip(datagram)) return Intake::drop;
  if (!policy.screenInvites || policy.trusts(numericSource)) return Intake::pass;
  return isInitialInvite(datagram) ? Intake::refuse : Intake::pass;
}

}  // namespace tavirel::engine
