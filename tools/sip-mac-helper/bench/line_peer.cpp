#include "line_peer.h"

#include <atomic>
#include <stdexcept>
#include <thread>

namespace tavirel::bench {
namespace {

constexpr std::size_t kReadChunk = 256 * 1024;

}  // namespace

LinePeer::LinePeer(std::unique_ptr<PipeProcess> process, std::string terminator)
    : process_(std::move(process)), terminator_(std::move(terminator)) {}

std::string LinePeer::awaitTerminator(Deadline deadline) {
  process_->arm(deadline);
  std::string text = readResponses(1, true);
  process_->disarm();
  return text;
}

std::string LinePeer::request(std::string_view line, Deadline deadline) {
  process_->arm(deadline);
  std::string framed(line);
  framed.push_back('\n');
  if (!process_->writeAll(framed)) {
    process_->disarm();
    throw std::runtime_error(process_->name() + " no longer reads its input");
  }
  std::string text = readResponses(1, true);
  process_->disarm();
  return text;
}

std::vector<double> LinePeer::roundTrips(std::string_view line, int count, Deadline deadline) {
  std::string framed(line);
  framed.push_back('\n');
  std::vector<double> nanos;
  nanos.reserve(static_cast<std::size_t>(count));
  process_->arm(deadline);
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    if (!process_->writeAll(framed)) throw std::runtime_error(process_->name() + " no longer reads its input");
    readResponses(1, false);
    nanos.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
  }
  process_->disarm();
  return nanos;
}

double LinePeer::pipelined(const std::string& lines, std::size_t count, Deadline deadline) {
  if (!pending_.empty()) throw std::runtime_error("unread output before a pipelined run");
  process_->arm(deadline);
  std::atomic<bool> writeFailed{false};
  const auto start = Clock::now();
  std::thread writer([&] {
    if (!process_->writeAll(lines)) writeFailed = true;
  });
  std::vector<char> chunk(kReadChunk);
  std::string carry;
  std::size_t seen = 0;
  Clock::time_point end{};
  while (seen < count) {
    const std::size_t got = process_->readSome(chunk.data(), chunk.size());
    if (got == 0) break;
    carry.append(chunk.data(), got);
    std::size_t from = 0;
    for (std::size_t at; seen < count && (at = carry.find(terminator_, from)) != std::string::npos;) {
      ++seen;
      from = at + terminator_.size();
    }
    if (seen == count) {
      end = Clock::now();
      pending_ = carry.substr(from);
      break;
    }
    // Keep only what may still be the start of a terminator.
    const std::size_t keep = terminator_.size() - 1;
    carry.erase(0, std::max(from, carry.size() > keep ? carry.size() - keep : 0));
  }
  writer.join();
  process_->disarm();
  if (seen < count)
    throw std::runtime_error(process_->name() + ": " + std::to_string(seen) + " of " + std::to_string(count) +
                             " responses" + (process_->timedOut() ? " before the deadline" : ""));
  if (writeFailed) throw std::runtime_error(process_->name() + " stopped reading its input");
  return std::chrono::duration<double>(end - start).count();
}

std::string LinePeer::readResponses(std::size_t terminators, bool keep) {
  std::size_t from = 0;
  std::size_t lastStart = 0;
  char chunk[16 * 1024];
  for (;;) {
    std::size_t at;
    while (terminators > 0 && (at = pending_.find(terminator_, from)) != std::string::npos) {
      --terminators;
      if (terminators == 0) {
        std::string text = keep ? pending_.substr(lastStart, at - lastStart) : std::string();
        pending_.erase(0, at + terminator_.size());
        return text;
      }
      from = lastStart = at + terminator_.size();
    }
    const std::size_t got = process_->readSome(chunk, sizeof chunk);
    if (got == 0)
      throw std::runtime_error(process_->name() + (process_->timedOut() ? ": no response before the deadline"
                                                                          : ": output ended"));
    pending_.append(chunk, got);
  }
}

}  // namespace tavirel::bench
