// Phase 2: start-up, idle cost, registration.
#include <cstdio>
#include <functional>
#include <thread>

#include "phases.h"
#include "proc_stats.h"

namespace tavirel::bench {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

struct IdleRun {
  double initializeMs = 0, helperReadyMs = 0, peerReadyMs = 0;
  IdleCost helper, peer;
  double registerMs = 0, peerRegisterMs = 0;
};

using IdleField = std::function<double(const IdleRun&)>;

struct IdleRuns {
  std::vector<IdleRun> runs;
  std::string missing = "not run";

  Series series(const IdleField& get) const {
    if (runs.empty()) return bench::missing(missing);
    Series s;
    for (const auto& run : runs) s.runs.push_back(get(run));
    return s;
  }
  Series ratio(const IdleField& a, const IdleField& b) const {
    if (runs.empty()) return bench::missing(missing);
    std::vector<double> x, y;
    for (const auto& run : runs) x.push_back(a(run)), y.push_back(b(run));
    return ratioOf(x, y);
  }
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

IdleRuns runIdle(Bench& bench, const test::Kamailio& registrar, Registrations& registrations) {
  const Options& o = bench.options;
  IdleRuns idle;
  bench.markLoad("idle start");
  try {
    for (int r = 0; r < o.idleRuns; ++r) {
      progress("start-up and idle run " + std::to_string(r + 1) + "/" + std::to_string(o.idleRuns));
      idle.runs.push_back(idleRun(o, bench.pulse, registrar));
      registrations.helperMs.push_back(idle.runs.back().registerMs);
      registrations.peerMs.push_back(idle.runs.back().peerRegisterMs);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[bench] idle phase failed: %s\n", e.what());
    idle.missing = "failed";
    ++bench.failures;
  }
  bench.markLoad("idle end");
  return idle;
}

void addRows(Report& report, const IdleRuns& idle, int idleSeconds) {
  report.add(Row{"initialize", "INITIALIZE, request to answer", "ms", 1,
                 idle.series([](const IdleRun& r) { return r.initializeMs; }), {}, {}});
  report.add(Row{"start_up", "Start-up: spawn to engine running and answering (helper: with INITIALIZE)", "ms", 1,
                 idle.series([](const IdleRun& r) { return r.helperReadyMs; }), {},
                 idle.series([](const IdleRun& r) { return r.peerReadyMs; })});
  report.add(Row{"idle_cpu", "Idle " + std::to_string(idleSeconds) + " s: CPU user+sys", "s", 3,
                 idle.series([](const IdleRun& r) { return r.helper.cpuSeconds; }), {},
                 idle.series([](const IdleRun& r) { return r.peer.cpuSeconds; })});
  report.add(Row{"idle_wakeups", "Idle: wake-ups (voluntary switches)", "1/s", 1,
                 idle.series([](const IdleRun& r) { return r.helper.wakeupsPerSecond; }), {},
                 idle.series([](const IdleRun& r) { return r.peer.wakeupsPerSecond; })});
  report.add(Row{"idle_rss", "Idle: resident memory", "MiB", 1,
                 idle.series([](const IdleRun& r) { return r.helper.rssMiB; }), {},
                 idle.series([](const IdleRun& r) { return r.peer.rssMiB; })});
}

void addRatios(Report& report, const IdleRuns& idle) {
  report.add(Ratio{"idle_cpu_vs_peer", "Idle CPU ÷ peer",
                   idle.ratio([](const IdleRun& r) { return r.helper.cpuSeconds; },
                              [](const IdleRun& r) { return r.peer.cpuSeconds; }),
                   false, 1.05, "≤ 1.05 (parity)"});
  Series wakes = idle.runs.empty() ? missing(idle.missing) : Series{};
  for (const auto& run : idle.runs) wakes.runs.push_back(run.helper.wakeupsPerSecond / 50.0);
  report.add(Ratio{"idle_wakeups_vs_tick", "Idle wake-ups ÷ 50/s (the 20 ms tick)", wakes, false, 1.1, "≈ 1 (≤ 1.10)"});
  report.add(Ratio{"idle_rss_vs_peer", "Idle resident memory ÷ peer",
                   idle.ratio([](const IdleRun& r) { return r.helper.rssMiB; },
                              [](const IdleRun& r) { return r.peer.rssMiB; }),
                   false, 0.87, "≤ 0.87"});
  report.add(Ratio{"initialize_vs_peer_start_up", "INITIALIZE ÷ peer start-up",
                   idle.ratio([](const IdleRun& r) { return r.initializeMs; },
                              [](const IdleRun& r) { return r.peerReadyMs; }),
                   false, 0.45, "≤ 0.45"});
  report.add(Ratio{"start_up_vs_peer", "Spawn + INITIALIZE ÷ peer start-up",
                   idle.ratio([](const IdleRun& r) { return r.helperReadyMs; },
                              [](const IdleRun& r) { return r.peerReadyMs; }),
                   false, 0.90, "≤ 0.90"});
}

// Who wakes: each thread name's wake-ups per second, run by run.
void addWakeupNote(Report& report, const IdleRuns& idle) {
  if (idle.runs.empty()) return;
  json threads = json::object();
  for (const char* who : {"helper", "peer"}) {
    json byName = json::object();
    for (const auto& run : idle.runs)
      for (const auto& [name, rate] : (std::string(who) == "helper" ? run.helper : run.peer).wakeupsByThread)
        byName[name].push_back(rate);
    threads[who] = byName;
  }
  report.note("idle_wakeups_by_thread", threads);
}

}  // namespace

Registrations idlePhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing) {
  Registrations registrations;
  IdleRuns idle;
  if (bench.options.wants("idle") && registrar) idle = runIdle(bench, *registrar, registrations);
  else if (!registrarMissing.empty()) idle.missing = registrarMissing;
  addRows(bench.report, idle, bench.options.idleSeconds);
  addRatios(bench.report, idle);
  addWakeupNote(bench.report, idle);
  return registrations;
}

}  // namespace tavirel::bench
