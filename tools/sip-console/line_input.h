// Where commands come from: a terminal, through libedit (line editing,
// history, completion of command names), or anything else (a pipe, a file)
// read line by line, so the console can be scripted. Both keep the console's
// background work going while they wait for a line.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "output.h"

namespace tavirel::console {

struct IdleWork {
  // How long the source may wait for input before calling `run` again.
  std::function<std::chrono::milliseconds()> interval;
  // The background work (a state poll); false stops reading.
  std::function<bool()> run;
};

class LineSource {
 public:
  virtual ~LineSource() = default;
  // The next command line, without its line end. std::nullopt at end of
  // input, on Ctrl-C or a termination signal, or when `idle.run` said stop.
  virtual std::optional<std::string> next(const IdleWork& idle) = 0;
  // A password: typed without echo on a terminal; otherwise the next input
  // line. Never kept in the history. std::nullopt when input ended.
  virtual std::optional<std::string> secret(const std::string& prompt) = 0;
  // Keeps a command in the history (a terminal's only).
  virtual void remember(const std::string& line) = 0;
  virtual bool interactive() const = 0;
};

// Makes SIGINT, SIGTERM and SIGHUP end the console in order (the helper is
// stopped, the history kept) instead of killing it on the spot.
void installStopHandlers();
bool stopRequested();

std::unique_ptr<LineSource> makeScriptSource(Printer& printer);
// `historyFile` empty: history for this session only.
std::unique_ptr<LineSource> makeTerminalSource(Printer& printer, std::string prompt, std::string historyFile);

}  // namespace tavirel::console
