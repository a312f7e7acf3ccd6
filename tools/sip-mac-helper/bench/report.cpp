#include "report.h"

#include <string_view>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tavirel::bench {
namespace {

std::string number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  // Thousands separators on the integer part, for rates in the millions.
  std::string s(text);
  const bool negative = !s.empty() && s[0] == '-';
  const std::size_t begin = negative ? 1 : 0;
  std::size_t dot = s.find('.');
  if (dot == std::string::npos) dot = s.size();
  const std::string_view digits = std::string_view(s).substr(begin, dot - begin);
  std::string out = s.substr(0, begin);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out + s.substr(dot);
}

std::string cell(const Series& series, int decimals) {
  if (!series.present()) return series.missing.empty() ? "–" : series.missing;
  const Summary s = summarize(series.runs);
  if (s.count == 1) return number(s.median, decimals);
  return number(s.median, decimals) + " (" + number(s.min, decimals) + "–" + number(s.max, decimals) + ")";
}

nlohmann::json seriesJson(const Series& series) {
  if (!series.present()) {
    if (series.missing.empty()) return nullptr;
    return {{"missing", series.missing}};
  }
  const Summary s = summarize(series.runs);
  return {{"median", s.median}, {"min", s.min}, {"max", s.max}, {"runs", series.runs}};
}

bool met(const Ratio& ratio) {
  if (!ratio.values.present()) return false;
  const double median = summarize(ratio.values.runs).median;
  return ratio.atLeast ? median >= ratio.threshold : median <= ratio.threshold;
}

// Pads to a width counted in characters, not bytes (the table holds "–").
std::string pad(const std::string& text, std::size_t width) {
  std::size_t chars = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++chars;
  return text + std::string(width > chars ? width - chars : 0, ' ');
}

std::string render(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) {
      std::size_t chars = 0;
      for (unsigned char c : row[i])
        if ((c & 0xC0) != 0x80) ++chars;
      if (widths.size() <= i) widths.push_back(0);
      widths[i] = std::max(widths[i], chars);
    }
  std::string out;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    out += "|";
    for (std::size_t i = 0; i < rows[r].size(); ++i) {
      out += ' ';
      out += pad(rows[r][i], widths[i]);
      out += " |";
    }
    out += "\n";
    if (r == 0) {
      out += "|";
      for (std::size_t w : widths) out += std::string(w + 2, '-') + "|";
      out += "\n";
    }
  }
  return out;
}

}  // namespace

Summary summarize(std::vector<double> values) {
  Summary s;
  s.count = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  s.min = values.front();
  s.max = values.back();
  return s;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size()))) - 1;
  return values[std::min(index, values.size() - 1)];
}

std::string Report::table() const {
  std::vector<std::vector<std::string>> figures = {{"Figure", "Helper", "Limit program", "Peer (linphone-daemon)"}};
  for (const auto& row : rows_)
    figures.push_back({row.label + " (" + row.unit + ")", cell(row.helper, row.decimals), cell(row.limit, row.decimals),
                       cell(row.peer, row.decimals)});
  std::vector<std::vector<std::string>> ratios = {{"Ratio (same run)", "Median (min–max)", "Target", "Met"}};
  for (const auto& ratio : ratios_)
    ratios.push_back({ratio.label, cell(ratio.values, ratio.decimals), ratio.targetText,
                      !ratio.values.present() ? "n/a" : ratio.informational ? "–" : met(ratio) ? "yes" : "NO"});
  return render(figures) + "\n" + render(ratios);
}

nlohmann::json Report::json() const {
  nlohmann::json out = nlohmann::json::object();
  nlohmann::json figures = nlohmann::json::object();
  for (const auto& row : rows_) {
    figures[row.key] = {{"label", row.label},
                        {"unit", row.unit},
                        {"helper", seriesJson(row.helper)},
                        {"limit", seriesJson(row.limit)},
                        {"peer", seriesJson(row.peer)}};
  }
  nlohmann::json ratios = nlohmann::json::object();
  for (const auto& ratio : ratios_) {
    ratios[ratio.key] = {{"label", ratio.label},
                         {"value", seriesJson(ratio.values)},
                         {"target", ratio.targetText},
                         {"met", ratio.values.present() && !ratio.informational ? nlohmann::json(met(ratio))
                                                                                : nlohmann::json(nullptr)}};
  }
  out["figures"] = std::move(figures);
  out["ratios"] = std::move(ratios);
  out["notes"] = notes_;
  return out;
}

}  // namespace tavirel::bench
