// bench_driver: the helper side by side with the machine's limit and with a
// peer (Debian's linphone-daemon: the same engine behind a text command
// protocol on stdin), every figure the median of several runs with min and
// max, and the target ratios computed from runs made next to each other.
//
// Run it inside a loopback-only network namespace (scripts/bench.sh does):
// the registrar, the helpers and the peer daemons talk over 127.0.0.1 only.
//
//   bench_driver --helper PATH [--peer PATH] [--limit PATH] [--json FILE]
//                [--location-cmd PATH] [--runs N] [--requests N] [--peer-requests N]
//                [--round-trips N] [--idle-seconds S] [--idle-runs N]
//                [--calls N] [--location-runs N] [--only bridge,idle,calls,location]
//                [--fifo]
//
// Progress goes to stderr; the table to stdout; the JSON to --json.
#include <sched.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FreePort.h"
#include "Kamailio.h"
#include "PulseAudio.h"
#include "TempDir.h"
#include "line_peer.h"
#include "pipe_process.h"
#include "proc_stats.h"
#include "report.h"

#if !defined(TAVIREL_BENCH_LIMIT_BIN) || !defined(TAVIREL_BENCH_PEER_SHIM)
#error "TAVIREL_BENCH_LIMIT_BIN and TAVIREL_BENCH_PEER_SHIM must be defined by the build"
#endif

namespace tavirel::bench {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Env = std::map<std::string, std::optional<std::string>>;

constexpr std::string_view kPeerPrompt = "daemon-linphone>";
// The peer's cheap command: the state of the current call, like
// GET_CALL_STATE (with no call it answers an error status, just as fast).
constexpr std::string_view kPeerCheapCommand = "call-status";

struct Options {
  std::string helper;
  std::string peer = "linphone-daemon";
  std::string limit = TAVIREL_BENCH_LIMIT_BIN;
  std::string peerShim = TAVIREL_BENCH_PEER_SHIM;
  std::string jsonFile;
  std::string locationCommand;
  int runs = 5;
  int requests = 100'000;
  // The peer reads its input a byte at a time and answers some 30 times
  // slower than the limit program; a rate needs no more lines than this.
  int peerRequests = 20'000;
  int roundTrips = 5'000;
  int idleSeconds = 20;
  int idleRuns = 3;
  int calls = 5;
  int locationRuns = 3;
  int locationSamples = 1000;
  std::set<std::string> only;
  // Runs the bridge phase (helper, limit program and peer alike) under
  // SCHED_FIFO, so that on a machine shared with others' builds each program
  // gets a free CPU, as on a quiet machine. Not how a desktop runs them.
  bool fifo = false;
  bool wants(const std::string& phase) const { return only.empty() || only.count(phase); }
};

void progress(const std::string& text) {
  const auto [one, five] = loadAverage();
  std::fprintf(stderr, "[bench] %s (load %.2f)\n", text.c_str(), one);
}

std::string tailOfFile(const std::filesystem::path& file, std::size_t bytes = 3000) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  return s.size() > bytes ? "[...]" + s.substr(s.size() - bytes) : s;
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---------------------------------------------------------------------------
// The programs under test, each with a private HOME that goes with it.

struct Running {
  test::TempDir home{"tavirel-bench"};
  std::unique_ptr<LinePeer> link;
  std::filesystem::path stderrFile;
  std::string events;  // the peer daemon's event blocks not yet looked at

  LinePeer& operator*() { return *link; }
  LinePeer* operator->() { return link.get(); }
  std::string log() const { return tailOfFile(stderrFile); }
};

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

std::unique_ptr<Running> startLimit(const Options& o) { return spawn({o.limit}, {}, "\n"); }

std::unique_ptr<Running> startHelper(const Options& o, const Env& pulse) { return spawn({o.helper}, pulse, "\n"); }

json bridgeRequest(Running& program, const std::string& line, Clock::duration timeout = 20s) {
  const std::string text = program->request(line, after(timeout));
  json response = json::parse(text, nullptr, false);
  if (!response.is_object())
    throw std::runtime_error("not a response: " + text + "\n" + program.log());
  return response;
}

std::string requestLine(const std::string& id, const std::string& command, const json& payload = nullptr) {
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
double registerHelper(Running& helper, const test::Kamailio& registrar, const std::string& user) {
  const auto start = Clock::now();
  const json response = bridgeRequest(
      helper,
      requestLine("reg", "REGISTER",
                  {{"sipAccount", user}, {"sipPassword", test::Kamailio::user(user).password},
                   {"server", registrar.server()}}),
      30s);
  const double ms = msSince(start);
  if (!response.value("success", false))
    throw std::runtime_error("REGISTER " + user + " failed: " + response.dump() + "\n" + helper.log());
  return ms;
}

// The peer daemon on a SIP port of its own, answering on stdin/stdout.
// Returns once it answered its first command; `readyMs` is the time from
// the spawn to that answer.
std::unique_ptr<Running> startPeer(const Options& o, const Env& pulse, double* readyMs = nullptr) {
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
                        "\nsip_tcp_port=-1\nsip_tls_port=-1\nauto_net_state_mon=0\n"
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
std::string peerCommand(Running& peer, const std::string& command, Clock::duration timeout = 20s) {
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

// Registers the peer; milliseconds until the registrar accepted it.
double registerPeer(Running& peer, const test::Kamailio& registrar, const std::string& user) {
  const auto start = Clock::now();
  const std::string answer =
      peerCommand(peer, "register sip:" + user + "@127.0.0.1 sip:" + registrar.server() + ";transport=udp " +
                            test::Kamailio::user(user).password + " " + user + " NULL");
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

// ---------------------------------------------------------------------------
// Phase 1: bridge throughput and latency.

struct BridgeRun {
  double limitGcsRate = 0, helperGcsRate = 0, limitIicRate = 0, helperIicRate = 0, peerRate = 0;
  double limitGcsMedian = 0, limitGcsP99 = 0, helperGcsMedian = 0, helperGcsP99 = 0;
  double limitIicMedian = 0, limitIicP99 = 0, helperIicMedian = 0, helperIicP99 = 0;
  double peerMedian = 0, peerP99 = 0;
};

std::string numberedLines(const std::string& command, int count) {
  std::string lines;
  lines.reserve(static_cast<std::size_t>(count) * 48);
  for (int i = 0; i < count; ++i) lines += "{\"requestId\":\"" + std::to_string(i) + "\",\"command\":\"" + command + "\"}\n";
  return lines;
}

std::string repeatedLines(std::string_view line, int count) {
  std::string lines;
  lines.reserve(static_cast<std::size_t>(count) * (line.size() + 1));
  for (int i = 0; i < count; ++i) lines.append(line).push_back('\n');
  return lines;
}

std::pair<double, double> latency(Running& program, const std::string& line, int count) {
  // A short warm-up: first calls fault in pages and grow buffers.
  (void)program->roundTrips(line, std::min(count / 10 + 1, 500), after(60s));
  const auto nanos = program->roundTrips(line, count, after(120s));
  return {summarize(nanos).median / 1000.0, percentile(nanos, 0.99) / 1000.0};
}

BridgeRun bridgeRun(const Options& o, const Env& pulse) {
  BridgeRun run;
  const std::string gcsLines = numberedLines("GET_CALL_STATE", o.requests);
  const std::string iicLines = numberedLines("IS_IN_CALL", o.requests);
  const std::string peerLines = repeatedLines(kPeerCheapCommand, o.peerRequests);
  const std::string gcsLine = requestLine("lat", "GET_CALL_STATE");
  const std::string iicLine = requestLine("lat", "IS_IN_CALL");

  auto limit = startLimit(o);
  if (!bridgeRequest(*limit, gcsLine).value("success", false)) throw std::runtime_error("limit program refused");
  // Before INITIALIZE: GET_CALL_STATE answers from the mirrored strings.
  auto before = startHelper(o, pulse);
  const json idle = bridgeRequest(*before, gcsLine);
  if (idle.at("payload").at("state") != "idle") throw std::runtime_error("unexpected answer: " + idle.dump());
  // After INITIALIZE: IS_IN_CALL hops onto the engine queue every time.
  auto after_ = startHelper(o, pulse);
  initialize(*after_);
  if (bridgeRequest(*after_, iicLine).at("payload").at("inCall") != false)
    throw std::runtime_error("unexpected IS_IN_CALL answer");
  auto peer = startPeer(o, pulse);

  const auto pipeDeadline = [] { return after(120s); };
  const double n = o.requests;
  run.limitGcsRate = n / (*limit)->pipelined(gcsLines, o.requests, pipeDeadline());
  run.helperGcsRate = n / (*before)->pipelined(gcsLines, o.requests, pipeDeadline());
  run.limitIicRate = n / (*limit)->pipelined(iicLines, o.requests, pipeDeadline());
  run.helperIicRate = n / (*after_)->pipelined(iicLines, o.requests, pipeDeadline());
  run.peerRate = o.peerRequests / (*peer)->pipelined(peerLines, o.peerRequests, pipeDeadline());

  std::tie(run.limitGcsMedian, run.limitGcsP99) = latency(*limit, gcsLine, o.roundTrips);
  std::tie(run.helperGcsMedian, run.helperGcsP99) = latency(*before, gcsLine, o.roundTrips);
  std::tie(run.limitIicMedian, run.limitIicP99) = latency(*limit, iicLine, o.roundTrips);
  std::tie(run.helperIicMedian, run.helperIicP99) = latency(*after_, iicLine, o.roundTrips);
  std::tie(run.peerMedian, run.peerP99) = latency(*peer, std::string(kPeerCheapCommand), o.roundTrips);

  // The answers are still right after the load.
  if (bridgeRequest(*before, gcsLine).at("payload").at("state") != "idle" ||
      bridgeRequest(*after_, iicLine).at("payload").at("inCall") != false)
    throw std::runtime_error("wrong answer after the load");
  stopHelper(*before);
  stopHelper(*after_);
  stopPeer(*peer);
  limit->link->process().closeInput();
  (void)limit->link->process().waitExit(after(5s));
  return run;
}

// ---------------------------------------------------------------------------
// Phase 2: start-up, idle cost, registration.

struct IdleRun {
  double initializeMs = 0, helperReadyMs = 0, peerReadyMs = 0;
  IdleCost helper, peer;
  double registerMs = 0, peerRegisterMs = 0;
};

IdleRun idleRun(const Options& o, const Env& pulse, const test::Kamailio& registrar) {
  IdleRun run;
  auto helper = startHelper(o, pulse);
  // The program is loaded and reading first; INITIALIZE alone is timed.
  (void)bridgeRequest(*helper, requestLine("up", "GET_CALL_STATE"), 60s);
  run.initializeMs = initialize(*helper);
  run.helperReadyMs = std::chrono::duration<double, std::milli>(Clock::now() - (*helper)->process().startedAt()).count();
  auto peer = startPeer(o, pulse, &run.peerReadyMs);

  // Both idle side by side over the same window, after a short settling
  // time for whatever the engine finishes after its start.
  std::this_thread::sleep_for(2s);
  const ProcessSample helperBefore = sampleProcess((*helper)->process().pid());
  const ProcessSample peerBefore = sampleProcess((*peer)->process().pid());
  std::this_thread::sleep_for(std::chrono::seconds(o.idleSeconds));
  const ProcessSample helperAfter = sampleProcess((*helper)->process().pid());
  const ProcessSample peerAfter = sampleProcess((*peer)->process().pid());
  run.helper = idleCost(helperBefore, helperAfter);
  run.peer = idleCost(peerBefore, peerAfter);

  run.registerMs = registerHelper(*helper, registrar, "alice");
  run.peerRegisterMs = registerPeer(*peer, registrar, "carol");
  stopHelper(*helper);
  stopPeer(*peer);
  return run;
}

// ---------------------------------------------------------------------------
// Phase 3: call set-up between two helpers, and between two peers.

// MAKE_CALL written to both sides in streamsRunning; the callee answers as
// soon as it shows the call ringing. Then hangs up and waits until neither
// side has a call any more.
double helperCall(Running& caller, Running& callee, const test::Kamailio& registrar) {
  const auto start = Clock::now();
  const json made = bridgeRequest(caller, requestLine("call", "MAKE_CALL", {{"target", registrar.uri("bob")}}));
  if (!made.value("success", false)) throw std::runtime_error("MAKE_CALL failed: " + made.dump());
  bool answered = false;
  std::optional<double> callerUp, calleeUp;
  const auto deadline = after(20s);
  while (!(callerUp && calleeUp)) {
    if (Clock::now() > deadline)
      throw std::runtime_error("helper call did not come up\n" + caller.log() + "\n--- callee ---\n" + callee.log());
    if (!answered && callState(callee) == "incomingReceived") {
      const json answer = bridgeRequest(callee, requestLine("ans", "ANSWER_CALL"));
      if (!answer.value("success", false)) throw std::runtime_error("ANSWER_CALL failed: " + answer.dump());
      answered = true;
    }
    if (!callerUp && callState(caller) == "streamsRunning") callerUp = msSince(start);
    if (answered && !calleeUp && callState(callee) == "streamsRunning") calleeUp = msSince(start);
    std::this_thread::sleep_for(200us);
  }
  (void)bridgeRequest(caller, requestLine("hup", "HANGUP_CALL"));
  const auto ended = after(15s);
  while (inCall(caller) || inCall(callee)) {
    if (Clock::now() > ended) throw std::runtime_error("helper call did not end");
    std::this_thread::sleep_for(5ms);
  }
  return std::max(*callerUp, *calleeUp);
}

// The id of a call that rang on the peer since the last look, from its
// events; the events seen so far are dropped.
std::optional<int> incomingCall(Running& peer) {
  static const std::regex ringing(R"(Event: LinphoneCallIncomingReceived\n(?:[^\n]+\n)*?Id: (\d+))");
  std::smatch match;
  std::optional<int> id;
  if (std::regex_search(peer.events, match, ringing)) id = std::stoi(match[1]);
  if (id) peer.events.clear();
  return id;
}

double peerCall(Running& caller, Running& callee, const test::Kamailio& registrar) {
  const auto start = Clock::now();
  const std::string made = peerCommand(caller, "call " + registrar.uri("dave"));
  const auto callerId = peerId(made);
  if (!peerOk(made) || !callerId) throw std::runtime_error("peer call failed: " + made);
  std::optional<int> calleeId;
  std::optional<double> callerUp, calleeUp;
  const auto deadline = after(20s);
  const auto running = [&](Running& peer, int id) {
    return peerCommand(peer, "call-status " + std::to_string(id)).find("LinphoneCallStreamsRunning") !=
           std::string::npos;
  };
  while (!(callerUp && calleeUp)) {
    if (Clock::now() > deadline)
      throw std::runtime_error("peer call did not come up\n" + caller.log() + "\n--- callee ---\n" + callee.log());
    if (!calleeId) (void)peerCommand(callee, std::string(kPeerCheapCommand));  // brings its events in
    if (!calleeId && (calleeId = incomingCall(callee))) {
      const std::string answer = peerCommand(callee, "answer " + std::to_string(*calleeId));
      if (!peerOk(answer)) throw std::runtime_error("peer answer failed: " + answer);
    }
    if (!callerUp && running(caller, *callerId)) callerUp = msSince(start);
    if (calleeId && !calleeUp && running(callee, *calleeId)) calleeUp = msSince(start);
    std::this_thread::sleep_for(200us);
  }
  (void)peerCommand(caller, "terminate " + std::to_string(*callerId));
  const auto ended = after(15s);
  const auto gone = [&](Running& peer, int id) {
    return peerCommand(peer, "call-status " + std::to_string(id)).find("No call with such id") != std::string::npos;
  };
  while (!gone(caller, *callerId) || !gone(callee, *calleeId)) {
    if (Clock::now() > ended) throw std::runtime_error("peer call did not end");
    std::this_thread::sleep_for(5ms);
  }
  // Leave no stale events for the next call.
  caller.events.clear();
  callee.events.clear();
  return std::max(*callerUp, *calleeUp);
}

// ---------------------------------------------------------------------------
// Phase 4: the location library's own benchmark program.

struct LocationRun {
  double candidateMs = 0;
  double manyRequestsMs = 0;
};

LocationRun locationRun(const Options& o) {
  test::TempDir dir("tavirel-bench-loc");
  SpawnOptions spawn;
  spawn.argv = {o.locationCommand, std::to_string(o.locationSamples), "10000"};
  spawn.stderrFile = dir.path() / "stderr.log";
  PipeProcess process(spawn);
  process.closeInput();
  process.arm(after(300s));
  std::string output;
  char chunk[4096];
  for (std::size_t got; (got = process.readSome(chunk, sizeof chunk)) > 0;) output.append(chunk, got);
  process.disarm();
  const auto status = process.waitExit(after(10s));
  if (!status || *status != 0)
    throw std::runtime_error("location benchmark failed:\n" + output + tailOfFile(dir.path() / "stderr.log"));
  // A position due at once when the request starts: start to callback is
  // the position's way to the JVM, plus the start itself (an upper bound;
  // the program's own estimate subtracts a second median and can come out
  // below zero).
  static const std::regex candidate(R"(start -> onNativeCandidate, position due at once: median ([0-9.]+) ms)");
  static const std::regex many(R"((\d+) requests .* in (\d+) ms)");
  std::smatch match;
  LocationRun run;
  if (!std::regex_search(output, match, candidate)) throw std::runtime_error("no candidate figure in:\n" + output);
  run.candidateMs = std::stod(match[1]);
  if (!std::regex_search(output, match, many)) throw std::runtime_error("no request figure in:\n" + output);
  run.manyRequestsMs = std::stod(match[2]);
  return run;
}

// ---------------------------------------------------------------------------

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error("missing value after " + arg);
      return argv[++i];
    };
    if (arg == "--helper") o.helper = value();
    else if (arg == "--peer") o.peer = value();
    else if (arg == "--limit") o.limit = value();
    else if (arg == "--json") o.jsonFile = value();
    else if (arg == "--location-cmd") o.locationCommand = value();
    else if (arg == "--runs") o.runs = std::stoi(value());
    else if (arg == "--requests") o.requests = std::stoi(value());
    else if (arg == "--peer-requests") o.peerRequests = std::stoi(value());
    else if (arg == "--round-trips") o.roundTrips = std::stoi(value());
    else if (arg == "--idle-seconds") o.idleSeconds = std::stoi(value());
    else if (arg == "--idle-runs") o.idleRuns = std::stoi(value());
    else if (arg == "--calls") o.calls = std::stoi(value());
    else if (arg == "--location-runs") o.locationRuns = std::stoi(value());
    else if (arg == "--location-samples") o.locationSamples = std::stoi(value());
    else if (arg == "--fifo") o.fifo = true;
    else if (arg == "--only") {
      std::stringstream list(value());
      for (std::string item; std::getline(list, item, ',');) o.only.insert(item);
    } else throw std::runtime_error("unknown argument " + arg);
  }
  if (o.helper.empty()) throw std::runtime_error("--helper is required");
  return o;
}

std::string isoNow() {
  const std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  return text;
}

Series missing(const std::string& why) { return Series{{}, "n/a: " + why}; }

// Per-run ratio a/b of two series measured side by side.
Series ratioOf(const std::vector<double>& a, const std::vector<double>& b) {
  Series s;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) s.runs.push_back(a[i] / b[i]);
  return s;
}

int run(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  Report report;
  json loads = json::array();
  const auto markLoad = [&](const std::string& phase) {
    const auto [one, five] = loadAverage();
    loads.push_back({{"phase", phase}, {"load1", one}, {"load5", five}, {"at", isoNow()}});
  };
  int failures = 0;

  progress("starting the sound server");
  test::PulseAudio pulse;
  const Env pulseEnv = pulse.clientEnvironment();

  // -- bridge -----------------------------------------------------------
  std::vector<BridgeRun> bridge;
  std::string bridgeMissing = "not run";
  if (o.wants("bridge")) {
    markLoad("bridge start");
    // Threads and processes started from here on inherit the policy.
    sched_param realtime{};
    realtime.sched_priority = 10;
    if (o.fifo && sched_setscheduler(0, SCHED_FIFO, &realtime) != 0)
      throw std::runtime_error("--fifo: cannot switch to SCHED_FIFO (needs root)");
    try {
      for (int r = 0; r < o.runs; ++r) {
        progress("bridge run " + std::to_string(r + 1) + "/" + std::to_string(o.runs));
        bridge.push_back(bridgeRun(o, pulseEnv));
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[bench] bridge phase failed: %s\n", e.what());
      bridgeMissing = "failed";
      bridge.clear();
      ++failures;
    }
    if (o.fifo) {
      sched_param normal{};
      (void)sched_setscheduler(0, SCHED_OTHER, &normal);
    }
    markLoad("bridge end");
  }
  const auto bridgeSeries = [&](double BridgeRun::*field) {
    if (bridge.empty()) return missing(bridgeMissing);
    Series s;
    for (const auto& run : bridge) s.runs.push_back(run.*field);
    return s;
  };
  report.add(Row{"pipelined_get_call_state", "Pipelined GET_CALL_STATE, before INITIALIZE", "req/s", 0,
                 bridgeSeries(&BridgeRun::helperGcsRate), bridgeSeries(&BridgeRun::limitGcsRate), {}});
  report.add(Row{"pipelined_is_in_call", "Pipelined IS_IN_CALL, after INITIALIZE", "req/s", 0,
                 bridgeSeries(&BridgeRun::helperIicRate), bridgeSeries(&BridgeRun::limitIicRate), {}});
  report.add(Row{"pipelined_peer_cheap_command", "Pipelined cheap command (peer: call-status)", "req/s", 0, {}, {},
                 bridgeSeries(&BridgeRun::peerRate)});
  report.add(Row{"latency_get_call_state_median", "Round trip GET_CALL_STATE, median", "µs", 1,
                 bridgeSeries(&BridgeRun::helperGcsMedian), bridgeSeries(&BridgeRun::limitGcsMedian),
                 bridgeSeries(&BridgeRun::peerMedian)});
  report.add(Row{"latency_get_call_state_p99", "Round trip GET_CALL_STATE, p99", "µs", 1,
                 bridgeSeries(&BridgeRun::helperGcsP99), bridgeSeries(&BridgeRun::limitGcsP99),
                 bridgeSeries(&BridgeRun::peerP99)});
  report.add(Row{"latency_is_in_call_median", "Round trip IS_IN_CALL, median", "µs", 1,
                 bridgeSeries(&BridgeRun::helperIicMedian), bridgeSeries(&BridgeRun::limitIicMedian), {}});
  report.add(Row{"latency_is_in_call_p99", "Round trip IS_IN_CALL, p99", "µs", 1,
                 bridgeSeries(&BridgeRun::helperIicP99), bridgeSeries(&BridgeRun::limitIicP99), {}});

  // -- registrar for the rest --------------------------------------------
  std::unique_ptr<test::Kamailio> registrar;
  std::string registrarMissing;
  if (o.wants("idle") || o.wants("calls")) {
    try {
      progress("starting the registrar");
      registrar = std::make_unique<test::Kamailio>();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[bench] registrar failed: %s\n", e.what());
      registrarMissing = "no registrar";
      ++failures;
    }
  }

  // -- start-up and idle -------------------------------------------------
  std::vector<IdleRun> idle;
  std::vector<double> registerMs, peerRegisterMs;
  std::string idleMissing = "not run";
  if (o.wants("idle") && registrar) {
    markLoad("idle start");
    try {
      for (int r = 0; r < o.idleRuns; ++r) {
        progress("start-up and idle run " + std::to_string(r + 1) + "/" + std::to_string(o.idleRuns));
        idle.push_back(idleRun(o, pulseEnv, *registrar));
        registerMs.push_back(idle.back().registerMs);
        peerRegisterMs.push_back(idle.back().peerRegisterMs);
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[bench] idle phase failed: %s\n", e.what());
      idleMissing = "failed";
      ++failures;
    }
    markLoad("idle end");
  } else if (!registrarMissing.empty()) {
    idleMissing = registrarMissing;
  }
  const auto idleSeries = [&](const std::function<double(const IdleRun&)>& get) {
    if (idle.empty()) return missing(idleMissing);
    Series s;
    for (const auto& run : idle) s.runs.push_back(get(run));
    return s;
  };
  report.add(Row{"initialize", "INITIALIZE, request to answer", "ms", 1,
                 idleSeries([](const IdleRun& r) { return r.initializeMs; }), {}, {}});
  report.add(Row{"start_up", "Start-up: spawn to engine running and answering (helper: with INITIALIZE)", "ms", 1,
                 idleSeries([](const IdleRun& r) { return r.helperReadyMs; }), {},
                 idleSeries([](const IdleRun& r) { return r.peerReadyMs; })});
  report.add(Row{"idle_cpu", "Idle " + std::to_string(o.idleSeconds) + " s: CPU user+sys", "s", 3,
                 idleSeries([](const IdleRun& r) { return r.helper.cpuSeconds; }), {},
                 idleSeries([](const IdleRun& r) { return r.peer.cpuSeconds; })});
  report.add(Row{"idle_wakeups", "Idle: wake-ups (voluntary switches)", "1/s", 1,
                 idleSeries([](const IdleRun& r) { return r.helper.wakeupsPerSecond; }), {},
                 idleSeries([](const IdleRun& r) { return r.peer.wakeupsPerSecond; })});
  report.add(Row{"idle_rss", "Idle: resident memory", "MiB", 1,
                 idleSeries([](const IdleRun& r) { return r.helper.rssMiB; }), {},
                 idleSeries([](const IdleRun& r) { return r.peer.rssMiB; })});

  // -- calls -------------------------------------------------------------
  std::vector<double> helperCalls, peerCalls;
  std::string callsMissing = registrarMissing.empty() ? "not run" : registrarMissing;
  std::string peerCallsMissing = callsMissing;
  if (o.wants("calls") && registrar) {
    markLoad("calls start");
    std::unique_ptr<Running> alice, bob, carol, dave;
    try {
      progress("calls: starting and registering two helpers");
      alice = startHelper(o, pulseEnv);
      initialize(*alice);
      registerMs.push_back(registerHelper(*alice, *registrar, "alice"));
      bob = startHelper(o, pulseEnv);
      initialize(*bob);
      registerMs.push_back(registerHelper(*bob, *registrar, "bob"));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[bench] helper registration failed: %s\n", e.what());
      callsMissing = "REGISTER failed";
      alice.reset();
      bob.reset();
      ++failures;
    }
    try {
      progress("calls: starting and registering two peers");
      carol = startPeer(o, pulseEnv);
      matchHelperCodecs(*carol);
      peerRegisterMs.push_back(registerPeer(*carol, *registrar, "carol"));
      dave = startPeer(o, pulseEnv);
      matchHelperCodecs(*dave);
      peerRegisterMs.push_back(registerPeer(*dave, *registrar, "dave"));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[bench] peer registration failed: %s\n", e.what());
      peerCallsMissing = "peer register failed";
      carol.reset();
      dave.reset();
      ++failures;
    }
    for (int i = 0; i < o.calls; ++i) {
      progress("call " + std::to_string(i + 1) + "/" + std::to_string(o.calls));
      if (alice && bob) {
        try {
          helperCalls.push_back(helperCall(*alice, *bob, *registrar));
        } catch (const std::exception& e) {
          std::fprintf(stderr, "[bench] helper call failed: %s\n", e.what());
          callsMissing = "call failed";
          helperCalls.clear();
          alice.reset();
          bob.reset();
          ++failures;
        }
      }
      if (carol && dave) {
        try {
          peerCalls.push_back(peerCall(*carol, *dave, *registrar));
        } catch (const std::exception& e) {
          std::fprintf(stderr, "[bench] peer call failed: %s\n", e.what());
          peerCallsMissing = "call failed";
          peerCalls.clear();
          carol.reset();
          dave.reset();
          ++failures;
        }
      }
    }
    for (auto* helper : {&alice, &bob})
      if (*helper) stopHelper(**helper);
    for (auto* peer : {&carol, &dave})
      if (*peer) stopPeer(**peer);
    markLoad("calls end");
  }
  report.add(Row{"register", "REGISTER at the registrar, request to answer", "ms", 1,
                 registerMs.empty() ? missing(callsMissing) : Series{registerMs, {}}, {},
                 peerRegisterMs.empty() ? missing(peerCallsMissing) : Series{peerRegisterMs, {}}});
  report.add(Row{"call_setup", "Call: MAKE_CALL to streamsRunning on both sides", "ms", 1,
                 helperCalls.empty() ? missing(callsMissing) : Series{helperCalls, {}}, {},
                 peerCalls.empty() ? missing(peerCallsMissing) : Series{peerCalls, {}}});

  // -- location ----------------------------------------------------------
  std::vector<LocationRun> location;
  std::string locationMissing = o.locationCommand.empty() ? "no location benchmark" : "not run";
  if (o.wants("location") && !o.locationCommand.empty()) {
    markLoad("location start");
    try {
      for (int r = 0; r < o.locationRuns; ++r) {
        progress("location run " + std::to_string(r + 1) + "/" + std::to_string(o.locationRuns));
        location.push_back(locationRun(o));
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[bench] location phase failed: %s\n", e.what());
      locationMissing = "failed";
      location.clear();
      ++failures;
    }
    markLoad("location end");
  }
  const auto locationSeries = [&](double LocationRun::*field) {
    if (location.empty()) return missing(locationMissing);
    Series s;
    for (const auto& run : location) s.runs.push_back(run.*field);
    return s;
  };
  report.add(Row{"location_candidate", "Location: start with a position due to onNativeCandidate, median", "ms", 3,
                 locationSeries(&LocationRun::candidateMs), {}, {}});
  report.add(Row{"location_10000_requests", "Location: 10,000 requests, total", "ms", 0,
                 locationSeries(&LocationRun::manyRequestsMs), {}, {}});

  // -- ratios ------------------------------------------------------------
  const auto fromBridge = [&](double BridgeRun::*a, double BridgeRun::*b) {
    if (bridge.empty()) return missing(bridgeMissing);
    std::vector<double> x, y;
    for (const auto& run : bridge) x.push_back(run.*a), y.push_back(run.*b);
    return ratioOf(x, y);
  };
  report.add(Ratio{"pipelined_get_call_state_vs_limit", "Pipelined GET_CALL_STATE ÷ limit",
                   fromBridge(&BridgeRun::helperGcsRate, &BridgeRun::limitGcsRate), true, 0.5, "≥ 0.50"});
  report.add(Ratio{"pipelined_is_in_call_vs_limit", "Pipelined IS_IN_CALL ÷ limit",
                   fromBridge(&BridgeRun::helperIicRate, &BridgeRun::limitIicRate), true, 0.25, "≥ 0.25"});
  report.add(Ratio{"latency_get_call_state_vs_limit", "Round trip GET_CALL_STATE median ÷ limit",
                   fromBridge(&BridgeRun::helperGcsMedian, &BridgeRun::limitGcsMedian), false, 1.5, "≤ 1.50"});
  report.add(Ratio{"latency_is_in_call_vs_limit", "Round trip IS_IN_CALL median ÷ limit",
                   fromBridge(&BridgeRun::helperIicMedian, &BridgeRun::limitIicMedian), false, 2.0, "≤ 2.00"});
  report.add(Ratio{"pipelined_limit_vs_peer", "Pipelined: limit ÷ peer (for scale)",
                   fromBridge(&BridgeRun::limitGcsRate, &BridgeRun::peerRate), true, 0, "–", 1, true});
  report.add(Ratio{"pipelined_get_call_state_vs_peer", "Pipelined GET_CALL_STATE ÷ peer (for scale)",
                   fromBridge(&BridgeRun::helperGcsRate, &BridgeRun::peerRate), true, 0, "–", 1, true});
  const auto fromIdle = [&](const std::function<double(const IdleRun&)>& a,
                            const std::function<double(const IdleRun&)>& b) {
    if (idle.empty()) return missing(idleMissing);
    std::vector<double> x, y;
    for (const auto& run : idle) x.push_back(a(run)), y.push_back(b(run));
    return ratioOf(x, y);
  };
  report.add(Ratio{"idle_cpu_vs_peer", "Idle CPU ÷ peer",
                   fromIdle([](const IdleRun& r) { return r.helper.cpuSeconds; },
                            [](const IdleRun& r) { return r.peer.cpuSeconds; }),
                   false, 1.0, "≤ 1.00"});
  {
    Series wakes = idle.empty() ? missing(idleMissing) : Series{};
    for (const auto& run : idle) wakes.runs.push_back(run.helper.wakeupsPerSecond / 50.0);
    report.add(Ratio{"idle_wakeups_vs_tick", "Idle wake-ups ÷ 50/s (the 20 ms tick)", wakes, false, 1.1, "≈ 1 (≤ 1.10)"});
  }
  report.add(Ratio{"idle_rss_vs_peer", "Idle resident memory ÷ peer",
                   fromIdle([](const IdleRun& r) { return r.helper.rssMiB; },
                            [](const IdleRun& r) { return r.peer.rssMiB; }),
                   false, 1.0, "≤ 1.00"});
  report.add(Ratio{"initialize_vs_peer_start_up", "INITIALIZE ÷ peer start-up",
                   fromIdle([](const IdleRun& r) { return r.initializeMs; },
                            [](const IdleRun& r) { return r.peerReadyMs; }),
                   false, 1.0, "≤ 1.00"});
  report.add(Ratio{"start_up_vs_peer", "Spawn + INITIALIZE ÷ peer start-up (for scale)",
                   fromIdle([](const IdleRun& r) { return r.helperReadyMs; },
                            [](const IdleRun& r) { return r.peerReadyMs; }),
                   false, 0, "–", 2, true});
  report.add(Ratio{"call_setup_vs_peer", "Call set-up ÷ peer (call by call)",
                   helperCalls.empty() || peerCalls.empty() ? missing(helperCalls.empty() ? callsMissing : peerCallsMissing)
                                                            : ratioOf(helperCalls, peerCalls),
                   false, 1.0, "≤ 1.00"});
  {
    Series loc = location.empty() ? missing(locationMissing) : Series{};
    for (const auto& run : location) loc.runs.push_back(run.candidateMs);
    report.add(Ratio{"location_candidate_ms", "Location position to JVM, median (ms)", loc, false, 1.0, "< 1 ms", 3});
  }

  // -- notes ---------------------------------------------------------------
  if (!idle.empty()) {
    json threads = json::object();
    for (const char* who : {"helper", "peer"}) {
      json byName = json::object();
      for (const auto& run : idle)
        for (const auto& [name, rate] : (std::string(who) == "helper" ? run.helper : run.peer).wakeupsByThread)
          byName[name].push_back(rate);
      threads[who] = byName;
    }
    report.note("idle_wakeups_by_thread", threads);
  }
  utsname host{};
  ::uname(&host);
  report.note("machine", {{"cpus", std::thread::hardware_concurrency()},
                          {"kernel", std::string(host.release)},
                          {"load_by_phase", loads}});
  report.note("parameters", {{"bridge_scheduling", o.fifo ? "SCHED_FIFO" : "normal"},
                             {"runs", o.runs},
                             {"requests", o.requests},
                             {"peer_requests", o.peerRequests},
                             {"round_trips", o.roundTrips},
                             {"idle_seconds", o.idleSeconds},
                             {"idle_runs", o.idleRuns},
                             {"calls", o.calls},
                             {"location_runs", o.locationRuns},
                             {"location_samples", o.locationSamples}});
  report.note("finished", isoNow());

  const std::string table = report.table();
  const auto [load1, load5] = loadAverage();
  std::cout << table << "\nload average at the end " << load1 << " (1 min), " << load5 << " (5 min); bridge phase "
            << (o.fifo ? "under SCHED_FIFO" : "under normal scheduling") << "\n"
            << std::flush;
  if (!o.jsonFile.empty()) {
    json out = report.json();
    std::ofstream file(o.jsonFile);
    file << out.dump(2) << "\n";
    if (!file) throw std::runtime_error("cannot write " + o.jsonFile);
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace tavirel::bench

int main(int argc, char** argv) {
  try {
    return tavirel::bench::run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_driver: %s\n", e.what());
    return 2;
  }
}
