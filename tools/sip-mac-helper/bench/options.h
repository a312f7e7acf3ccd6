// The benchmark's command line (see bench_main.cpp for the usage).
#pragma once

#include <set>
#include <string>

#if !defined(TAVIREL_BENCH_LIMIT_BIN) || !defined(TAVIREL_BENCH_PEER_SHIM)
#error "TAVIREL_BENCH_LIMIT_BIN and TAVIREL_BENCH_PEER_SHIM must be defined by the build"
#endif

namespace tavirel::bench {

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
  // During a running call, per side: how long each window is and how many
  // calls (one helper pair and one peer pair each).
  int callSeconds = 10;
  int inCallRuns = 3;
  // A conference hosted by one helper: parties 1 up to this many, each size
  // measured over this window.
  int conferenceParties = 4;
  int conferenceSeconds = 5;
  // Consecutive calls of one helper, for its memory and descriptors.
  int sessionCalls = 200;
  int locationRuns = 3;
  int locationSamples = 1000;
  std::set<std::string> only;
  // Runs the bridge phase (helper, limit program and peer alike) under
  // SCHED_FIFO, so that on a machine shared with others' builds each program
  // gets a free CPU, as on a quiet machine. Not how a desktop runs them.
  bool fifo = false;
  bool wants(const std::string& phase) const { return only.empty() || only.count(phase); }
};

// Throws std::runtime_error for an unknown or incomplete argument.
Options parseOptions(int argc, char** argv);

}  // namespace tavirel::bench
