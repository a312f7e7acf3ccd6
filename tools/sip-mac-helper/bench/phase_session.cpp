// A long session: one helper places call after call (each answered, a
// second of media, hung up) while its resident memory and open descriptors
// are read at a quarter, half and all of the calls. What grows per call is
// what a desktop that keeps the helper for days pays.
#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "phases.h"
#include "placed_calls.h"
#include "proc_stats.h"

namespace tavirel::bench {
namespace {

using namespace std::chrono_literals;

constexpr auto kMedia = 1s;
// Memory the engine frees a little after a call ends is not growth.
constexpr auto kSettle = 1s;

struct Checkpoint {
  int calls = 0;
  double rssMiB = 0;
  int descriptors = 0;
};

std::vector<Checkpoint> runSession(Bench& bench, const test::Kamailio& registrar) {
  const Options& o = bench.options;
  progress("session: starting and registering two helpers");
  auto alice = registeredHelper(o, bench.pulse, registrar, "alice");
  auto bob = registeredHelper(o, bench.pulse, registrar, "bob");
  const pid_t pid = (*alice)->process().pid();
  const int marks[] = {o.sessionCalls / 4, o.sessionCalls / 2, o.sessionCalls};
  std::vector<Checkpoint> checkpoints;
  for (int call = 1; call <= o.sessionCalls; ++call) {
    try {
      (void)setUpHelperCall(*alice, *bob, registrar.uri("bob"));
      std::this_thread::sleep_for(kMedia);
      endHelperCall(*alice, *bob);
    } catch (const std::exception& e) {
      throw std::runtime_error("call " + std::to_string(call) + ": " + e.what());
    }
    if (std::find(std::begin(marks), std::end(marks), call) == std::end(marks)) continue;
    std::this_thread::sleep_for(kSettle);
    checkpoints.push_back({call, sampleProcess(pid).rssMiB, openDescriptors(pid)});
    progress("session: " + std::to_string(call) + " calls, " + std::to_string(checkpoints.back().rssMiB) + " MiB, " +
             std::to_string(checkpoints.back().descriptors) + " descriptors");
  }
  stopHelper(*alice);
  stopHelper(*bob);
  return checkpoints;
}

void addResults(Report& report, const std::vector<Checkpoint>& checkpoints, const std::string& why, int calls) {
  const int marks[] = {calls / 4, calls / 2, calls};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string n = std::to_string(marks[i]);
    const bool have = checkpoints.size() == 3;
    report.add(Row{"session_rss_" + n, "Session: resident memory after " + n + " calls", "MiB", 1,
                   have ? Series{{checkpoints[i].rssMiB}, {}} : missing(why), {}, {}});
    report.add(Row{"session_fds_" + n, "Session: open descriptors after " + n + " calls", "count", 0,
                   have ? Series{{static_cast<double>(checkpoints[i].descriptors)}, {}} : missing(why), {}, {}});
  }
  Series growth = missing(why), descriptors = missing(why);
  if (checkpoints.size() == 3) {
    const Checkpoint& first = checkpoints.front();
    const Checkpoint& last = checkpoints.back();
    growth = Series{{(last.rssMiB - first.rssMiB) * 1024.0 / (last.calls - first.calls)}, {}};
    descriptors = Series{{static_cast<double>(last.descriptors - first.descriptors)}, {}};
  }
  const std::string span = " (calls " + std::to_string(marks[0]) + " to " + std::to_string(marks[2]) + ")";
  report.add(Ratio{"session_rss_growth_per_call", "Session: memory growth per call, KiB" + span, growth, false, 16.0,
                   "≤ 16 KiB", 1});
  report.add(Ratio{"session_fd_growth", "Session: descriptor growth" + span, descriptors, false, 0.0, "none (≤ 0)", 0});
}

}  // namespace

void sessionPhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing) {
  std::vector<Checkpoint> checkpoints;
  std::string why = registrarMissing.empty() ? "not run" : registrarMissing;
  if (bench.options.wants("session") && registrar)
    measurePhase(bench, "session", why, [&] { checkpoints = runSession(bench, *registrar); });
  addResults(bench.report, checkpoints, why, bench.options.sessionCalls);
}

}  // namespace tavirel::bench
