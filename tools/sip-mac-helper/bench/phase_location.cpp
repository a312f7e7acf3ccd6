// Phase 4: the location library's own benchmark program.
#include <cstdio>
#include <regex>
#include <stdexcept>

#include "phases.h"

namespace tavirel::bench {
namespace {

using namespace std::chrono_literals;

struct LocationRun {
  double candidateMs = 0;
  double manyRequestsMs = 0;
  // Against the real GeoClue2 daemon; absent when the program skipped it.
  std::optional<double> geoclueFixMedianMs, geoclueFixP99Ms, geoclueStartMedianMs;
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
  static const std::regex fix(R"(geoclue: NMEA fix -> onNativeCandidate: median ([0-9.]+) ms, p99 ([0-9.]+) ms)");
  static const std::regex start(R"(geoclue: nativeStart -> first candidate, fix known: median ([0-9.]+) ms)");
  if (std::regex_search(output, match, fix)) {
    run.geoclueFixMedianMs = std::stod(match[1]);
    run.geoclueFixP99Ms = std::stod(match[2]);
  }
  if (std::regex_search(output, match, start)) run.geoclueStartMedianMs = std::stod(match[1]);
  return run;
}

struct LocationRuns {
  std::vector<LocationRun> runs;
  std::string missing;

  Series series(double LocationRun::*field) const {
    if (runs.empty()) return bench::missing(missing);
    Series s;
    for (const auto& run : runs) s.runs.push_back(run.*field);
    return s;
  }
  Series geoclue(std::optional<double> LocationRun::*field) const {
    if (runs.empty()) return bench::missing(missing);
    Series s;
    for (const auto& run : runs) {
      if (run.*field) s.runs.push_back(*(run.*field));
    }
    return s.runs.empty() ? bench::missing("GeoClue2 part skipped (needs root)") : s;
  }
};

void runLocation(Bench& bench, LocationRuns& location) {
  const Options& o = bench.options;
  bench.markLoad("location start");
  try {
    for (int r = 0; r < o.locationRuns; ++r) {
      progress("location run " + std::to_string(r + 1) + "/" + std::to_string(o.locationRuns));
      location.runs.push_back(locationRun(o));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[bench] location phase failed: %s\n", e.what());
    location.missing = "failed";
    location.runs.clear();
    ++bench.failures;
  }
  bench.markLoad("location end");
}

void addRows(Report& report, const LocationRuns& l) {
  report.add(Row{"location_candidate", "Location: start with a position due to onNativeCandidate, median", "ms", 3,
                 l.series(&LocationRun::candidateMs), {}, {}});
  report.add(Row{"location_10000_requests", "Location: 10,000 requests, total", "ms", 0,
                 l.series(&LocationRun::manyRequestsMs), {}, {}});
  report.add(Row{"location_geoclue_fix", "Location, GeoClue2: NMEA fix to onNativeCandidate, median", "ms", 3,
                 l.geoclue(&LocationRun::geoclueFixMedianMs), {}, {}});
  report.add(Row{"location_geoclue_fix_p99", "Location, GeoClue2: NMEA fix to onNativeCandidate, p99", "ms", 3,
                 l.geoclue(&LocationRun::geoclueFixP99Ms), {}, {}});
  report.add(Row{"location_geoclue_start", "Location, GeoClue2: nativeStart to first candidate, fix known, median",
                 "ms", 3, l.geoclue(&LocationRun::geoclueStartMedianMs), {}, {}});
}

void addRatios(Report& report, const LocationRuns& l) {
  Series loc = l.runs.empty() ? missing(l.missing) : Series{};
  for (const auto& run : l.runs) loc.runs.push_back(run.candidateMs);
  report.add(Ratio{"location_candidate_ms", "Location position to JVM, median (ms)", loc, false, 1.0, "< 1 ms", 3});
  report.add(Ratio{"location_geoclue_fix_ms", "GeoClue2 fix to JVM, median (ms)",
                   l.geoclue(&LocationRun::geoclueFixMedianMs), false, 20.0, "< 20 ms", 3});
  report.add(Ratio{"location_geoclue_start_ms", "GeoClue2 start to first candidate, median (ms)",
                   l.geoclue(&LocationRun::geoclueStartMedianMs), false, 50.0, "< 50 ms", 3});
}

}  // namespace

void locationPhase(Bench& bench) {
  LocationRuns location;
  location.missing = bench.options.locationCommand.empty() ? "no location benchmark" : "not run";
  if (bench.options.wants("location") && !bench.options.locationCommand.empty()) runLocation(bench, location);
  addRows(bench.report, location);
  addRatios(bench.report, location);
}

}  // namespace tavirel::bench
