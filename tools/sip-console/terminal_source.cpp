// Commands from a terminal through libedit. libedit reads its characters
// through our function, which waits for a key with poll() and runs the
// console's background work when none comes, so events appear while a
// person sits at the prompt: the prompt line is cleared, the events are
// printed, and libedit draws the prompt and the half-typed line again.
#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>

#include "command_parser.h"
#include "line_input.h"

namespace tavirel::console {
namespace {

constexpr int kHistorySize = 500;

class TerminalSource : public LineSource {
 public:
  TerminalSource(Printer& printer, std::string prompt, std::string historyFile)
      : printer_(printer), prompt_(std::move(prompt)), historyFile_(std::move(historyFile)) {
    history_ = history_init();
    HistEvent event;
    history(history_, &event, H_SETSIZE, kHistorySize);
    history(history_, &event, H_SETUNIQUE, 1);
    if (!historyFile_.empty()) history(history_, &event, H_LOAD, historyFile_.c_str());

    editor_ = el_init("tavirel-sip-console", stdin, stdout, stderr);
    el_set(editor_, EL_CLIENTDATA, this);
    el_set(editor_, EL_EDITOR, "emacs");
    el_set(editor_, EL_SIGNAL, 1);
    el_set(editor_, EL_PROMPT, &TerminalSource::promptOf);
    el_set(editor_, EL_HIST, history, history_);
    el_set(editor_, EL_GETCFN, &TerminalSource::readCharacter);
    el_set(editor_, EL_ADDFN, "tavirel-complete", "complete a command name", &TerminalSource::complete);
    el_set(editor_, EL_BIND, "^I", "tavirel-complete", nullptr);
    el_source(editor_, nullptr);  // the person's ~/.editrc, if any
  }

  ~TerminalSource() override {
    el_end(editor_);
    history_end(history_);
  }

  std::optional<std::string> next(const IdleWork& idle) override {
    idle_ = &idle;
    stopped_ = false;
    int count = 0;
    const char* text = el_gets(editor_, &count);
    idle_ = nullptr;
    if (text == nullptr || stopped_ || stopRequested()) return std::nullopt;
    std::string line(text, static_cast<std::size_t>(count));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
  }

  std::optional<std::string> secret(const std::string& prompt) override;

  void remember(const std::string& line) override {
    if (line.find_first_not_of(" \t") == std::string::npos) return;
    HistEvent event;
    history(history_, &event, H_ENTER, line.c_str());
    if (historyFile_.empty()) return;
    // Created private before libedit writes it: commands name accounts
    // and servers.
    const int fd = ::open(historyFile_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
    history(history_, &event, H_SAVE, historyFile_.c_str());
  }

  bool interactive() const override { return true; }

 private:
  static TerminalSource& of(EditLine* editor) {
    void* self = nullptr;
    el_get(editor, EL_CLIENTDATA, &self);
    return *static_cast<TerminalSource*>(self);
  }

  static char* promptOf(EditLine* editor) { return of(editor).prompt_.data(); }

  static int readCharacter(EditLine* editor, wchar_t* character) { return of(editor).read(character); }
  static unsigned char complete(EditLine* editor, int) { return of(editor).completeWord(); }

  int read(wchar_t* character);
  bool runIdleWork();
  unsigned char completeWord();

  Printer& printer_;
  std::string prompt_;
  std::string historyFile_;
  History* history_ = nullptr;
  EditLine* editor_ = nullptr;
  const IdleWork* idle_ = nullptr;
  bool stopped_ = false;
  std::mbstate_t decoding_{};
};

// One character for libedit: 1 when read, 0 for end of input (also when
// the console must stop), -1 on an error.
int TerminalSource::read(wchar_t* character) {
  while (true) {
    if (stopRequested()) return 0;
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    const int wait = idle_ != nullptr ? static_cast<int>(idle_->interval().count()) : -1;
    const int ready = ::poll(&fd, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (ready == 0) {
      if (!runIdleWork()) return 0;
      continue;
    }
    char byte = 0;
    const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0 ? 0 : -1;
    const std::size_t used = std::mbrtowc(character, &byte, 1, &decoding_);
    if (used == static_cast<std::size_t>(-2)) continue;  // more bytes of this character to come
    if (used == static_cast<std::size_t>(-1)) {
      decoding_ = std::mbstate_t{};
      continue;  // not a character in this locale: dropped
    }
    if (used == 0) *character = L'\0';
    return 1;
  }
}

bool TerminalSource::runIdleWork() {
  const unsigned long before = printer_.count();
  printer_.beforeNextLine([] { std::fputs("\r\033[K", stdout); });
  const bool carryOn = idle_->run();
  printer_.beforeNextLine(nullptr);
  if (!carryOn) {
    stopped_ = true;
    return false;
  }
  if (printer_.count() != before) el_set(editor_, EL_REFRESH);
  return true;
}

unsigned char TerminalSource::completeWord() {
  const LineInfo* info = el_line(editor_);
  const std::string before(info->buffer, static_cast<std::size_t>(info->cursor - info->buffer));
  const auto choices = completions(before);
  if (choices.empty()) return CC_REFRESH_BEEP;
  const auto wordStart = before.find_last_of(" \t");
  const std::size_t typed = before.size() - (wordStart == std::string::npos ? 0 : wordStart + 1);
  std::string common = choices.front();
  for (const auto& choice : choices) {
    std::size_t same = 0;
    while (same < common.size() && same < choice.size() && common[same] == choice[same]) ++same;
    common.resize(same);
  }
  if (choices.size() == 1) common += ' ';
  if (common.size() > typed) {
    el_insertstr(editor_, common.substr(typed).c_str());
    return CC_REFRESH;
  }
  std::string list;
  for (const auto& choice : choices) list += choice + "  ";
  std::fputs(("\n" + list + "\n").c_str(), stdout);
  return CC_REDISPLAY;
}

std::optional<std::string> TerminalSource::secret(const std::string& prompt) {
  termios saved{};
  const bool isTerminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  std::fputs(prompt.c_str(), stdout);
  std::fflush(stdout);
  if (isTerminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::string typed;
  bool complete = false;
  while (!stopRequested()) {
    char byte = 0;
    const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (byte == '\n') {
      complete = true;
      break;
    }
    if (byte != '\r') typed += byte;
  }
  if (isTerminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!complete) std::fputs("\n", stdout);
  if (!complete) return std::nullopt;
  return typed;
}

}  // namespace

std::unique_ptr<LineSource> makeTerminalSource(Printer& printer, std::string prompt, std::string historyFile) {
  return std::make_unique<TerminalSource>(printer, std::move(prompt), std::move(historyFile));
}

}  // namespace tavirel::console
