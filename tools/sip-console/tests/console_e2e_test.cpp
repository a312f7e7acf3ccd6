// The console driven through its standard input, as a script or a person
// would, against a real helper registered at the suite's kamailio, with a
// second real helper on the other end of the calls and a private sound
// server. Every wait has a deadline.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "HelperClient.h"
#include "Kamailio.h"
#include "Parties.h"
#include "PulseAudio.h"
#include "TempDir.h"

#ifndef TAVIREL_CONSOLE_BIN
#error "TAVIREL_CONSOLE_BIN must be defined by the build"
#endif

namespace tavirel::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kStep = 20s;

// One console with its own HOME, on `pulse`, its helper's stderr in a file.
class Console {
 public:
  Console(const PulseAudio& pulse, std::vector<std::string> extra = {}) : dir_("tavirel-console") {
    ProcessOptions options;
    options.argv = {TAVIREL_CONSOLE_BIN, "--helper", helperBinaryPath().string(), "--helper-log", helperLog()};
    options.argv.insert(options.argv.end(), extra.begin(), extra.end());
    options.env = pulse.clientEnvironment();
    options.env["HOME"] = dir_.path().string();
    options.env["XDG_RUNTIME_DIR"] = dir_.makeDir("run").string();
    options.workingDirectory = dir_.path();
    process_ = std::make_unique<ChildProcess>(std::move(options));
  }

  void type(const std::string& line) { ASSERT_TRUE(process_->writeLine(line)) << transcript(); }

  // Reads until a line containing `text` and returns it; fails the test at
  // the deadline.
  std::string expect(const std::string& text, Clock::duration timeout = kStep) {
    const auto deadline = deadlineAfter(timeout);
    while (auto line = process_->readLine(deadline)) {
      lines_.push_back(*line);
      if (line->find(text) != std::string::npos) return *line;
    }
    ADD_FAILURE() << "no line with \"" << text << "\"\n--- console ---\n" << transcript() << "--- stderr ---\n"
                  << process_->stderrText();
    return {};
  }

  // The event lines seen so far, in order.
  std::vector<std::string> events() const {
    std::vector<std::string> found;
    for (const auto& line : lines_)
      if (line.rfind("* ", 0) == 0) found.push_back(line);
    return found;
  }

  std::string transcript() const {
    std::string text;
    for (const auto& line : lines_) text += line + "\n";
    return text;
  }

  std::string helperLog() const { return (dir_ / "helper.log").string(); }
  ChildProcess& process() { return *process_; }

  void registerAs(const Kamailio& registrar, const std::string& user) {
    type("register " + user + " " + registrar.server());
    type(Kamailio::user(user).password);
    expect("registered as " + user + " at " + registrar.server());
    expect("* registration: ok");
  }

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
  std::vector<std::string> lines_;
};

// Whether `wanted` appear in `events` in this order, each the start of one.
bool inOrder(const std::vector<std::string>& events, const std::vector<std::string>& wanted) {
  auto at = events.begin();
  for (const auto& prefix : wanted) {
    at = std::find_if(at, events.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    if (at == events.end()) return false;
    ++at;
  }
  return true;
}

void expectNoPassword(Console& console, const std::string& password) {
  EXPECT_EQ(console.transcript().find(password), std::string::npos) << console.transcript();
  EXPECT_EQ(console.process().stderrText().find(password), std::string::npos);
  EXPECT_EQ(readFile(console.helperLog()).find(password), std::string::npos);
}

TEST(ConsoleE2e, RegistersCallsAHelperThatAnswersSendsDigitsAndSeesTheHangUp) {
  Kamailio registrar;
  PulseAudio pulse;
  auto bob = startRegisteredHelper(registrar, &pulse, "bob");
  Console alice(pulse);
  alice.expect("* helper: started pid");
  alice.type("init");
  alice.expect("ok: engine started");
  alice.registerAs(registrar, "alice");

  alice.type("call bob");  // a bare user goes to the registrar alice used
  alice.expect("* call: outgoingRinging sip:bob@");
  ASSERT_TRUE(bob->waitForState("GET_CALL_STATE", "incomingReceived", kStep).satisfied);
  ASSERT_TRUE(bob->request("ANSWER_CALL").value("success", false)) << bob->stderrText();
  alice.expect("* call: set up in ");

  const auto digitsSent = Clock::now();
  alice.type("dtmf 12#");
  alice.expect("ok: sent 1 2 #");
  // Three digits, paced so the far end hears each: two pauses at least.
  EXPECT_GE(Clock::now() - digitsSent, 2 * 250ms);
  // The console copies the helper's stderr into its log from a thread of
  // its own, so the last lines may land a moment after the answer.
  const char* const digits[] = {"digit=1 ", "digit=2 ", "digit=# "};
  const auto sent = [](const std::string& trace, const char* digit) {
    return trace.find(std::string("stage=helper_send_success ") + digit) != std::string::npos;
  };
  std::string trace = readFile(alice.helperLog());
  for (const auto deadline = deadlineAfter(5s);
       !std::all_of(std::begin(digits), std::end(digits), [&](const char* d) { return sent(trace, d); }) &&
       Clock::now() < deadline;
       trace = readFile(alice.helperLog()))
    std::this_thread::sleep_for(20ms);
  for (const char* digit : digits) EXPECT_TRUE(sent(trace, digit)) << digit << "\n" << trace;
  alice.type("mute on");
  alice.expect("ok");

  ASSERT_TRUE(bob->request("HANGUP_CALL").value("success", false));
  alice.expect("* call: released sip:bob@");
  alice.type("quit");
  alice.expect("* helper: exited with status 0");
  const auto status = alice.process().waitExit(deadlineAfter(10s));
  ASSERT_TRUE(status && status->success()) << alice.transcript();

  EXPECT_TRUE(inOrder(alice.events(), {"* helper: started", "* registration: ok", "* call: outgoingRinging sip:bob@",
                                       "* call: streamsRunning sip:bob@", "* call: set up in ", "* call: released"}))
      << alice.transcript();
  expectNoPassword(alice, Kamailio::user("alice").password);
}

TEST(ConsoleE2e, AnIncomingCallShowsUpByItselfAndDevicesSwitchWithoutJson) {
  Kamailio registrar;
  PulseAudio pulse({.sinks = {{"tavirel_out_a", "Tavirel Out A"}, {"tavirel_out_b", "Tavirel Out B"}},
                    .sources = {{"tavirel_in_a", "Tavirel In A"}}});
  auto bob = startRegisteredHelper(registrar, &pulse, "bob");
  Console alice(pulse, {"--raw"});
  alice.type("init");
  alice.expect("ok: engine started");
  alice.registerAs(registrar, "alice");
  EXPECT_NE(alice.transcript().find(R"("sipPassword":"***")"), std::string::npos) << alice.transcript();

  // Rows are numbered as the machine's devices come; pick B by its name.
  alice.type("outputs");
  const std::string row = alice.expect("  Tavirel Out B  ");
  const auto digits = row.find_first_of("0123456789");
  const std::string number = row.substr(digits, row.find(' ', digits) - digits);
  alice.type("output " + number);
  alice.expect("< {\"requestId\":\"c");
  alice.expect("ok");
  alice.type("outputs");
  EXPECT_EQ(alice.expect("  Tavirel Out B  ").rfind("* ", 0), 0u) << alice.transcript();  // marked in use

  // Nothing is typed while bob calls: the poll shows the call.
  ASSERT_TRUE(bob->request("MAKE_CALL", {{"target", registrar.uri("alice")}}).value("success", false));
  alice.expect("* call: incomingReceived sip:bob@");
  alice.type("answer");
  alice.expect("* call: streamsRunning sip:bob@");
  alice.type("hangup");
  alice.expect("* call: released sip:bob@");
  ASSERT_TRUE(bob->waitForState("GET_CALL_STATE", "released", kStep).satisfied);
  alice.process().closeStdin();  // end of a script: the console leaves as on quit
  const auto status = alice.process().waitExit(deadlineAfter(10s));
  ASSERT_TRUE(status && status->success()) << alice.transcript();
  expectNoPassword(alice, Kamailio::user("alice").password);
}

TEST(ConsoleE2e, AHelperThatDiesEndsTheConsoleWithItsLastWords) {
  PulseAudio pulse;
  Console console(pulse);
  const std::string banner = console.expect("* helper: started pid ");
  const pid_t helper = std::stoi(banner.substr(banner.find("pid ") + 4));
  console.type("init");
  console.expect("ok: engine started");
  ASSERT_EQ(::kill(helper, SIGKILL), 0);
  const auto status = console.process().waitExit(deadlineAfter(10s));
  ASSERT_TRUE(status) << "the console did not notice";
  EXPECT_TRUE(status->exited && status->code == 1) << status->describe();
  ASSERT_TRUE(console.process().waitForStderrEnd(deadlineAfter(5s)));
  const std::string err = console.process().stderrText();
  EXPECT_NE(err.find("killed by signal 9"), std::string::npos) << err;
  EXPECT_NE(err.find("its last lines on stderr:\n  | "), std::string::npos) << err;
}

}  // namespace
}  // namespace tavirel::test
