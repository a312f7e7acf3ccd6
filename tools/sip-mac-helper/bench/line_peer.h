// One request/response program driven over its pipes: the helper, the
// limit program, or the peer daemon. The only thing that differs between
// them here is how a response ends:
//   - the JSON bridge (helper, limit program): one LF-terminated line;
//   - the peer daemon: its prompt, which it writes once a command's answer
//     is out and it is ready for the next (and once at start).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pipe_process.h"

namespace tavirel::bench {

class LinePeer {
 public:
  // `terminator` ends every response ("\n" for the bridge).
  LinePeer(std::unique_ptr<PipeProcess> process, std::string terminator);

  PipeProcess& process() { return *process_; }

  // Waits for one terminator without sending anything (the daemon's first
  // prompt). Throws at the deadline.
  std::string awaitTerminator(Deadline deadline);

  // Sends `line` plus LF and returns the response up to its terminator.
  // Throws when none arrives by the deadline.
  std::string request(std::string_view line, Deadline deadline);

  // Round trips of `line`, one at a time, each timed from just before the
  // write to the read that completes its response; nanoseconds each. The
  // whole series is bounded by `deadline`.
  std::vector<double> roundTrips(std::string_view line, int count, Deadline deadline);

  // Writes all of `lines` (`count` requests) from a second thread as fast as
  // the pipe takes them while this thread counts responses; returns seconds
  // from the first byte written to the last response read.
  double pipelined(const std::string& lines, std::size_t count, Deadline deadline);

 private:
  // Reads until `terminators` more terminators have arrived; the text before
  // the last one is returned when `keep` is set.
  std::string readResponses(std::size_t terminators, bool keep);

  std::unique_ptr<PipeProcess> process_;
  const std::string terminator_;
  std::string pending_;  // bytes read after the last complete response
};

}  // namespace tavirel::bench
