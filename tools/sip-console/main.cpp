// tavirel-sip-console: a prompt for people in front of the helper. It starts
// the helper as its child, turns short commands into requests, shows the
// answers in words and the helper's state changes as event lines.
//
// Exit status: 0; 1 when the helper could not be started or died; 2 for
// wrong options; 3 when commands read from a script (stdin not a terminal)
// failed, so a script's caller sees it.
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "command_parser.h"
#include "helper_link.h"
#include "line_input.h"
#include "output.h"
#include "redaction.h"
#include "session.h"

namespace {

using namespace tavirel::console;

constexpr const char* kPrompt = "tavirel> ";

struct Options {
  std::string helper;
  std::optional<std::string> helperLog;
  std::optional<std::string> history;  // empty text: no history file
  bool raw = false;
};

const char* kUsage =
    "usage: tavirel-sip-console [--helper PATH] [--raw] [--helper-log FILE] [--history FILE | --no-history]\n"
    "  --helper PATH      the helper to run (default: tavirel-sip-helper beside this program)\n"
    "  --raw              also show the JSON lines exchanged (passwords as ***); background polls\n"
    "                     are shown when their answer changed\n"
    "  --helper-log FILE  write the helper's stderr (its traces and the engine's log) to FILE\n"
    "  --history FILE     keep the command history in FILE (default ~/.tavirel_sip_console_history;\n"
    "                     a terminal only); --no-history keeps none\n"
    "Commands come from the terminal, or line by line from stdin when it is not one; then the\n"
    "line after `register USER SERVER` is the password. Type help for the commands.\n";

std::string besideThisProgram(const std::string& name) {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? name : (self.parent_path() / name).string();
}

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  options.helper = besideThisProgram("tavirel-sip-helper");
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--raw") options.raw = true;
    else if (arg == "--no-history") options.history = "";
    else if (arg == "--helper" && hasValue) options.helper = argv[++i];
    else if (arg == "--helper-log" && hasValue) options.helperLog = argv[++i];
    else if (arg == "--history" && hasValue) options.history = argv[++i];
    else return std::nullopt;
  }
  if (!options.history) {
    const char* home = std::getenv("HOME");
    options.history = home != nullptr && *home != '\0' ? std::string(home) + "/.tavirel_sip_console_history" : "";
  }
  return options;
}

// The line as a script's transcript shows it: one that may hold a password
// shows none of it.
std::string echoed(const std::string& line, const Plan& plan) {
  if (plan.keepInHistory) return line;
  if (plan.style == AnswerStyle::raw) return "raw " + redactRequestLine(plan.rawLine);
  return line.substr(0, line.find_first_of(" \t")) + " (the rest is not shown: it may hold a password)";
}

void reportDeath(HelperLink& helper, Printer& printer) {
  helper.waitStderrEnd(std::chrono::milliseconds(1000));
  const auto how = helper.exitDescription(std::chrono::milliseconds(1000)).value_or("stopped answering");
  printer.problem("error: the helper (pid " + std::to_string(helper.pid()) + ") " + how);
  const auto tail = helper.stderrTail();
  if (!tail.empty()) printer.problem("its last lines on stderr:");
  for (const auto& line : tail) printer.problem("  | " + line);
}

// Asks for the password of a register plan; false when none came.
bool askPassword(Plan& plan, LineSource& source, SecretScrubber& scrubber) {
  const std::string account = plan.requests.front().payload.value("sipAccount", "");
  const auto password = source.secret("password for " + account + ": ");
  if (!password) return false;
  scrubber.add(*password);
  fillPassword(plan, *password);
  return true;
}

int runCommands(Session& session, LineSource& source, Printer& printer, SecretScrubber& scrubber) {
  const IdleWork idle{[&] { return session.pollInterval(); }, [&] { return session.poll(); }};
  unsigned refused = 0;
  while (auto line = source.next(idle)) {
    Plan plan = parseCommand(*line, session.context());
    if (!source.interactive()) printer.line(kPrompt + echoed(*line, plan));
    if (plan.keepInHistory) source.remember(*line);
    if (plan.kind == Plan::Kind::quit) break;
    if (plan.needsPassword && !askPassword(plan, source, scrubber)) {
      printer.line("error: no password given; not registering");
      ++refused;
      break;
    }
    if (!session.execute(plan)) break;
  }
  return static_cast<int>(refused + session.failures());
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  const auto options = parseOptions(argc, argv);
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);  // a helper gone shows as a failed write
  installStopHandlers();

  SecretScrubber scrubber;
  Printer printer(scrubber);
  std::optional<HelperLink> helper;
  try {
    helper.emplace(options->helper, options->helperLog);
  } catch (const std::exception& error) {
    printer.problem(std::string("error: ") + error.what());
    return 1;
  }
  printer.line("* helper: started pid " + std::to_string(helper->pid()) + " (" + options->helper + ")");
  const bool interactive = ::isatty(STDIN_FILENO) == 1;
  auto source = interactive ? makeTerminalSource(printer, kPrompt, *options->history) : makeScriptSource(printer);
  if (interactive) printer.line("type help for the commands: init first, then register USER SERVER");

  Session session(*helper, printer, {.raw = options->raw});
  const int failures = runCommands(session, *source, printer, scrubber);
  if (session.helperGone()) {
    reportDeath(*helper, printer);
    return 1;
  }
  helper->finish();
  printer.line("* helper: " + helper->exitDescription(std::chrono::milliseconds(0)).value_or("stopped"));
  return !interactive && failures > 0 ? 3 : 0;
}
