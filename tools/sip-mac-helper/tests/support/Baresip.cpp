#include "Baresip.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "FreePort.h"

namespace tavirel::test {
namespace {

using namespace std::chrono_literals;

int connectTo(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

}  // namespace

Baresip::Baresip(const Kamailio& registrar, BaresipOptions options) : dir_("tavirel-bs") {
  const std::uint16_t sipPort = freeUdpPort();
  const std::uint16_t controlPort = freeTcpPort();
  const SipUser& user = Kamailio::user(options.user);
  const std::string transport = options.tls ? ";transport=tls" : "";
  const std::string outbound = options.tls ? "sip:" + registrar.tlsServer() + ";transport=tls" : "sip:" + registrar.server();
  aor_ = "sip:" + user.name + "@127.0.0.1" + transport;
  std::string account = "<" + aor_ + ">;auth_pass=" + user.password + ";outbound=\"" + outbound + "\";regint=600";
  if (!options.mediaEncryption.empty()) account += ";mediaenc=" + options.mediaEncryption;
  dir_.writeFile("accounts", account + "\n");
  std::string config =
      "poll_method epoll\n"
      "sip_listen 127.0.0.1:" + std::to_string(sipPort) + "\n" +
      (options.rootCa.empty() ? "" : "sip_cafile " + options.rootCa.string() + "\n") +
      "audio_source ausine,440\n"
      "audio_player alsa,null\n"
      "audio_alert alsa,null\n"
      "ausrc_srate 48000\nausrc_channels 2\n"
      "module_path /usr/lib/baresip/modules\n"
      "module g711.so\nmodule ausine.so\nmodule alsa.so\nmodule srtp.so\nmodule dtls_srtp.so\n"
      "module_app account.so\nmodule_app menu.so\nmodule_app ctrl_tcp.so\n"
      "ctrl_tcp_listen 127.0.0.1:" + std::to_string(controlPort) + "\n";
  dir_.writeFile("config", config);

  ProcessOptions process;
  // Bound to the loopback address: the test namespace has no other.
  process.argv = {"baresip", "-4", "-n", "127.0.0.1", "-f", dir_.path().string()};
  process.env["HOME"] = dir_.path().string();
  process.stdoutFile = dir_ / "stdout.log";
  process_ = std::make_unique<ChildProcess>(std::move(process));

  const Deadline deadline = deadlineAfter(15s);
  pollUntil([&] { return !process_->running() || (control_ = connectTo(controlPort)) >= 0; }, deadline, 20ms);
  if (control_ < 0) throw std::runtime_error("baresip did not open its control port\n" + output());
  reader_ = std::thread([this] { readControl(); });
  // The registrar tells, not baresip's event: that may come before the
  // control connection is there to report it.
  if (!registrar.waitForRegistration(user.name, true, deadline)) {
    // No destructor runs for a constructor that throws.
    stopping_ = true;
    reader_.join();
    throw std::runtime_error("baresip did not register\n" + output() + "\n--- events ---\n" +
                             nlohmann::json(events()).dump() + "\n--- registrar ---\n" + registrar.logText());
  }
}

Baresip::~Baresip() {
  stopping_ = true;
  if (reader_.joinable()) reader_.join();
  if (control_ >= 0) ::close(control_);
  if (process_ && process_->running()) process_->stop(std::chrono::seconds(5));
}

bool Baresip::command(const std::string& line, Deadline deadline) {
  const auto space = line.find(' ');
  const std::string token = "t" + std::to_string(++token_);
  nlohmann::json request = {{"command", line.substr(0, space)}, {"token", token}};
  if (space != std::string::npos) request["params"] = line.substr(space + 1);
  const std::string body = request.dump();
  const std::string framed = std::to_string(body.size()) + ":" + body + ",";
  if (::send(control_, framed.data(), framed.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(framed.size()))
    return false;
  bool ok = false;
  const bool answered = pollUntil(
      [&] {
        std::lock_guard guard(lock_);
        for (const auto& response : responses_)
          if (response.value("token", "") == token) {
            ok = response.value("ok", false);
            return true;
          }
        return false;
      },
      deadline, 10ms);
  return answered && ok;
}

nlohmann::json Baresip::waitForEvent(const std::string& type, Deadline deadline) {
  nlohmann::json found;
  pollUntil(
      [&] {
        std::lock_guard guard(lock_);
        for (const auto& event : events_)
          if (event.value("type", "") == type) {
            found = event;
            return true;
          }
        return false;
      },
      deadline, 10ms);
  return found;
}

void Baresip::forgetEvents() {
  std::lock_guard guard(lock_);
  events_.clear();
}

std::vector<nlohmann::json> Baresip::events() const {
  std::lock_guard guard(lock_);
  return events_;
}

// Netstrings: "<length>:<bytes>,", one JSON object each.
void Baresip::readControl() {
  std::string buffer;
  char chunk[4096];
  while (!stopping_) {
    pollfd ready{control_, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    const ssize_t got = ::recv(control_, chunk, sizeof chunk, 0);
    if (got <= 0) return;
    buffer.append(chunk, static_cast<std::size_t>(got));
    while (true) {
      const auto colon = buffer.find(':');
      if (colon == std::string::npos) break;
      const std::size_t length = std::stoul(buffer.substr(0, colon));
      if (buffer.size() < colon + 1 + length + 1) break;
      const auto message = nlohmann::json::parse(buffer.substr(colon + 1, length), nullptr, false);
      buffer.erase(0, colon + 1 + length + 1);
      if (!message.is_object()) continue;
      std::lock_guard guard(lock_);
      (message.value("event", false) ? events_ : responses_).push_back(message);
    }
  }
}

}  // namespace tavirel::test
