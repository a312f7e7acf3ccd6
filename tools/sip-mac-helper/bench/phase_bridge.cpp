// Phase 1: bridge throughput and latency.
#include <sched.h>

#include <cstdio>
#include <stdexcept>

#include "phases.h"

namespace tavirel::bench {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

struct BridgeRun {
  double limitGcsRate = 0, helperGcsRate = 0, limitIicRate = 0, helperIicRate = 0, peerRate = 0;
  double limitGcsMedian = 0, limitGcsP99 = 0, helperGcsMedian = 0, helperGcsP99 = 0;
  double limitIicMedian = 0, limitIicP99 = 0, helperIicMedian = 0, helperIicP99 = 0;
  double peerMedian = 0, peerP99 = 0;
};

struct BridgeRuns {
  std::vector<BridgeRun> runs;
  std::string missing = "not run";

  Series series(double BridgeRun::*field) const {
    if (runs.empty()) return bench::missing(missing);
    Series s;
    for (const auto& run : runs) s.runs.push_back(run.*field);
    return s;
  }
  Series ratio(double BridgeRun::*a, double BridgeRun::*b) const {
    if (runs.empty()) return bench::missing(missing);
    std::vector<double> x, y;
    for (const auto& run : runs) x.push_back(run.*a), y.push_back(run.*b);
    return ratioOf(x, y);
  }
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

BridgeRuns runBridge(Bench& bench) {
  const Options& o = bench.options;
  BridgeRuns bridge;
  bench.markLoad("bridge start");
  // Threads and processes started from here on inherit the policy.
  sched_param realtime{};
  realtime.sched_priority = 10;
  if (o.fifo && sched_setscheduler(0, SCHED_FIFO, &realtime) != 0)
    throw std::runtime_error("--fifo: cannot switch to SCHED_FIFO (needs root)");
  try {
    for (int r = 0; r < o.runs; ++r) {
      progress("bridge run " + std::to_string(r + 1) + "/" + std::to_string(o.runs));
      bridge.runs.push_back(bridgeRun(o, bench.pulse));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[bench] bridge phase failed: %s\n", e.what());
    bridge.missing = "failed";
    bridge.runs.clear();
    ++bench.failures;
  }
  if (o.fifo) {
    sched_param normal{};
    (void)sched_setscheduler(0, SCHED_OTHER, &normal);
  }
  bench.markLoad("bridge end");
  return bridge;
}

void addRows(Report& report, const BridgeRuns& b) {
  report.add(Row{"pipelined_get_call_state", "Pipelined GET_CALL_STATE, before INITIALIZE", "req/s", 0,
                 b.series(&BridgeRun::helperGcsRate), b.series(&BridgeRun::limitGcsRate), {}});
  report.add(Row{"pipelined_is_in_call", "Pipelined IS_IN_CALL, after INITIALIZE", "req/s", 0,
                 b.series(&BridgeRun::helperIicRate), b.series(&BridgeRun::limitIicRate), {}});
  report.add(Row{"pipelined_peer_cheap_command", "Pipelined cheap command (peer: call-status)", "req/s", 0, {}, {},
                 b.series(&BridgeRun::peerRate)});
  report.add(Row{"latency_get_call_state_median", "Round trip GET_CALL_STATE, median", "µs", 1,
                 b.series(&BridgeRun::helperGcsMedian), b.series(&BridgeRun::limitGcsMedian),
                 b.series(&BridgeRun::peerMedian)});
  report.add(Row{"latency_get_call_state_p99", "Round trip GET_CALL_STATE, p99", "µs", 1,
                 b.series(&BridgeRun::helperGcsP99), b.series(&BridgeRun::limitGcsP99),
                 b.series(&BridgeRun::peerP99)});
  report.add(Row{"latency_is_in_call_median", "Round trip IS_IN_CALL, median", "µs", 1,
                 b.series(&BridgeRun::helperIicMedian), b.series(&BridgeRun::limitIicMedian), {}});
  report.add(Row{"latency_is_in_call_p99", "Round trip IS_IN_CALL, p99", "µs", 1,
                 b.series(&BridgeRun::helperIicP99), b.series(&BridgeRun::limitIicP99), {}});
}

void addRatios(Report& report, const BridgeRuns& b) {
  report.add(Ratio{"pipelined_get_call_state_vs_limit", "Pipelined GET_CALL_STATE ÷ limit",
                   b.ratio(&BridgeRun::helperGcsRate, &BridgeRun::limitGcsRate), true, 0.5, "≥ 0.50"});
  report.add(Ratio{"pipelined_is_in_call_vs_limit", "Pipelined IS_IN_CALL ÷ limit",
                   b.ratio(&BridgeRun::helperIicRate, &BridgeRun::limitIicRate), true, 0.25, "≥ 0.25"});
  report.add(Ratio{"latency_get_call_state_vs_limit", "Round trip GET_CALL_STATE median ÷ limit",
                   b.ratio(&BridgeRun::helperGcsMedian, &BridgeRun::limitGcsMedian), false, 1.5, "≤ 1.50"});
  report.add(Ratio{"latency_is_in_call_vs_limit", "Round trip IS_IN_CALL median ÷ limit",
                   b.ratio(&BridgeRun::helperIicMedian, &BridgeRun::limitIicMedian), false, 2.0, "≤ 2.00"});
  report.add(Ratio{"pipelined_limit_vs_peer", "Pipelined: limit ÷ peer (for scale)",
                   b.ratio(&BridgeRun::limitGcsRate, &BridgeRun::peerRate), true, 0, "–", 1, true});
  report.add(Ratio{"pipelined_get_call_state_vs_peer", "Pipelined GET_CALL_STATE ÷ peer (for scale)",
                   b.ratio(&BridgeRun::helperGcsRate, &BridgeRun::peerRate), true, 0, "–", 1, true});
}

}  // namespace

void bridgePhase(Bench& bench) {
  BridgeRuns bridge;
  if (bench.options.wants("bridge")) bridge = runBridge(bench);
  addRows(bench.report, bridge);
  addRatios(bench.report, bridge);
}

}  // namespace tavirel::bench
