// A conference hosted by one helper, grown one remote party at a time (each
// a helper registered at the registrar): the host's CPU and wake-ups at each
// size, and what each added party costs.
#include <stdexcept>
#include <thread>

#include "phases.h"
#include "placed_calls.h"
#include "proc_stats.h"

namespace tavirel::bench {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr auto kSettle = 2s;
constexpr auto kJoinLimit = 20s;
const char* const kParties[] = {"bob", "carol", "dave", "erin"};

struct ConferenceRun {
  std::vector<WindowCost> bySize;  // [0] with one party
};

// Invites `party` into the host's conference and waits until its call streams.
void addParty(Running& host, Running& party, const std::string& target) {
  const json invited = bridgeRequest(host, requestLine("conf", "INVITE_CONFERENCE", {{"targetsCsv", target}}));
  if (!invited.value("success", false)) throw std::runtime_error("INVITE_CONFERENCE failed: " + invited.dump());
  bool answered = false;
  const auto deadline = after(kJoinLimit);
  while (!(answered && callState(party) == "streamsRunning")) {
    if (Clock::now() > deadline)
      throw std::runtime_error("party " + target + " did not join\n" + host.log() + "\n--- party ---\n" + party.log());
    if (!answered) answered = answerWhenRinging(party);
    std::this_thread::sleep_for(1ms);
  }
}

ConferenceRun runConference(Bench& bench, const test::Kamailio& registrar) {
  const Options& o = bench.options;
  progress("conference: starting and registering the host and " + std::to_string(o.conferenceParties) + " parties");
  auto host = registeredHelper(o, bench.pulse, registrar, "alice");
  std::vector<std::unique_ptr<Running>> parties;
  for (int i = 0; i < o.conferenceParties; ++i)
    parties.push_back(registeredHelper(o, bench.pulse, registrar, kParties[i]));

  ConferenceRun run;
  for (int i = 0; i < o.conferenceParties; ++i) {
    progress("conference with " + std::to_string(i + 1) + " parties");
    addParty(*host, *parties[static_cast<std::size_t>(i)], registrar.uri(kParties[i]));
    std::this_thread::sleep_for(kSettle);
    const ProcessSample before = sampleProcess((*host)->process().pid());
    std::this_thread::sleep_for(std::chrono::seconds(o.conferenceSeconds));
    run.bySize.push_back(windowCost(before, sampleProcess((*host)->process().pid())));
  }
  (void)bridgeRequest(*host, requestLine("hup", "HANGUP_CALL"));
  stopHelper(*host);
  for (auto& party : parties) stopHelper(*party);
  return run;
}

// Least-squares slope of `y` over 1, 2, ... (the party count).
double perPartySlope(const std::vector<double>& y) {
  const double n = static_cast<double>(y.size());
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double x = static_cast<double>(i + 1);
    sx += x, sy += y[i], sxx += x * x, sxy += x * y[i];
  }
  return (n * sxy - sx * sy) / (n * sxx - sx * sx);
}

void addResults(Report& report, const std::optional<ConferenceRun>& run, const std::string& why, int parties) {
  const auto figure = [&](auto get) {
    std::vector<Series> bySize;
    for (int i = 0; i < parties; ++i)
      bySize.push_back(run ? Series{{get(run->bySize[static_cast<std::size_t>(i)])}, {}} : missing(why));
    return bySize;
  };
  const auto cpu = figure([](const WindowCost& c) { return c.cpuPercent; });
  const auto wakeups = figure([](const WindowCost& c) { return c.wakeupsPerSecond; });
  for (int i = 0; i < parties; ++i) {
    const std::string n = std::to_string(i + 1);
    report.add(Row{"conference_cpu_" + n, "Conference host, " + n + " parties: CPU", "% core", 1,
                   cpu[static_cast<std::size_t>(i)], {}, {}});
    report.add(Row{"conference_wakeups_" + n, "Conference host, " + n + " parties: wake-ups", "1/s", 0,
                   wakeups[static_cast<std::size_t>(i)], {}, {}});
  }
  std::vector<double> cpuBySize, wakeBySize;
  if (run) {
    for (const auto& cost : run->bySize) cpuBySize.push_back(cost.cpuPercent), wakeBySize.push_back(cost.wakeupsPerSecond);
  }
  const auto slope = [&](const std::vector<double>& y) { return run ? Series{{perPartySlope(y)}, {}} : missing(why); };
  report.add(Row{"conference_cpu_per_party", "Conference host: CPU per added party (slope)", "% core", 2,
                 slope(cpuBySize), {}, {}});
  report.add(Row{"conference_wakeups_per_party", "Conference host: wake-ups per added party (slope)", "1/s", 0,
                 slope(wakeBySize), {}, {}});
  // Linear growth with a fixed share for the conference itself keeps the
  // largest size at most that many times the cost of one party.
  const std::string last = std::to_string(parties);
  report.add(Ratio{"conference_growth", "Conference host CPU, " + last + " parties ÷ (" + last + " × 1 party)",
                   run ? Series{{cpuBySize.back() / (parties * cpuBySize.front())}, {}} : missing(why), false, 1.0,
                   "≤ 1.00 (at most linear)"});
}

}  // namespace

void conferencePhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing) {
  std::optional<ConferenceRun> run;
  std::string why = registrarMissing.empty() ? "not run" : registrarMissing;
  if (bench.options.wants("conference") && registrar)
    measurePhase(bench, "conference", why, [&] { run = runConference(bench, *registrar); });
  addResults(bench.report, run, why, bench.options.conferenceParties);
}

}  // namespace tavirel::bench
