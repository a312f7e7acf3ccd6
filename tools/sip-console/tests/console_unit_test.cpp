// The console's decisions without a terminal or a helper: what a typed line
// sends, which event lines a run of polled states gives, how answers read,
// and where passwords are hidden.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "command_parser.h"
#include "devices.h"
#include "events.h"
#include "presenter.h"
#include "redaction.h"

namespace tavirel::console {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::vector<Device> kOutputs = {{"pa:out-a", "Out A", "Speaker", false}, {"pa:out-b", "Out B", "Speaker", true}};

Plan parse(std::string_view line, std::string server = {}) {
  ParseContext context{.server = std::move(server), .outputs = kOutputs, .inputs = {}};
  return parseCommand(line, context);
}

json payloadOf(const Plan& plan, std::size_t i = 0) { return plan.requests.at(i).payload; }

TEST(CommandParser, RegisterAsksForThePasswordAndKeepsATypedOneOutOfTheHistory) {
  Plan plan = parse("register alice 127.0.0.1:5060");
  ASSERT_EQ(plan.kind, Plan::Kind::send);
  EXPECT_TRUE(plan.needsPassword);
  EXPECT_TRUE(plan.keepInHistory);
  fillPassword(plan, "alice-secret");
  EXPECT_EQ(payloadOf(plan), (json{{"sipAccount", "alice"}, {"sipPassword", "alice-secret"}, {"server", "127.0.0.1:5060"}}));

  const Plan typed = parse("register alice 127.0.0.1 alice-secret");
  EXPECT_EQ(typed.kind, Plan::Kind::fail);
  EXPECT_FALSE(typed.keepInHistory);
  EXPECT_EQ(typed.message.find("alice-secret"), std::string::npos);
  EXPECT_EQ(parse("register alice").kind, Plan::Kind::fail);
}

TEST(CommandParser, RegisterTakesTlsThenOneMediaEncryptionAndNothingElse) {
  EXPECT_EQ(payloadOf(parse("register alice r:5061 tls srtp")),
            (json{{"sipAccount", "alice"}, {"sipPassword", ""}, {"server", "r:5061"}, {"transport", "tls"},
                  {"mediaEncryption", "srtp"}}));
  EXPECT_EQ(payloadOf(parse("register alice r tls")).value("transport", ""), "tls");
  EXPECT_EQ(payloadOf(parse("register alice r zrtp")), (json{{"sipAccount", "alice"}, {"sipPassword", ""},
                                                              {"server", "r"}, {"mediaEncryption", "zrtp"}}));
  // Anything else may be a password typed on the line.
  for (const char* line : {"register alice r srtp tls", "register alice r tls tls", "register alice r tls zrtp pw",
                           "register alice r dtls"}) {
    const Plan plan = parse(line);
    EXPECT_EQ(plan.kind, Plan::Kind::fail) << line;
    EXPECT_FALSE(plan.keepInHistory) << line;
  }
}

TEST(CommandParser, DtmfIsOneRequestPerDigitPacedAndRefusesOtherCharacters) {
  const Plan plan = parse("dtmf 12#");
  ASSERT_EQ(plan.requests.size(), 3u);
  EXPECT_EQ(plan.pace, kDigitPace);
  EXPECT_EQ(payloadOf(plan, 0), (json{{"digit", "1"}}));
  EXPECT_EQ(payloadOf(plan, 2), (json{{"digit", "#"}}));
  EXPECT_EQ(plan.requests[1].command, "SEND_DTMF");
  const Plan bad = parse("dtmf 1x2");
  EXPECT_EQ(bad.kind, Plan::Kind::fail);
  EXPECT_TRUE(bad.requests.empty());
}

TEST(CommandParser, BareUsersGoToTheRegistrarOnlyOnceOneIsKnown) {
  EXPECT_EQ(payloadOf(parse("call bob", "127.0.0.1:5060")), (json{{"target", "sip:bob@127.0.0.1:5060"}}));
  EXPECT_EQ(payloadOf(parse("call sip:bob@host", "127.0.0.1:5060")), (json{{"target", "sip:bob@host"}}));
  EXPECT_EQ(payloadOf(parse("call bob")), (json{{"target", "bob"}}));
  EXPECT_EQ(payloadOf(parse("conf bob, carol ,, sip:dave@h", "r:1")),
            (json{{"targetsCsv", "sip:bob@r:1,sip:carol@r:1,sip:dave@h"}}));
  EXPECT_EQ(parse("conf , ,").kind, Plan::Kind::fail);
  EXPECT_EQ(payloadOf(parse("kick carol", "r:1")), (json{{"target", "sip:carol@r:1"}}));
}

TEST(CommandParser, DeviceRowsPickTheListedIdUnlessTheTextIsAnId) {
  EXPECT_EQ(payloadOf(parse("output 2")), (json{{"deviceId", "pa:out-b"}}));
  EXPECT_EQ(payloadOf(parse("output 3")), (json{{"deviceId", "3"}}));
  EXPECT_EQ(payloadOf(parse("output PulseAudio Unknown: Out A")), (json{{"deviceId", "PulseAudio Unknown: Out A"}}));
  const std::vector<Device> numbered = {{"7", "Seven", "Speaker", false}, {"1", "One", "Speaker", false}};
  EXPECT_EQ(resolveDeviceChoice("1", numbered), "1");
  EXPECT_EQ(resolveDeviceChoice("2", numbered), "1");
  EXPECT_EQ(resolveDeviceChoice("+1", numbered), "+1");
}

TEST(CommandParser, SimpleCommandsAndTheirMistakes) {
  EXPECT_EQ(parse("  ").kind, Plan::Kind::nothing);
  EXPECT_EQ(parse("# a comment in a script").kind, Plan::Kind::nothing);
  EXPECT_EQ(parse("HANGUP").requests.at(0).command, "HANGUP_CALL");
  EXPECT_EQ(parse("hangup now").kind, Plan::Kind::fail);
  EXPECT_EQ(parse("frobnicate").message, "unknown command 'frobnicate' (type help)");
  EXPECT_EQ(payloadOf(parse("mute on")), (json{{"muted", true}}));
  EXPECT_EQ(payloadOf(parse("mute off")), (json{{"muted", false}}));
  EXPECT_EQ(parse("mute maybe").kind, Plan::Kind::fail);
  const Plan state = parse("state");
  ASSERT_EQ(state.requests.size(), 3u);
  EXPECT_EQ(state.requests[1].command, "GET_CALL_STATE");
  EXPECT_EQ(parse("quit").kind, Plan::Kind::quit);
}

TEST(CommandParser, WaitTakesASubjectAStateAndBoundedSeconds) {
  const Plan plan = parse("wait call streamsRunning 20");
  ASSERT_EQ(plan.kind, Plan::Kind::wait);
  EXPECT_EQ(plan.waitSubject, "call");
  EXPECT_EQ(plan.waitState, "streamsRunning");
  EXPECT_EQ(plan.waitTimeout, 20s);
  EXPECT_EQ(parse("wait registration ok").waitTimeout, kDefaultWait);
  for (const char* bad : {"wait call", "wait dog ok", "wait call ok 0", "wait call ok 601", "wait call ok 5s"}) {
    EXPECT_EQ(parse(bad).kind, Plan::Kind::fail) << bad;
  }
}

TEST(CommandParser, RawLinesWithAPasswordStayOutOfTheHistory) {
  const Plan plain = parse(R"(raw {"requestId":"1","command":"IS_IN_CALL"})");
  EXPECT_EQ(plain.rawLine, R"({"requestId":"1","command":"IS_IN_CALL"})");
  EXPECT_TRUE(plain.keepInHistory);
  EXPECT_FALSE(parse(R"(raw {"payload":{"sipPassword":"x"}})").keepInHistory);
  // The helper's reader decodes escapes in keys, so this is the same key.
  EXPECT_FALSE(parse(R"(raw {"payload":{"sip\u0050assword":"x"}})").keepInHistory);
  EXPECT_FALSE(parse("raw not json but a Password").keepInHistory);
}

TEST(CommandParser, CompletesCommandNamesAndFixedChoices) {
  EXPECT_EQ(completions("re"), (std::vector<std::string>{"register"}));
  EXPECT_EQ(completions("in"), (std::vector<std::string>{"init", "inputs", "input"}));
  EXPECT_EQ(completions("mute "), (std::vector<std::string>{"on", "off"}));
  EXPECT_EQ(completions("wait c"), (std::vector<std::string>{"call"}));
  EXPECT_TRUE(completions("call b").empty());
  EXPECT_EQ(completions("").size(), commandTable().size());
}

TEST(Events, ACallReadsAsOneLinePerChange) {
  EventTracker tracker;
  const auto t0 = Clock::now();
  auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
  StateSnapshot state;
  EXPECT_TRUE(tracker.update(state, at(0)).empty());  // the helper's initial values
  state.registration = "ok";
  EXPECT_EQ(tracker.update(state, at(1)), (std::vector<std::string>{"* registration: ok"}));
  EXPECT_TRUE(tracker.update(state, at(2)).empty());

  tracker.callPlaced(at(10));
  state.call = "outgoingRinging";
  state.remote = "sip:bob@127.0.0.1";
  EXPECT_EQ(tracker.update(state, at(20)),
            (std::vector<std::string>{"* call: outgoingRinging sip:bob@127.0.0.1 (callLog none)"}));
  state.call = "streamsRunning";
  EXPECT_EQ(tracker.update(state, at(67)),
            (std::vector<std::string>{"* call: streamsRunning sip:bob@127.0.0.1 (callLog none)",
                                      "* call: set up in 57 ms (MAKE_CALL to streamsRunning)"}));
  state.call = "released";
  EXPECT_EQ(tracker.update(state, at(80)).size(), 1u);
  state.callLog = "success";
  EXPECT_EQ(tracker.update(state, at(90)), (std::vector<std::string>{"* callLog: success"}));
  EXPECT_FALSE(tracker.timingCallSetUp());
}

TEST(Events, SetUpTimingWaitsForANewStreamsRunningAndStopsAtAnEnd) {
  EventTracker tracker;
  const auto t0 = Clock::now();
  StateSnapshot state;
  state.call = "streamsRunning";
  tracker.update(state, t0);
  tracker.callPlaced(t0);  // a second call while the first runs
  auto lines = tracker.update(state, t0 + 5ms);
  EXPECT_TRUE(lines.empty());
  state.call = "outgoingInit";
  tracker.update(state, t0 + 10ms);
  state.call = "streamsRunning";
  lines = tracker.update(state, t0 + 40ms);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "* call: set up in 40 ms (MAKE_CALL to streamsRunning)");

  tracker.callPlaced(t0 + 50ms);
  state.call = "error";
  tracker.update(state, t0 + 60ms);
  state.call = "streamsRunning";
  EXPECT_EQ(tracker.update(state, t0 + 70ms).size(), 1u);  // no timing line for a call that failed
  EXPECT_EQ(callEvent(StateSnapshot{}), "* call: idle (callLog none)");
}

TEST(Presenter, DeviceTablesNumberTheRowsAndMarkTheDeviceInUse) {
  const std::string devicesJson =
      R"([{"id":"pa:out-a","name":"Out A","type":"Speaker","current":false},)"
      R"({"id":"pa:é","name":"Sortie B","type":"Headset","current":true}])";
  Plan plan = parse("outputs");
  const json answer = {{"requestId", "c1"}, {"success", true}, {"payload", {{"devicesJson", devicesJson}}}};
  EXPECT_EQ(presentAnswers(plan, {answer.dump()}), (std::vector<std::string>{
                                                       "  #  ID        NAME      TYPE",
                                                       "  1  pa:out-a  Out A     Speaker",
                                                       "* 2  pa:é      Sortie B  Headset",
                                                   }));
  EXPECT_EQ(formatDeviceTable({}, "input devices"), (std::vector<std::string>{"no input devices"}));
  EXPECT_FALSE(parseDeviceList(R"([{"name":"no id"}])"));
  EXPECT_FALSE(parseDeviceList("not json"));
}

TEST(Presenter, AnswersReadAsOkOrTheHelpersError) {
  const Plan hangup = parse("hangup");
  EXPECT_EQ(presentAnswers(hangup, {R"({"requestId":"c1","success":true})"}), (std::vector<std::string>{"ok"}));
  EXPECT_EQ(presentAnswers(hangup, {R"({"requestId":"c1","success":false,"error":"No current call"})"}),
            (std::vector<std::string>{"error: No current call"}));
  EXPECT_EQ(presentAnswers(hangup, {"garbage"})[0].rfind("error: the helper answered something", 0), 0u);

  const Plan security = parse("security");
  EXPECT_EQ(presentAnswers(security, {R"({"requestId":"c3","success":true,"payload":{"signalling":"none",)"
                                      R"("mediaEncryption":"none","encrypted":false}})"}),
            (std::vector<std::string>{"no call"}));
  EXPECT_EQ(presentAnswers(security, {R"({"requestId":"c3","success":true,"payload":{"signalling":"udp",)"
                                      R"("mediaEncryption":"zrtp","encrypted":true,"authenticationToken":"4kq2"}})"}),
            (std::vector<std::string>{"signalling udp, media zrtp (encrypted); read to each other: 4kq2"}));

  Plan reg = parse("register alice r:1");
  EXPECT_EQ(presentAnswers(reg, {R"({"requestId":"c2","success":true,"payload":{"registered":true}})"}),
            (std::vector<std::string>{"registered as alice at r:1"}));
  EXPECT_EQ(presentAnswers(reg, {R"({"requestId":"c2","success":false,"payload":{"registered":false}})"})[0]
                .rfind("not registered as alice at r:1: ", 0),
            0u);

  const Plan digits = parse("dtmf 123");
  EXPECT_EQ(presentAnswers(digits, {R"({"success":true})", R"({"success":false,"error":"No current call"})"}),
            (std::vector<std::string>{"sent 1; digit 2 error: No current call"}));
  EXPECT_EQ(presentAnswers(digits, {R"({"success":true})", R"({"success":true})", R"({"success":true})"}),
            (std::vector<std::string>{"ok: sent 1 2 3"}));
}

// Odd JSON types where texts belong read as empty texts: the polls used to
// throw on them and end the console.
TEST(Presenter, StateAnswersOfTheWrongKindReadAsNoState) {
  using nlohmann::json;
  const StateSnapshot odd = snapshotOf(json::array(), json{{"state", 7}, {"remoteAddress", nullptr}, {"callLogStatus", true}});
  EXPECT_EQ(odd, (StateSnapshot{"", "", "", ""}));
  const StateSnapshot read = snapshotOf(json{{"state", "ok"}},
                                        json{{"state", "streamsRunning"}, {"remoteAddress", "sip:b@h"}, {"callLogStatus", "none"}});
  EXPECT_EQ(read, (StateSnapshot{"ok", "streamsRunning", "sip:b@h", "none"}));
}

TEST(Redaction, PasswordsAreHiddenInRawLinesWhereverTheyAre) {
  EXPECT_EQ(redactRequestLine(R"({"requestId":"1","command":"REGISTER","payload":{"sipAccount":"a","sipPassword":"pw"}})"),
            R"({"requestId":"1","command":"REGISTER","payload":{"sipAccount":"a","sipPassword":"***"}})");
  EXPECT_EQ(redactRequestLine(R"([{"x":{"sip\u0050assword":"pw"}}])"), R"([{"x":{"sipPassword":"***"}}])");
  const std::string untouched = R"({ "requestId" : "1", "command":"IS_IN_CALL" })";
  EXPECT_EQ(redactRequestLine(untouched), untouched);
  EXPECT_EQ(redactRequestLine(R"({"sipPassword":"pw)").find("pw"), std::string::npos);
  EXPECT_EQ(redactRequestLine("{oops"), "{oops");

  const std::string echoed =
      R"({"requestId":"","success":false,"error":"Invalid request: [x] missing closing quote; last read: '\"hunter22'"})";
  EXPECT_EQ(hideEchoedInput(echoed).find("hunter22"), std::string::npos);
  EXPECT_NE(hideEchoedInput(echoed).find("last read: '***'"), std::string::npos);
}

TEST(Redaction, TheScrubberHidesTypedPasswordsAsTypedAndAsJsonWritesThem) {
  SecretScrubber scrubber;
  scrubber.add("pa\"ss");
  scrubber.add("ab");  // too short to look for
  EXPECT_EQ(scrubber.scrub(R"(x pa"ss y {"e":"pa\"ss"} ab)"), R"(x *** y {"e":"***"} ab)");
}

}  // namespace
}  // namespace tavirel::console
