// What a running process costs, read from /proc: CPU time, context switches
// per thread, resident memory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pipe_process.h"

namespace tavirel::bench {

struct ThreadSample {
  std::string name;            // comm
  std::uint64_t cpuNs = 0;     // time on a CPU (schedstat)
  std::uint64_t voluntary = 0;    // sleeps: each one a later wake-up
  std::uint64_t involuntary = 0;  // preemptions
};

struct ProcessSample {
  Clock::time_point at;
  std::map<pid_t, ThreadSample> threads;  // by thread id
  // Whole-process user and system time in seconds, exited threads included.
  double userSeconds = 0;
  double systemSeconds = 0;
  double rssMiB = 0;
};

// Throws std::runtime_error when the process is gone.
ProcessSample sampleProcess(pid_t pid);

struct IdleCost {
  double seconds = 0;           // window length
  double cpuSeconds = 0;        // user + system over the window
  double wakeupsPerSecond = 0;  // voluntary context switches, all threads
  double preemptionsPerSecond = 0;
  double rssMiB = 0;            // at the end of the window
  // Wake-ups per second of each thread name (threads of one name summed),
  // for finding who wakes.
  std::map<std::string, double> wakeupsByThread;
};

IdleCost idleCost(const ProcessSample& before, const ProcessSample& after);

// Entries in /proc/PID/fd; throws std::runtime_error when the process is gone.
int openDescriptors(pid_t pid);

// The cost of a process over a window of `window`, sampled at its start and
// end: CPU as a percentage of one core, wake-ups, threads and memory.
struct WindowCost {
  double cpuPercent = 0;  // user + system over the window, per cent of one core
  double wakeupsPerSecond = 0;
  double threads = 0;  // at the end
  double rssMiB = 0;   // at the end
};
WindowCost windowCost(const ProcessSample& before, const ProcessSample& after);

// The 1-minute and 5-minute load averages.
std::pair<double, double> loadAverage();

}  // namespace tavirel::bench
