// The benchmark's phases, run in this order by bench_main.cpp; each measures
// its programs side by side and adds its rows and ratios to the report:
//   bridge    throughput and latency of the bridge (helper, limit, peer)
//   idle      start-up, idle cost and registration (helper, peer)
//   calls     call set-up between two helpers and between two peers
//   incall    the cost of a running call, per side (helpers, peers)
//   conference  a helper hosting 1 to 4 parties: its cost by size
//   session   one helper's memory and descriptors over many calls
//   flood     a SIP scanner at a registered program's port (helper, peer)
//   secure    call set-up over TLS with SRTP (helpers, peers)
//   location  the location library's own benchmark program
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Kamailio.h"
#include "options.h"
#include "programs.h"
#include "report.h"

namespace tavirel::bench {

// What the phases share: the options, the sound server's environment, the
// report they fill, the load at each phase's start and end, and how many
// parts failed.
struct Bench {
  Bench(const Options& o, Env pulseEnvironment) : options(o), pulse(std::move(pulseEnvironment)) {}

  const Options& options;
  Env pulse;
  Report report;
  nlohmann::json loads = nlohmann::json::array();
  int failures = 0;

  void markLoad(const std::string& phase);
};

// REGISTER times of the idle runs, to which the calls phase adds its own.
struct Registrations {
  std::vector<double> helperMs, peerMs;
};

// `registrar` is null when it could not be started; `registrarMissing`
// then says so for the rows that needed it.
void bridgePhase(Bench& bench);
Registrations idlePhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing);
void callsPhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing,
                Registrations registrations);
void inCallPhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing);
void conferencePhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing);
void sessionPhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing);
void floodPhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing);
void securePhase(Bench& bench);
void locationPhase(Bench& bench);

// A row's or ratio's stand-in when its figures are missing.
inline Series missing(const std::string& why) { return Series{{}, "n/a: " + why}; }

// Per-run ratio a/b of two series measured side by side.
inline Series ratioOf(const std::vector<double>& a, const std::vector<double>& b) {
  Series s;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) s.runs.push_back(a[i] / b[i]);
  return s;
}

// "2026-01-01T12:00:00Z".
std::string isoNow();

// Runs `measure` between the phase's two load marks. A failure is printed
// and counted, and `why` (what the phase's rows say instead of figures)
// becomes "failed"; returns whether it went through.
bool measurePhase(Bench& bench, const std::string& phase, std::string& why, const std::function<void()>& measure);

}  // namespace tavirel::bench
