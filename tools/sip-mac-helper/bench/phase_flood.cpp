// A SIP scanner at a registered program's port, as a laptop on a public
// network meets one: per second 300 OPTIONS, 30 INVITEs from made-up users
// and 100 malformed datagrams (the first 20 with a 60 KB header), from
// another address (127.0.0.2), three floods in a row. Measured for the
// helper and the peer treated the same way: OPTIONS answered per second,
// datagrams the kernel dropped, the cheap query's p99 during the flood,
// resident memory before and after, and strangers' calls that rang.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "phases.h"
#include "proc_stats.h"

namespace tavirel::bench {
namespace {

using namespace std::chrono_literals;

constexpr auto kFlood = 10s;
constexpr int kFloods = 3;
constexpr auto kSettleAfter = 3s;
constexpr const char* kScanner = "127.0.0.2";

// The namespace's UDP receive-buffer drops so far (/proc/net/snmp).
double udpReceiveDrops() {
  std::ifstream snmp("/proc/net/snmp");
  std::string names, values, line;
  while (std::getline(snmp, line)) {
    if (!line.starts_with("Udp:")) continue;
    if (names.empty()) names = line;
    else values = line;
  }
  std::istringstream n(names), v(values);
  for (std::string name, value; n >> name && v >> value;)
    if (name == "RcvbufErrors") return std::stod(value);
  return 0;
}

class Scanner {
 public:
  explicit Scanner(std::uint16_t target) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, kScanner, &local.sin_addr);
    (void)::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = std::to_string(ntohs(local.sin_port));
    to_.sin_family = AF_INET;
    to_.sin_port = htons(target);
    ::inet_pton(AF_INET, "127.0.0.1", &to_.sin_addr);
    target_ = std::to_string(target);
  }
  ~Scanner() { ::close(fd_); }

  // `count` OPTIONS at about 10,000 a second; the answers per second from
  // the first sent to the last answered.
  double burst(unsigned count, unsigned& serial) {
    const auto start = Clock::now();
    auto lastAnswer = start;
    std::size_t answered = 0;
    const auto take = [&] {
      if (const std::size_t got = collect()) {
        answered += got;
        lastAnswer = Clock::now();
      }
    };
    for (unsigned i = 0; i < count; ++i) {
      send(request("OPTIONS", "burst", ++serial));
      if (i % 10 == 9) {
        take();
        std::this_thread::sleep_until(start + std::chrono::microseconds(100) * (i + 1));
      }
    }
    const auto settle = Clock::now() + 3s;
    while (Clock::now() < settle) {
      take();
      std::this_thread::sleep_for(1ms);
    }
    return static_cast<double>(answered) / std::chrono::duration<double>(lastAnswer - start).count();
  }

  // One flood; the OPTIONS answered.
  std::size_t flood(unsigned& serial) {
    std::mt19937 random(serial);
    std::size_t answered = 0;
    const auto start = Clock::now();
    for (auto next = start; next - start < kFlood; next += 1ms) {
      std::this_thread::sleep_until(next);
      const unsigned n = ++serial;
      if (n % 10 < 3) send(request("OPTIONS", "scan", n));
      if (n % 100 == 50) send(invite(std::to_string(random()), n));
      if (n % 10 == 5) {
        send(malformed_ < 20 ? "REGISTER sip:x SIP/2.0\r\nX-Pad: " + std::string(60000, 'a')
                             : "\x16\x03\x01 not sip " + std::to_string(random()));
        ++malformed_;
      }
      answered += collect();
    }
    const auto settle = Clock::now() + 2s;
    while (Clock::now() < settle) {
      answered += collect();
      std::this_thread::sleep_for(10ms);
    }
    malformed_ = 0;
    return answered;
  }

 private:
  void send(const std::string& datagram) const {
    (void)::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
  }
  std::size_t collect() const {
    char buffer[4096];
    std::size_t ok = 0;
    for (ssize_t size; (size = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
      if (std::string_view(buffer, static_cast<std::size_t>(size)).starts_with("SIP/2.0 200")) ++ok;
    return ok;
  }
  std::string request(const std::string& method, const std::string& user, unsigned n) const {
    return method + " sip:x@127.0.0.1:" + target_ + " SIP/2.0\r\nVia: SIP/2.0/UDP " + kScanner + ":" + port_ +
           ";branch=z9hG4bK" + std::to_string(n) + "\r\nFrom: <sip:" + user + "@" + kScanner + ">;tag=" +
           std::to_string(n) + "\r\nTo: <sip:x@127.0.0.1>\r\nCall-ID: " + std::to_string(n) + "@" + kScanner +
           "\r\nCSeq: 1 " + method + "\r\nContact: <sip:" + user + "@" + kScanner + ":" + port_ +
           ">\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
  }
  std::string invite(const std::string& user, unsigned n) const { return request("INVITE", user, n); }

  int fd_;
  std::string port_, target_;
  sockaddr_in to_{};
  int malformed_ = 0;
};

struct FloodRun {
  double burstPerSecond = 0;
  double answeredPerSecond = 0, drops = 0, queryP99Ms = 0, rssBeforeMiB = 0, rssGrowthMiB = 0, strangers = 0;
};

struct FloodRuns {
  std::vector<FloodRun> helper, peer;
  std::string missing = "not run";
};

// Floods `program` kFloods times while `query` is timed every 20 ms.
std::vector<FloodRun> floodProgram(pid_t pid, std::uint16_t port, const std::function<bool()>& query) {
  std::vector<FloodRun> runs;
  Scanner scanner(port);
  unsigned serial = 1;
  for (int f = 0; f < kFloods; ++f) {
    FloodRun run;
    run.rssBeforeMiB = sampleProcess(pid).rssMiB;
    const double dropsBefore = udpReceiveDrops();
    std::atomic<bool> done{false};
    std::size_t answered = 0;
    std::thread flooding([&] {
      answered = scanner.flood(serial);
      done = true;
    });
    std::vector<double> latencies;
    while (!done) {
      const auto sent = Clock::now();
      if (query()) ++run.strangers;
      latencies.push_back(msSince(sent));
      std::this_thread::sleep_for(20ms);
    }
    flooding.join();
    std::this_thread::sleep_for(kSettleAfter);
    run.answeredPerSecond = static_cast<double>(answered) / std::chrono::duration<double>(kFlood).count();
    run.drops = udpReceiveDrops() - dropsBefore;
    run.queryP99Ms = percentile(latencies, 0.99);
    run.rssGrowthMiB = sampleProcess(pid).rssMiB - (runs.empty() ? run.rssBeforeMiB : runs.front().rssBeforeMiB);
    runs.push_back(run);
    progress("flood " + std::to_string(f + 1) + ": " + std::to_string(answered) + " OPTIONS answered");
  }
  // How fast SIP is read when it arrives faster than any tick.
  for (FloodRun& run : runs) {
    run.burstPerSecond = scanner.burst(5000, serial);
    std::this_thread::sleep_for(1s);
  }
  return runs;
}

void runFloods(Bench& bench, const test::Kamailio& registrar, FloodRuns& result) {
  const Options& o = bench.options;
  progress("scanner flood: the helper");
  {
    auto helper = registeredHelper(o, bench.pulse, registrar, "erin");
    result.helper = floodProgram((*helper)->process().pid(), registrar.contactPort("erin"), [&] {
      const auto state = bridgeRequest(*helper, requestLine("q", "GET_CALL_STATE"));
      const std::string remote = state["payload"].value("remoteAddress", "");
      return remote.find(kScanner) != std::string::npos;
    });
    stopHelper(*helper);
  }
  progress("scanner flood: the peer");
  auto peer = registeredPeer(o, bench.pulse, registrar, "dave");
  result.peer = floodProgram((*peer)->process().pid(), registrar.contactPort("dave"), [&] {
    return peerCommand(*peer, std::string(kPeerCheapCommand)).find(kScanner) != std::string::npos;
  });
  stopPeer(*peer);
}

Series field(const FloodRuns& runs, bool helper, double FloodRun::*member) {
  const auto& chosen = helper ? runs.helper : runs.peer;
  if (chosen.empty()) return missing(runs.missing);
  Series s;
  for (const FloodRun& run : chosen) s.runs.push_back(run.*member);
  return s;
}

}  // namespace

void floodPhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing) {
  FloodRuns runs;
  if (!registrarMissing.empty()) runs.missing = registrarMissing;
  if (bench.options.wants("flood") && registrar &&
      !measurePhase(bench, "flood", runs.missing, [&] { runFloods(bench, *registrar, runs); })) {
    runs.helper.clear();
    runs.peer.clear();
  }
  Report& report = bench.report;
  const auto row = [&](const std::string& key, const std::string& label, const std::string& unit, int decimals,
                       double FloodRun::*member) {
    report.add(Row{key, "Scanner flood: " + label, unit, decimals, field(runs, true, member), {},
                   field(runs, false, member)});
  };
  row("flood_burst_answered", "a burst of 5,000 OPTIONS at 10,000/s, answered", "1/s", 0,
      &FloodRun::burstPerSecond);
  row("flood_options_answered", "OPTIONS answered (of 300/s sent)", "1/s", 0, &FloodRun::answeredPerSecond);
  row("flood_kernel_drops", "datagrams dropped at the socket", "count", 0, &FloodRun::drops);
  row("flood_query_p99", "cheap query p99 during it", "ms", 2, &FloodRun::queryP99Ms);
  row("flood_rss_growth", "resident memory since before the first", "MiB", 1, &FloodRun::rssGrowthMiB);
  row("flood_strangers_ringing", "polls showing a stranger's call", "count", 0, &FloodRun::strangers);
  report.add(Ratio{"flood_options_vs_sent", "Scanner flood: helper's OPTIONS answered ÷ sent",
                   [&] {
                     Series s = field(runs, true, &FloodRun::answeredPerSecond);
                     for (double& v : s.runs) v /= 300.0;
                     return s;
                   }(),
                   true, 0.98, "≥ 0.98"});
  report.add(Ratio{"flood_burst_vs_2000", "OPTIONS burst: helper's answers per second ÷ 2,000",
                   [&] {
                     Series s = field(runs, true, &FloodRun::burstPerSecond);
                     for (double& v : s.runs) v /= 2000.0;
                     return s;
                   }(),
                   true, 1.0, "≥ 1.00"});
  report.add(Ratio{"flood_rss_growth_mib", "Scanner flood: helper's memory growth across 3 floods (MiB)",
                   field(runs, true, &FloodRun::rssGrowthMiB), false, 10.0, "≤ 10 MiB"});
}

}  // namespace tavirel::bench
