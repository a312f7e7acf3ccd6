#include "bridge/line_transport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/trace.h"

namespace tavirel::bridge {
namespace {
constexpr std::size_t kReadChunk = 64 * 1024;
}  // namespace

bool LineReader::next(std::string& line) {
  for (;;) {
    const char* base = buffer_.data();
    if (const void* lf = std::memchr(base + scanned_, '\n', buffer_.size() - scanned_)) {
      const auto end = static_cast<std::size_t>(static_cast<const char*>(lf) - base);
      line.assign(base + start_, end - start_);
      start_ = scanned_ = end + 1;
      return true;
    }
    scanned_ = buffer_.size();
    if (ended_) {
      if (start_ == buffer_.size()) return false;
      line.assign(base + start_, buffer_.size() - start_);
      start_ = scanned_ = buffer_.size();
      return true;
    }
    // Only the unfinished tail moves: lines already handed out are dropped
    // here, once per read rather than once per line.
    if (start_ > 0) {
      buffer_.erase(0, start_);
      scanned_ -= start_;
      start_ = 0;
    }
    const std::size_t old = buffer_.size();
    buffer_.resize(old + kReadChunk);
    ssize_t got;
    do got = ::read(fd_, buffer_.data() + old, kReadChunk);
    while (got < 0 && errno == EINTR);
    buffer_.resize(old + static_cast<std::size_t>(got > 0 ? got : 0));
    if (got <= 0) ended_ = true;
  }
}

bool LineWriter::writeLine(std::string line) {
  // Responses are built with room for this byte, so the line stays one
  // buffer and goes out in one write.
  line.push_back('\n');
  return writeAll(fd_, line);
}

int takeOverStdout() {
  const int protocolFd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (protocolFd < 0) return -1;
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    ::close(protocolFd);
    return -1;
  }
  return protocolFd;
}

}  // namespace tavirel::bridge
