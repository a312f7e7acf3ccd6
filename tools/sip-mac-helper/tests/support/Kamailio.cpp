#include "Kamailio.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <stdexcept>

#include "FreePort.h"

#ifndef TAVIREL_KAMAILIO_CFG_TEMPLATE
#error "TAVIREL_KAMAILIO_CFG_TEMPLATE must be defined by the build"
#endif
#ifndef TAVIREL_KAMAILIO_MODULES_DIR
#error "TAVIREL_KAMAILIO_MODULES_DIR must be defined by the build"
#endif

namespace tavirel::test {
namespace {

constexpr int kStartAttempts = 3;

std::string replaceAll(std::string text, std::string_view placeholder, std::string_view value) {
  for (auto at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
  return text;
}

// A UDP socket on 127.0.0.1 for talking to the proxy; closed on scope exit.
class UdpSocket {
 public:
  UdpSocket() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
      throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
    }
    port_ = ntohs(local.sin_port);
  }
  ~UdpSocket() { ::close(fd_); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  std::uint16_t port() const { return port_; }

  void sendTo(std::uint16_t port, const std::string& datagram) const {
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    remote.sin_port = htons(port);
    (void)::sendto(fd_, datagram.data(), datagram.size(), 0,
                   reinterpret_cast<sockaddr*>(&remote), sizeof remote);
  }

  std::optional<std::string> receive(Deadline deadline) const {
    pollfd fd{fd_, POLLIN, 0};
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(remaining(deadline));
    if (::poll(&fd, 1, static_cast<int>(wait.count()) + 1) <= 0) return std::nullopt;
    char buffer[65536];
    ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(got));
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace

const std::vector<SipUser>& Kamailio::users() {
  // Must match the passwords in kamailio.cfg.in.
  static const std::vector<SipUser> all = {
      {"alice", "alice-secret"},
      {"bob", "bob-secret"},
      {"carol", "carol-secret"},
      {"dave", "dave-secret"},
      {"erin", "erin-secret"},
  };
  return all;
}

const SipUser& Kamailio::user(std::string_view name) {
  for (const auto& user : users()) {
    if (user.name == name) return user;
  }
  throw std::out_of_range("no test SIP user " + std::string(name));
}

Kamailio::Kamailio(const KamailioTls& tls) : dir_("tavirel-kam"), tls_(tls) {
  for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
    if (startOnFreePort()) return;
  }
  throw std::runtime_error("kamailio could not bind free ports in " + std::to_string(kStartAttempts) +
                           " attempts\n--- kamailio log ---\n" + logText());
}

Kamailio::Kamailio() : dir_("tavirel-kam") {
  for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
    if (startOnFreePort()) return;
  }
  throw std::runtime_error("kamailio could not bind a free port in " +
                           std::to_string(kStartAttempts) + " attempts\n--- kamailio log ---\n" +
                           logText());
}

Kamailio::~Kamailio() {
  if (process_ && process_->running()) process_->stop(std::chrono::seconds(5));
}

bool Kamailio::startOnFreePort() {
  port_ = freeUdpPort();
  std::string config = readFile(TAVIREL_KAMAILIO_CFG_TEMPLATE);
  config = replaceAll(config, "@SIP_PORT@", std::to_string(port_));
  config = replaceAll(config, "@MODULES_DIR@", TAVIREL_KAMAILIO_MODULES_DIR);
  config = replaceAll(config, "@RUNTIME_DIR@", dir_.path().string());
  if (tls_) {
    tlsPort_ = freeTcpPort();
    config = replaceAll(config, "@TLS_PORT@", std::to_string(tlsPort_));
    dir_.writeFile("tls.cfg", "[server:default]\nmethod = TLSv1.2+\nverify_certificate = no\n"
                              "require_certificate = no\nprivate_key = " + tls_->privateKey.string() +
                              "\ncertificate = " + tls_->certificate.string() + "\n");
  }
  auto configFile = dir_.writeFile("kamailio.cfg", config);

  ProcessOptions options;
  options.argv = {
      "kamailio",
      "-f", configFile.string(),
      "-DD",  // stay in the foreground, so the PID we hold is the main process
      "-E",   // log to stderr, captured by the fixture
      "-P", (dir_ / "kamailio.pid").string(),
      "-Y", dir_.path().string(),  // runtime files here, not in /run/kamailio
      "-w", dir_.path().string(),
      "-m", "32",  // shared memory, MB: plenty for a handful of test users
      "-M", "4",   // private memory per process, MB
  };
  if (tls_) options.argv.insert(options.argv.end(), {"-A", "WITH_TLS"});
  options.workingDirectory = dir_.path();
  process_.reset();  // a failed previous attempt has exited already
  process_ = std::make_unique<ChildProcess>(std::move(options));

  bool up = pollUntil(
      [&] { return !process_->running() || ping(deadlineAfter(std::chrono::milliseconds(200))); },
      deadlineAfter(std::chrono::seconds(15)), std::chrono::milliseconds(10));
  if (up && process_->running()) return true;
  // Another process may have taken the port between probe and bind. The
  // log is read to its end first: kamailio's last words may still be in the
  // pipe when its exit is seen.
  if (!process_->running() &&
      process_->waitForStderr("Address already in use", deadlineAfter(std::chrono::seconds(1)))) {
    return false;
  }
  std::string how = "did not answer OPTIONS in time";
  if (!process_->running()) {
    process_->waitForStderrEnd(deadlineAfter(std::chrono::seconds(1)));
    how = "exited: " + process_->exitStatus()->describe();
  }
  throw std::runtime_error("kamailio on port " + std::to_string(port_) + " " + how +
                           "\n--- kamailio log ---\n" + logText());
}

std::string Kamailio::server() const { return host() + ":" + std::to_string(port_); }

std::string Kamailio::tlsServer(std::string_view host) const {
  return std::string(host) + ":" + std::to_string(tlsPort_);
}

std::string Kamailio::uri(std::string_view user) const {
  return "sip:" + std::string(user) + "@" + server();
}

bool Kamailio::ping(Deadline deadline) const {
  static std::atomic<unsigned> counter{0};
  UdpSocket socket;
  const std::string id = "tavirel-ping-" + std::to_string(::getpid()) + "-" +
                         std::to_string(counter.fetch_add(1));
  std::ostringstream request;
  request << "OPTIONS sip:" << server() << " SIP/2.0\r\n"
          << "Via: SIP/2.0/UDP 127.0.0.1:" << socket.port() << ";branch=z9hG4bK" << id << "\r\n"
          << "Max-Forwards: 70\r\n"
          << "From: <sip:ping@127.0.0.1>;tag=" << id << "\r\n"
          << "To: <sip:" << server() << ">\r\n"
          << "Call-ID: " << id << "@127.0.0.1\r\n"
          << "CSeq: 1 OPTIONS\r\n"
          << "Content-Length: 0\r\n\r\n";
  // UDP may drop the first datagram while the proxy is still starting, so
  // send again every 100 ms like a SIP client would.
  while (true) {
    socket.sendTo(port_, request.str());
    auto next = std::min(deadline, Clock::now() + std::chrono::milliseconds(100));
    while (auto reply = socket.receive(next)) {
      if (reply->rfind("SIP/2.0 200", 0) == 0) return true;
    }
    if (remaining(deadline) == Clock::duration::zero()) return false;
  }
}

std::vector<std::string> Kamailio::contactsOf(std::string_view user) const {
  ProcessOptions options;
  options.argv = {"kamcmd", "-s", "unix:" + (dir_ / "ctl.sock").string(), "ul.lookup", "location",
                  std::string(user)};
  ChildProcess kamcmd(std::move(options));
  kamcmd.closeStdin();
  auto deadline = deadlineAfter(std::chrono::seconds(5));
  std::vector<std::string> contacts;
  while (auto line = kamcmd.readLine(deadline)) {
    // ul.lookup prints one "Address: <uri>" line per contact.
    auto at = line->find("Address:");
    if (at == std::string::npos) continue;
    auto start = line->find_first_not_of(" \t", at + 8);
    if (start != std::string::npos) contacts.push_back(line->substr(start));
  }
  auto status = kamcmd.waitExit(deadline);
  if (!status) throw std::runtime_error("kamcmd ul.lookup did not finish in time");
  // kamcmd fails with "404 Not Found" when the user has no contact.
  if (!status->success() && kamcmd.stderrText().find("Not Found") == std::string::npos &&
      contacts.empty()) {
    throw std::runtime_error("kamcmd ul.lookup failed (" + status->describe() +
                             "): " + kamcmd.stderrText());
  }
  return contacts;
}

bool Kamailio::waitForRegistration(std::string_view user, bool registered,
                                   Deadline deadline) const {
  return pollUntil([&] { return contactsOf(user).empty() != registered; }, deadline,
                   std::chrono::milliseconds(50));
}

std::string Kamailio::directUri(std::string_view user) const {
  const auto contacts = contactsOf(user);
  if (contacts.empty()) throw std::runtime_error("no contact registered for " + std::string(user));
  // A contact reads "sip:alice@127.0.0.1:40123;transport=udp"; keep up to the port.
  const std::string& contact = contacts.front();
  const auto at = contact.find('@');
  const auto end = contact.find_first_of(";>", at == std::string::npos ? 0 : at);
  if (at == std::string::npos) throw std::runtime_error("contact without user: " + contact);
  return "sip:" + std::string(user) + contact.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::uint16_t Kamailio::contactPort(std::string_view user) const {
  const std::string uri = directUri(user);
  return static_cast<std::uint16_t>(std::stoi(uri.substr(uri.rfind(':') + 1)));
}

ExitStatus Kamailio::stop() {
  if (!process_->running()) return *process_->exitStatus();
  return process_->stop(std::chrono::seconds(5));
}

}  // namespace tavirel::test
