// Engine start-up and registration figures for the closing notes: how long
// INITIALIZE takes, what an idle helper costs afterwards (CPU over a window,
// resident memory), and REGISTER request-to-answer time against a local
// registrar. Not a test: it prints numbers and judges nothing.
//
//   engine_start_bench [runs=7] [idle-seconds=20]
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HelperClient.h"
#include "Kamailio.h"
#include "Parties.h"
#include "PulseAudio.h"

using namespace tavirel::test;
using Seconds = std::chrono::duration<double>;

namespace {

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const auto n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void printSeries(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-34s median %8.1f ms  min %8.1f  max %8.1f  (n=%zu)\n", what, median(ms), ms.front(),
              ms.back(), ms.size());
}

// User + system CPU seconds of the whole process (fields 14 and 15 of stat).
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) utime = std::stoull(field);
    if (index == 15) {
      stime = std::stoull(field);
      break;
    }
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

double rssMiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("VmRSS:")) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

double timeMs(const std::function<void()>& action) {
  const auto started = Clock::now();
  action();
  return std::chrono::duration<double, std::milli>(Clock::now() - started).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const int idleSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  PulseAudio pulse;
  Kamailio registrar;

  const PulseAudio* const soundServers[] = {nullptr, &pulse};
  for (const PulseAudio* sound : soundServers) {
    std::vector<double> initialize;
    for (int i = 0; i < runs; ++i) {
      HelperClient helper({.pulse = sound});
      initialize.push_back(timeMs([&] {
        if (!helper.request("INITIALIZE")["success"].get<bool>()) throw std::runtime_error(helper.stderrText());
      }));
    }
    printSeries(sound ? "INITIALIZE (PulseAudio, 1 sink)" : "INITIALIZE (no sound server)", initialize);
  }

  {
    auto helper = startRegisteredHelper(registrar, &pulse, "alice");
    const pid_t pid = helper->process().pid();
    const double before = cpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double used = cpuSeconds(pid) - before;
    std::printf("idle after INITIALIZE+REGISTER: %.2f s CPU over %d s (%.2f%% of one core), RSS %.1f MiB\n",
                used, idleSeconds, 100.0 * used / idleSeconds, rssMiB(pid));

    std::vector<double> registerMs;
    for (int i = 0; i < runs; ++i) {
      const auto& user = Kamailio::user(i % 2 ? "alice" : "bob");
      registerMs.push_back(timeMs([&] {
        const auto response = helper->request(
            "REGISTER", {{"sipAccount", user.name}, {"sipPassword", user.password}, {"server", registrar.server()}});
        if (!response["success"].get<bool>()) throw std::runtime_error(response.dump());
      }));
    }
    printSeries("REGISTER request to answer", registerMs);
  }
  return 0;
}
