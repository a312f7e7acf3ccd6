#include "programs.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "FreePort.h"
#include "proc_stats.h"

namespace tavirel::bench {

using namespace std::chrono_literals;
using nlohmann::json;

void progress(const std::string& text) {
  const auto [one, five] = loadAverage();
  std::fprintf(stderr, "[bench] %s (load %.2f)\n", text.c_str(), one);
}

std::string tailOfFile(const std::filesystem::path& file, std::size_t bytes) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  return s.size() > bytes ? "[...]" + s.substr(s.size() - bytes) : s;
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

namespace {

void launch(Running& running, std::vector<std::string> argv, const Env& extraEnv, std::string terminator) {
  SpawnOptions spawn;
  spawn.argv = std::move(argv);
  spawn.env = privateEnvironment(running.home.path(), extraEnv);
  spawn.workingDirectory = running.home.path();
  spawn.stderrFile = running.stderrFile = running.home.path() / "stderr.log";
  running.link = std::make_unique<LinePeer>(std::make_unique<PipeProcess>(spawn), std::move(terminator));
}

std::unique_ptr<Running> spawn(std::vector<std::string> argv, const Env& extraEnv, std::string terminator) {
  auto running = std::make_unique<Running>();
  launch(*running, std::move(argv), extraEnv, std::move(terminator));
  return running;
}

}  // namespace

std::unique_ptr<Running> startLimit(const Options& o) { return spawn({o.limit}, {}, "\n"); }

std::unique_ptr<Running> startHelper(const Options& o, const Env& pulse) { return spawn({o.helper}, pulse, "\n"); }

json bridgeRequest(Running& program, const std::string& line, Clock::duration timeout) {
  const std::string text = program->request(line, after(timeout));
  json response = json::parse(text, nullptr, false);
  if (!response.is_object())
    throw std::runtime_error("not a response: " + text + "\n" + program.log());
  return response;
}

std::string requestLine(const std::string& id, const std::string& command, const json& payload) {
  json line = {{"requestId", id}, {"command", command}};
  if (!payload.is_null()) line["payload"] = payload;
  return line.dump();
}

// INITIALIZE on a running helper; its duration in milliseconds.
double initialize(Running& helper) {
  const auto start = Clock::now();
  const json response = bridgeRequest(helper, requestLine("init", "INITIALIZE"), 60s);
  const double ms = msSince(start);
  if (!response.value("success", false))
    throw std::runtime_error("INITIALIZE failed: " + response.dump() + "\n" + helper.log());
  return ms;
}

std::string callState(Running& helper) {
  const json response = bridgeRequest(helper, requestLine("s", "GET_CALL_STATE"));
  return response.at("payload").at("state").get<std::string>();
}

bool inCall(Running& helper) {
  const json response = bridgeRequest(helper, requestLine("c", "IS_IN_CALL"));
  return response.at("payload").at("inCall").get<bool>();
}

// REGISTER at the registrar; its duration in milliseconds.
double registerHelperAt(Running& helper, const std::string& server, const std::string& user, const json& extra) {
  json payload = {{"sipAccount", user}, {"sipPassword", test::Kamailio::user(user).password}, {"server", server}};
  payload.update(extra);
  const auto start = Clock::now();
  const json response = bridgeRequest(helper, requestLine("reg", "REGISTER", payload), 30s);
  const double ms = msSince(start);
  if (!response.value("success", false))
    throw std::runtime_error("REGISTER " + user + " failed: " + response.dump() + "\n" + helper.log());
  return ms;
}

double registerHelper(Running& helper, const test::Kamailio& registrar, const std::string& user) {
  return registerHelperAt(helper, registrar.server(), user);
}

// The peer daemon on a SIP port of its own, answering on stdin/stdout.
// Returns once it answered its first command; `readyMs` is the time from
// the spawn to that answer.
std::unique_ptr<Running> startPeer(const Options& o, const Env& pulse, double* readyMs, const std::string& extraSip) {
  auto peer = std::make_unique<Running>();
  const std::uint16_t port = test::freeUdpPort();
  // Configured as the helper configures its engine: UDP on a port of its
  // own, TCP and TLS on whatever the system picks, no persistent storage
  // (with storage on and no data directory in the fresh HOME this engine
  // version never finishes starting: its database does not open), and the
  // network declared reachable rather than watched: on a loopback-only
  // network the watch declares it down a few seconds after start. The
  // declaration itself comes from peer_network_shim.cpp.
  const auto config = peer->home.writeFile(
      "linphonerc", "[sip]\nsip_port=" + std::to_string(port) +
                        "\nsip_tcp_port=-1\nsip_tls_port=-1\nauto_net_state_mon=0\n" + extraSip +
                        "[storage]\nuri=null\ncall_logs_db_uri=null\nzrtp_secrets_db_uri=null\n");
  Env env = pulse;
  env["LD_PRELOAD"] = o.peerShim;
  std::vector<std::string> argv = {o.peer, "--config", config.string()};
  // For finding out why a peer misbehaves: its full log beside its HOME
  // (keep it with TAVIREL_KEEP_TEMP=1).
  if (std::getenv("TAVIREL_BENCH_TRACE")) argv.insert(argv.end(), {"--log", (peer->home.path() / "daemon.log").string()});
  launch(*peer, argv, env, std::string(kPeerPrompt));
  // The first command goes in at once; its answer comes after the prompt
  // that marks the end of the start-up.
  if (!peer->link->process().writeAll(std::string(kPeerCheapCommand) + "\n"))
    throw std::runtime_error("peer does not read its input\n" + peer->log());
  try {
    (void)peer->link->awaitTerminator(after(60s));
    (void)peer->link->awaitTerminator(after(60s));
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string(e.what()) + "\n" + peer->log());
  }
  if (readyMs) *readyMs = std::chrono::duration<double, std::milli>(Clock::now() - peer->link->process().startedAt()).count();
  return peer;
}

// In stdin mode the daemon also prints its events (call state changes) on
// stdout whenever they happen, between or inside command answers. A
// command's answer is the stretch up to a prompt that holds "Status:";
// stretches with event blocks are kept in `events` for the caller.
std::string peerCommand(Running& peer, const std::string& command, Clock::duration timeout) {
  static const bool trace = std::getenv("TAVIREL_BENCH_TRACE") != nullptr;
  const auto deadline = after(timeout);
  std::string answer = peer->request(command, deadline);
  for (;;) {
    if (answer.find("Event-type:") != std::string::npos) peer.events += answer;
    if (answer.find("Status:") != std::string::npos) break;
    answer = peer->awaitTerminator(deadline);
  }
  if (trace) std::fprintf(stderr, "[peer %d] %s -> %s\n", peer->process().pid(), command.c_str(), answer.c_str());
  return answer;
}

bool peerOk(const std::string& answer) { return answer.find("Status: Ok") != std::string::npos; }

// "Id: N" in a daemon answer, after its status line (events printed before
// it carry ids of their own).
std::optional<int> peerId(const std::string& answer) {
  static const std::regex id(R"(\nId: (\d+))");
  const std::size_t status = answer.find("Status:");
  if (status == std::string::npos) return std::nullopt;
  const std::string rest = answer.substr(status);
  std::smatch match;
  if (std::regex_search(rest, match, id)) return std::stoi(match[1]);
  return std::nullopt;
}

void stopHelper(Running& helper) {
  helper->process().closeInput();
  if (!helper->process().waitExit(after(10s))) helper->process().stop();
}

void stopPeer(Running& peer) {
  try {
    peer->process().writeAll("quit\n");
  } catch (...) {
  }
  if (!peer->process().waitExit(after(5s))) peer->process().stop();
}

// Restricts a peer to the helper's codecs, so calls negotiate alike.
void matchHelperCodecs(Running& peer) {
  if (!peerOk(peerCommand(peer, "audio-codec-disable ALL"))) throw std::runtime_error("peer: codec set-up failed");
  for (const char* codec : {"PCMU/8000/1", "PCMA/8000/1"})
    if (!peerOk(peerCommand(peer, std::string("audio-codec-enable ") + codec)))
      throw std::runtime_error(std::string("peer: cannot enable ") + codec);
}

double registerPeerAt(Running& peer, const std::string& identity, const std::string& proxy, const std::string& user,
                      const test::Kamailio& registrar) {
  const auto start = Clock::now();
  const std::string answer =
      peerCommand(peer, "register " + identity + " " + proxy + " " + test::Kamailio::user(user).password + " " + user +
                            " NULL");
  const auto id = peerId(answer);
  if (!peerOk(answer) || !id) throw std::runtime_error("peer register failed: " + answer);
  const auto deadline = after(15s);
  std::string status;
  while (Clock::now() < deadline) {
    status = peerCommand(peer, "register-status " + std::to_string(*id));
    if (status.find("LinphoneRegistrationOk") != std::string::npos) return msSince(start);
    if (status.find("LinphoneRegistrationFailed") != std::string::npos)
      throw std::runtime_error("peer registration failed: " + status + "\n" + peer.log() + "\n--- registrar ---\n" +
                               registrar.logText().substr(registrar.logText().size() > 3000 ? registrar.logText().size() - 3000 : 0));
    std::this_thread::sleep_for(200us);
  }
  throw std::runtime_error("peer registration did not complete in time: " + answer + " / " + status + "\n" +
                           peer.log() + "\n--- registrar ---\n" + registrar.logText().substr(0, 4000));
}

double registerPeer(Running& peer, const test::Kamailio& registrar, const std::string& user) {
  return registerPeerAt(peer, "sip:" + user + "@127.0.0.1", "sip:" + registrar.server() + ";transport=udp", user,
                        registrar);
}

std::unique_ptr<Running> registeredHelper(const Options& o, const Env& pulse, const test::Kamailio& registrar,
                                          const std::string& user, double* registerMs) {
  auto helper = startHelper(o, pulse);
  initialize(*helper);
  const double ms = registerHelper(*helper, registrar, user);
  if (registerMs) *registerMs = ms;
  return helper;
}

std::unique_ptr<Running> registeredPeer(const Options& o, const Env& pulse, const test::Kamailio& registrar,
                                        const std::string& user, double* registerMs) {
  auto peer = startPeer(o, pulse);
  matchHelperCodecs(*peer);
  const double ms = registerPeer(*peer, registrar, user);
  if (registerMs) *registerMs = ms;
  return peer;
}

}  // namespace tavirel::bench
