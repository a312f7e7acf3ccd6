// Phase 3: call set-up between two helpers, and between two peers.
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "phases.h"
#include "placed_calls.h"

namespace tavirel::bench {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

double helperCall(Running& caller, Running& callee, const test::Kamailio& registrar) {
  const double setUp = setUpHelperCall(caller, callee, registrar.uri("bob"));
  endHelperCall(caller, callee);
  return setUp;
}

double peerCall(Running& caller, Running& callee, const test::Kamailio& registrar) {
  const PeerCall call = setUpPeerCall(caller, callee, registrar.uri("dave"));
  endPeerCall(caller, callee, call);
  return call.setUpMs;
}

struct CallRuns {
  std::vector<double> helper, peer;  // set-up times, call by call
  std::string helperMissing, peerMissing;
};

// alice and bob are helpers, carol and dave peers; a pair that failed is
// dropped and the other goes on.
struct Parties {
  std::unique_ptr<Running> alice, bob, carol, dave;
};

void startHelpers(Bench& bench, const test::Kamailio& registrar, Parties& p, CallRuns& calls,
                  Registrations& registrations) {
  try {
    progress("calls: starting and registering two helpers");
    for (auto [party, user] : {std::pair{&p.alice, "alice"}, std::pair{&p.bob, "bob"}}) {
      double ms = 0;
      *party = registeredHelper(bench.options, bench.pulse, registrar, user, &ms);
      registrations.helperMs.push_back(ms);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[bench] helper registration failed: %s\n", e.what());
    calls.helperMissing = "REGISTER failed";
    p.alice.reset();
    p.bob.reset();
    ++bench.failures;
  }
}

void startPeers(Bench& bench, const test::Kamailio& registrar, Parties& p, CallRuns& calls,
                Registrations& registrations) {
  try {
    progress("calls: starting and registering two peers");
    for (auto [party, user] : {std::pair{&p.carol, "carol"}, std::pair{&p.dave, "dave"}}) {
      double ms = 0;
      *party = registeredPeer(bench.options, bench.pulse, registrar, user, &ms);
      registrations.peerMs.push_back(ms);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[bench] peer registration failed: %s\n", e.what());
    calls.peerMissing = "peer register failed";
    p.carol.reset();
    p.dave.reset();
    ++bench.failures;
  }
}

// One call between the helpers and one between the peers.
void callEach(Bench& bench, const test::Kamailio& registrar, Parties& p, CallRuns& calls) {
  if (p.alice && p.bob) {
    try {
      calls.helper.push_back(helperCall(*p.alice, *p.bob, registrar));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[bench] helper call failed: %s\n", e.what());
      calls.helperMissing = "call failed";
      calls.helper.clear();
      p.alice.reset();
      p.bob.reset();
      ++bench.failures;
    }
  }
  if (p.carol && p.dave) {
    try {
      calls.peer.push_back(peerCall(*p.carol, *p.dave, registrar));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[bench] peer call failed: %s\n", e.what());
      calls.peerMissing = "call failed";
      calls.peer.clear();
      p.carol.reset();
      p.dave.reset();
      ++bench.failures;
    }
  }
}

void runCalls(Bench& bench, const test::Kamailio& registrar, CallRuns& calls, Registrations& registrations) {
  bench.markLoad("calls start");
  Parties parties;
  startHelpers(bench, registrar, parties, calls, registrations);
  startPeers(bench, registrar, parties, calls, registrations);
  for (int i = 0; i < bench.options.calls; ++i) {
    progress("call " + std::to_string(i + 1) + "/" + std::to_string(bench.options.calls));
    callEach(bench, registrar, parties, calls);
  }
  for (auto* helper : {&parties.alice, &parties.bob})
    if (*helper) stopHelper(**helper);
  for (auto* peer : {&parties.carol, &parties.dave})
    if (*peer) stopPeer(**peer);
  bench.markLoad("calls end");
}

void addResults(Report& report, const CallRuns& calls, const Registrations& registrations) {
  const auto figures = [](const std::vector<double>& runs, const std::string& why) {
    return runs.empty() ? missing(why) : Series{runs, {}};
  };
  report.add(Row{"register", "REGISTER at the registrar, request to answer", "ms", 1,
                 figures(registrations.helperMs, calls.helperMissing), {},
                 figures(registrations.peerMs, calls.peerMissing)});
  report.add(Row{"call_setup", "Call: MAKE_CALL to streamsRunning on both sides", "ms", 1,
                 figures(calls.helper, calls.helperMissing), {}, figures(calls.peer, calls.peerMissing)});
  report.add(Ratio{"call_setup_vs_peer", "Call set-up ÷ peer (call by call)",
                   calls.helper.empty() || calls.peer.empty()
                       ? missing(calls.helper.empty() ? calls.helperMissing : calls.peerMissing)
                       : ratioOf(calls.helper, calls.peer),
                   false, 1.0, "≤ 1.00"});
}

}  // namespace

void callsPhase(Bench& bench, const test::Kamailio* registrar, const std::string& registrarMissing,
                Registrations registrations) {
  CallRuns calls;
  calls.helperMissing = registrarMissing.empty() ? "not run" : registrarMissing;
  calls.peerMissing = calls.helperMissing;
  if (bench.options.wants("calls") && registrar) runCalls(bench, *registrar, calls, registrations);
  addResults(bench.report, calls, registrations);
}

}  // namespace tavirel::bench
