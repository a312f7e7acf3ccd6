// Line framing over file descriptors: the request loop's only contact with
// stdin and stdout. It knows nothing of JSON or commands.
#pragma once

#include <string>
#include <string_view>

namespace tavirel::bridge {

// Reads LF-terminated lines of any length. The bytes after the last LF count
// as a line of their own when the input ends. Retries EINTR.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // Fills `line` (without its LF) and returns true, or returns false at end
  // of input or on a read error.
  bool next(std::string& line);

 private:
  int fd_;
  std::string buffer_;
  std::size_t start_ = 0;    // where the next line begins in buffer_
  std::size_t scanned_ = 0;  // bytes of buffer_ already known to hold no LF
  bool ended_ = false;
};

// Writes whole lines, each in one write call where the pipe allows it.
class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}
  // Writes `line` (which holds no LF) and its LF. Returns false when the
  // peer is gone or the descriptor fails.
  bool writeLine(std::string line);

 private:
  int fd_;
};

// Makes stdout structurally safe for the protocol: returns a private
// duplicate of the original stdout (close-on-exec) for responses, and points
// descriptor 1 at standard error, so nothing any library prints can reach the
// peer. Returns -1 if the duplicate cannot be made.
int takeOverStdout();

}  // namespace tavirel::bridge
