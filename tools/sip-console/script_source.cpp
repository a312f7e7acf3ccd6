// Commands from standard input when it is not a terminal. Lines are read
// as they arrive, with the background work running while none does; a
// password is simply the next line (there is no echo to turn off).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "line_input.h"

namespace tavirel::console {
namespace {

volatile sig_atomic_t stopSignal = 0;

void onStopSignal(int number) { stopSignal = number; }

class ScriptSource : public LineSource {
 public:
  explicit ScriptSource(Printer& printer) : printer_(printer) {}

  std::optional<std::string> next(const IdleWork& idle) override {
    while (!stopRequested()) {
      if (auto line = takeLine()) return line;
      if (ended_) return takeRest();
      if (!waitForInput(idle.interval())) {
        if (!idle.run()) return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<std::string> secret(const std::string& prompt) override {
    printer_.line(prompt + "(read from the next input line, not shown)");
    const IdleWork none{[] { return std::chrono::milliseconds(1000); }, [] { return true; }};
    return next(none);
  }

  void remember(const std::string&) override {}
  bool interactive() const override { return false; }

 private:
  std::optional<std::string> takeLine() {
    const auto end = buffer_.find('\n');
    if (end == std::string::npos) return std::nullopt;
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }

  // A last line without a line end still counts.
  std::optional<std::string> takeRest() {
    if (buffer_.empty()) return std::nullopt;
    return std::exchange(buffer_, std::string());
  }

  // Reads what is there; false when nothing came within `wait`.
  bool waitForInput(std::chrono::milliseconds wait) {
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(wait.count()));
    if (ready < 0 && errno == EINTR) return true;  // let the loop look at the stop flag
    if (ready <= 0) return false;
    char chunk[4096];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) return true;
    if (got <= 0) ended_ = true;
    else buffer_.append(chunk, static_cast<std::size_t>(got));
    return true;
  }

  Printer& printer_;
  std::string buffer_;
  bool ended_ = false;
};

}  // namespace

void installStopHandlers() {
  struct sigaction action{};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(number, &action, nullptr);
}

bool stopRequested() { return stopSignal != 0; }

std::unique_ptr<LineSource> makeScriptSource(Printer& printer) { return std::make_unique<ScriptSource>(printer); }

}  // namespace tavirel::console
