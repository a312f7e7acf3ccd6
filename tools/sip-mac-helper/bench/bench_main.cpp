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
//                [--calls N] [--call-seconds S] [--in-call-runs N]
//                [--conference-parties N] [--conference-seconds S] [--session-calls N]
//                [--location-runs N] [--fifo]
//                [--only bridge,idle,calls,incall,conference,session,flood,secure,location]
//
// Progress goes to stderr; the table to stdout; the JSON to --json.
//
// This file runs the phases in order and writes the results; each phase is a
// file of its own (phase_*.cpp, declared in phases.h), and the programs under
// test and the requests the phases make of them are in programs.cpp.
#include <sys/utsname.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>

#include "Kamailio.h"
#include "PulseAudio.h"
#include "options.h"
#include "phases.h"
#include "proc_stats.h"
#include "report.h"

namespace tavirel::bench {

using nlohmann::json;

std::string isoNow() {
  const std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  return text;
}

bool measurePhase(Bench& bench, const std::string& phase, std::string& why, const std::function<void()>& measure) {
  bench.markLoad(phase + " start");
  bool done = true;
  try {
    measure();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[bench] %s phase failed: %s\n", phase.c_str(), e.what());
    why = "failed";
    ++bench.failures;
    done = false;
  }
  bench.markLoad(phase + " end");
  return done;
}

void Bench::markLoad(const std::string& phase) {
  const auto [one, five] = loadAverage();
  loads.push_back({{"phase", phase}, {"load1", one}, {"load5", five}, {"at", isoNow()}});
}

namespace {

// The registrar of the idle and calls phases; null, with `missing` saying
// why, when it cannot be started.
std::unique_ptr<test::Kamailio> startRegistrar(Bench& bench, std::string& missing) {
  std::unique_ptr<test::Kamailio> registrar;
  const Options& o = bench.options;
  if (o.wants("idle") || o.wants("calls") || o.wants("incall") || o.wants("conference") || o.wants("session") ||
      o.wants("flood")) {
    try {
      progress("starting the registrar");
      registrar = std::make_unique<test::Kamailio>();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[bench] registrar failed: %s\n", e.what());
      missing = "no registrar";
      ++bench.failures;
    }
  }
  return registrar;
}

void addNotes(Bench& bench) {
  const Options& o = bench.options;
  utsname host{};
  ::uname(&host);
  bench.report.note("machine", {{"cpus", std::thread::hardware_concurrency()},
                                {"kernel", std::string(host.release)},
                                {"load_by_phase", bench.loads}});
  bench.report.note("parameters", {{"bridge_scheduling", o.fifo ? "SCHED_FIFO" : "normal"},
                                   {"runs", o.runs},
                                   {"requests", o.requests},
                                   {"peer_requests", o.peerRequests},
                                   {"round_trips", o.roundTrips},
                                   {"idle_seconds", o.idleSeconds},
                                   {"idle_runs", o.idleRuns},
                                   {"calls", o.calls},
                                   {"call_seconds", o.callSeconds},
                                   {"in_call_runs", o.inCallRuns},
                                   {"conference_parties", o.conferenceParties},
                                   {"conference_seconds", o.conferenceSeconds},
                                   {"session_calls", o.sessionCalls},
                                   {"location_runs", o.locationRuns},
                                   {"location_samples", o.locationSamples}});
  bench.report.note("finished", isoNow());
}

// The table on stdout; the JSON to --json.
void writeResults(const Bench& bench) {
  const Options& o = bench.options;
  const std::string table = bench.report.table();
  const auto [load1, load5] = loadAverage();
  std::cout << table << "\nload average at the end " << load1 << " (1 min), " << load5 << " (5 min); bridge phase "
            << (o.fifo ? "under SCHED_FIFO" : "under normal scheduling") << "\n"
            << std::flush;
  if (!o.jsonFile.empty()) {
    json out = bench.report.json();
    std::ofstream file(o.jsonFile);
    file << out.dump(2) << "\n";
    if (!file) throw std::runtime_error("cannot write " + o.jsonFile);
  }
}

int run(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  progress("starting the sound server");
  test::PulseAudio pulse;
  Bench bench(o, pulse.clientEnvironment());
  bridgePhase(bench);
  std::string registrarMissing;
  const auto registrar = startRegistrar(bench, registrarMissing);
  Registrations registrations = idlePhase(bench, registrar.get(), registrarMissing);
  callsPhase(bench, registrar.get(), registrarMissing, std::move(registrations));
  inCallPhase(bench, registrar.get(), registrarMissing);
  conferencePhase(bench, registrar.get(), registrarMissing);
  sessionPhase(bench, registrar.get(), registrarMissing);
  floodPhase(bench, registrar.get(), registrarMissing);
  securePhase(bench);
  locationPhase(bench);
  addNotes(bench);
  writeResults(bench);
  return bench.failures == 0 ? 0 : 1;
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
