// The cost of a running call, what a laptop's battery pays for: CPU, wake-ups,
// threads and memory of each side over a window while the call streams, for
// a call between two helpers and one between two peers, run by run.
#include <functional>
#include <thread>

#include "phases.h"
#include "placed_calls.h"
#include "proc_stats.h"

namespace tavirel::bench {
namespace {

using namespace std::chrono_literals;

// Media settles (jitter buffers, the first RTCP) before the window opens.
constexpr auto kSettle = 2s;

struct Sides {
  WindowCost caller, callee;
};

struct InCallRun {
  Sides helper, peer;
};

using SideField = std::function<double(const WindowCost&)>;

struct InCallRuns {
  std::vector<InCallRun> runs;
  std::string missing = "not run";

  Series series(bool helper, bool caller, const SideField& get) const {
    if (runs.empty()) return bench::missing(missing);
    Series s;
    for (const auto& run : runs) {
      const Sides& sides = helper ? run.helper : run.peer;
      s.runs.push_back(get(caller ? sides.caller : sides.callee));
    }
    return s;
  }
  Series ratio(bool caller, const SideField& get) const {
    if (runs.empty()) return bench::missing(missing);
    return ratioOf(series(true, caller, get).runs, series(false, caller, get).runs);
  }
};

// Both sides over the same window.
Sides measureBoth(Running& caller, Running& callee, int seconds) {
  std::this_thread::sleep_for(kSettle);
  const pid_t a = caller->process().pid(), b = callee->process().pid();
  const ProcessSample aBefore = sampleProcess(a), bBefore = sampleProcess(b);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const ProcessSample aAfter = sampleProcess(a), bAfter = sampleProcess(b);
  return {windowCost(aBefore, aAfter), windowCost(bBefore, bAfter)};
}

void runInCall(Bench& bench, const test::Kamailio& registrar, InCallRuns& result) {
  const Options& o = bench.options;
  progress("in call: starting and registering two helpers and two peers");
  auto alice = registeredHelper(o, bench.pulse, registrar, "alice");
  auto bob = registeredHelper(o, bench.pulse, registrar, "bob");
  auto carol = registeredPeer(o, bench.pulse, registrar, "carol");
  auto dave = registeredPeer(o, bench.pulse, registrar, "dave");
  for (int r = 0; r < o.inCallRuns; ++r) {
    progress("in call run " + std::to_string(r + 1) + "/" + std::to_string(o.inCallRuns));
    InCallRun run;
    (void)setUpHelperCall(*alice, *bob, registrar.uri("bob"));
    run.helper = measureBoth(*alice, *bob, o.callSeconds);
    endHelperCall(*alice, *bob);
    const PeerCall call = setUpPeerCall(*carol, *dave, registrar.uri("dave"));
    run.peer = measureBoth(*carol, *dave, o.callSeconds);
    endPeerCall(*carol, *dave, call);
    result.runs.push_back(run);
  }
  for (auto* helper : {&alice, &bob}) stopHelper(**helper);
  for (auto* peer : {&carol, &dave}) stopPeer(**peer);
}

const SideField kCpu = [](const WindowCost& c) { return c.cpuPercent; };
const SideField kWakeups = [](const WindowCost& c) { return c.wakeupsPerSecond; };

void addRows(Report& report, const InCallRuns& calls, int seconds) {
  const std::string window = "In call (" + std::to_string(seconds) + " s), ";
  for (const bool caller : {true, false}) {
    const std::string side = caller ? "caller" : "callee";
    report.add(Row{"in_call_cpu_" + side, window + side + ": CPU", "% core", 1, calls.series(true, caller, kCpu),
                   {}, calls.series(false, caller, kCpu)});
    report.add(Row{"in_call_wakeups_" + side, window + side + ": wake-ups (all threads)", "1/s", 0,
                   calls.series(true, caller, kWakeups), {}, calls.series(false, caller, kWakeups)});
    const SideField threads = [](const WindowCost& c) { return c.threads; };
    report.add(Row{"in_call_threads_" + side, window + side + ": threads", "count", 0, calls.series(true, caller, threads),
                   {}, calls.series(false, caller, threads)});
    const SideField rss = [](const WindowCost& c) { return c.rssMiB; };
    report.add(Row{"in_call_rss_" + side, window + side + ": resident memory", "MiB", 1,
                   calls.series(true, caller, rss), {}, calls.series(false, caller, rss)});
  }
}

void addRatios(Report& report, const InCallRuns& calls) {
  for (const bool caller : {true, false}) {
    const std::string side = caller ? "caller" : "callee";
    report.add(Ratio{"in_call_cpu_" + side + "_vs_peer", "In-call CPU, " + side + " ÷ peer", calls.ratio(caller, kCpu),
                     false, 1.0, "≤ 1.00"});
    report.add(Ratio{"in_call_wakeups_" + side + "_vs_peer", "In-call wake-ups, " + side + " ÷ peer",
                     calls.ratio(caller, kWakeups), false, 1.0, "≤ 1.00"});
  }
}

}  // namespace

void inCallPhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing) {
  InCallRuns calls;
  if (!registrarMissing.empty()) calls.missing = registrarMissing;
  if (bench.options.wants("incall") && registrar &&
      !measurePhase(bench, "incall", calls.missing, [&] { runInCall(bench, *registrar, calls); }))
    calls.runs.clear();
  addRows(bench.report, calls, bench.options.callSeconds);
  addRatios(bench.report, calls);
}

}  // namespace tavirel::bench
