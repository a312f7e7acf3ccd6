#include "proc_stats.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace tavirel::bench {
namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::uint64_t statusField(const std::string& status, const std::string& key) {
  const auto at = status.find(key + ":");
  if (at == std::string::npos) return 0;
  return std::stoull(status.substr(at + key.size() + 1));
}

}  // namespace

ProcessSample sampleProcess(pid_t pid) {
  const fs::path root = "/proc/" + std::to_string(pid);
  ProcessSample sample;
  sample.at = Clock::now();

  // Fields after the command name, which may hold spaces and parentheses.
  const std::string stat = readAll(root / "stat");
  const auto close = stat.rfind(')');
  if (stat.empty() || close == std::string::npos) throw std::runtime_error("process " + std::to_string(pid) + " is gone");
  std::istringstream fields(stat.substr(close + 2));
  std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
  // values[0] is field 3 (state); utime and stime are fields 14 and 15.
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  if (values.size() > 13) {
    sample.userSeconds = std::stod(values[11]) / tick;
    sample.systemSeconds = std::stod(values[12]) / tick;
  }
  sample.rssMiB = static_cast<double>(statusField(readAll(root / "status"), "VmRSS")) / 1024.0;

  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root / "task", error)) {
    const pid_t tid = static_cast<pid_t>(std::stol(entry.path().filename().string()));
    ThreadSample thread;
    thread.name = readAll(entry.path() / "comm");
    while (!thread.name.empty() && thread.name.back() == '\n') thread.name.pop_back();
    std::istringstream schedstat(readAll(entry.path() / "schedstat"));
    schedstat >> thread.cpuNs;
    const std::string status = readAll(entry.path() / "status");
    thread.voluntary = statusField(status, "voluntary_ctxt_switches");
    thread.involuntary = statusField(status, "nonvoluntary_ctxt_switches");
    sample.threads[tid] = std::move(thread);
  }
  return sample;
}

IdleCost idleCost(const ProcessSample& before, const ProcessSample& after) {
  IdleCost cost;
  cost.seconds = std::chrono::duration<double>(after.at - before.at).count();
  if (cost.seconds <= 0) return cost;
  // Per-thread CPU time counts in nanoseconds; the whole-process ticks only
  // in hundredths of a second, too coarse for an idle helper. Threads that
  // started within the window count from zero.
  double cpuNs = 0, voluntary = 0, involuntary = 0;
  for (const auto& [tid, thread] : after.threads) {
    const auto was = before.threads.find(tid);
    const ThreadSample zero;
    const ThreadSample& start = was == before.threads.end() ? zero : was->second;
    cpuNs += static_cast<double>(thread.cpuNs - start.cpuNs);
    const double woke = static_cast<double>(thread.voluntary - start.voluntary);
    voluntary += woke;
    involuntary += static_cast<double>(thread.involuntary - start.involuntary);
    cost.wakeupsByThread[thread.name] += woke / cost.seconds;
  }
  cost.cpuSeconds = cpuNs / 1e9;
  cost.wakeupsPerSecond = voluntary / cost.seconds;
  cost.preemptionsPerSecond = involuntary / cost.seconds;
  cost.rssMiB = after.rssMiB;
  return cost;
}

std::pair<double, double> loadAverage() {
  std::istringstream in(readAll("/proc/loadavg"));
  double one = 0, five = 0;
  in >> one >> five;
  return {one, five};
}

int openDescriptors(pid_t pid) {
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
       it.increment(error))
    ++count;
  if (error) throw std::runtime_error("cannot list the descriptors of " + std::to_string(pid) + ": " + error.message());
  return count;
}

WindowCost windowCost(const ProcessSample& before, const ProcessSample& after) {
  const IdleCost cost = idleCost(before, after);
  WindowCost window;
  window.cpuPercent = cost.seconds > 0 ? 100.0 * cost.cpuSeconds / cost.seconds : 0;
  window.wakeupsPerSecond = cost.wakeupsPerSecond;
  window.threads = static_cast<double>(after.threads.size());
  window.rssMiB = cost.rssMiB;
  return window;
}

}  // namespace tavirel::bench
