// A real SIP registrar and proxy (kamailio) on 127.0.0.1, one per fixture.
//
// It listens for UDP on a free port (and, when asked, for TLS on another), keeps registrations in memory only,
// requires digest authentication for REGISTER from the fixed test users,
// and proxies every other request, statefully and record-routed, to the
// contacts registered for the request-URI's user. The configuration is
// kamailio.cfg.in next to this file.
//
// The process runs in the foreground with its pid file, runtime files and
// control socket in a temp dir; it is stopped by its PID (its worker
// processes share its process group and go with it).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ChildProcess.h"
#include "Deadline.h"
#include "TempDir.h"

namespace tavirel::test {

struct SipUser {
  std::string name;      // SIP user name, also the digest user name
  std::string password;  // digest password
};

// A TLS listener beside the UDP one, with this server certificate.
struct KamailioTls {
  std::filesystem::path certificate;  // PEM
  std::filesystem::path privateKey;   // PEM
};

class Kamailio {
 public:
  // alice, bob, carol, dave and erin, each with the password "<name>-secret".
  static const std::vector<SipUser>& users();
  // The user called `name`; throws std::out_of_range for an unknown name.
  static const SipUser& user(std::string_view name);

  // Starts kamailio and waits (bounded) until it answers an OPTIONS ping.
  // Throws std::runtime_error, with kamailio's log, when it does not.
  Kamailio();
  // The same, also listening for TLS on a free port of its own.
  explicit Kamailio(const KamailioTls& tls);
  // Stops kamailio (SIGTERM, then SIGKILL) if still running.
  ~Kamailio();

  Kamailio(const Kamailio&) = delete;
  Kamailio& operator=(const Kamailio&) = delete;

  std::uint16_t port() const { return port_; }
  std::string host() const { return "127.0.0.1"; }
  // "127.0.0.1:<port>": the registrar as a REGISTER request names it.
  std::string server() const;
  // "sip:<user>@127.0.0.1:<port>": an address that reaches `user` through
  // this proxy.
  std::string uri(std::string_view user) const;

  // The TLS listener's port; 0 without one.
  std::uint16_t tlsPort() const { return tlsPort_; }
  // "<host>:<TLS port>": the registrar as a REGISTER over TLS names it; the
  // host as the certificate should name it (an address or "localhost").
  std::string tlsServer(std::string_view host = "127.0.0.1") const;

  // Sends one OPTIONS request to the proxy itself and waits for its 200.
  // Retransmits until `deadline`. False when no 200 arrived.
  bool ping(Deadline deadline) const;

  // Contact URIs currently registered for `user`, read from the proxy's
  // location table over its control socket. Empty when none.
  std::vector<std::string> contactsOf(std::string_view user) const;
  // "sip:<user>@<host>:<port>" of the first contact `user` registered: an
  // address that reaches that party straight, past this proxy. Throws when
  // `user` has no contact.
  std::string directUri(std::string_view user) const;
  // The port of that first contact: the party's own SIP port.
  std::uint16_t contactPort(std::string_view user) const;
  // Waits until `user` has at least (`registered` true) or no (`false`)
  // contact registered. False at the deadline.
  bool waitForRegistration(std::string_view user, bool registered, Deadline deadline) const;

  std::string logText() const { return process_->stderrText(); }
  pid_t pid() const { return process_->pid(); }
  const std::filesystem::path& directory() const { return dir_.path(); }

  // Stops kamailio by its PID; returns how it ended.
  ExitStatus stop();

 private:
  bool startOnFreePort();

  TempDir dir_;
  std::optional<KamailioTls> tls_;
  std::uint16_t port_ = 0;
  std::uint16_t tlsPort_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace tavirel::test
