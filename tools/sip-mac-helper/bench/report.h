// The benchmark's results: rows of figures (median of the runs, with min and
// max) for the helper, the limit program and the peer, and the ratios the
// targets are stated in, each computed from runs that ran side by side.
// Rendered as a text table and as JSON.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tavirel::bench {

struct Summary {
  double median = 0, min = 0, max = 0;
  std::size_t count = 0;
};
Summary summarize(std::vector<double> values);
double percentile(std::vector<double> values, double fraction);

// One measured figure of one program, run by run. `missing` says why there
// are no runs ("n/a: ..."); no runs and no reason means not applicable.
struct Series {
  std::vector<double> runs;
  std::string missing;
  bool present() const { return !runs.empty(); }
};

struct Row {
  std::string key;    // JSON name, e.g. "pipelined_get_call_state"
  std::string label;  // table text
  std::string unit;
  int decimals = 0;
  Series helper, limit, peer;
};

struct Ratio {
  std::string key;
  std::string label;
  Series values;  // one ratio per run
  bool atLeast = true;  // target: value >= threshold (else <=)
  double threshold = 0;
  std::string targetText;
  int decimals = 2;
  bool informational = false;  // shown for scale; no target
};

class Report {
 public:
  void add(Row row) { rows_.push_back(std::move(row)); }
  void add(Ratio ratio) { ratios_.push_back(std::move(ratio)); }
  void note(const std::string& key, nlohmann::json value) { notes_[key] = std::move(value); }

  std::string table() const;
  nlohmann::json json() const;

 private:
  std::vector<Row> rows_;
  std::vector<Ratio> ratios_;
  nlohmann::json notes_ = nlohmann::json::object();
};

}  // namespace tavirel::bench
