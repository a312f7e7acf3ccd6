// Local conferences end to end: real helper processes registered at a real
// registrar; one of them hosts a conference, the others are invited into it,
// answer, hear each other through the host's mixer and are dropped again.
// Each helper plays to its own null sink of a private sound server, so what
// a participant hears can be measured on that sink's monitor. Everything runs
// on 127.0.0.1 inside the test's network namespace; every wait has a
// deadline.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "HelperClient.h"
#include "Kamailio.h"
#include "PulseAudio.h"

namespace tavirel::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kCallSetup = 15s;
constexpr auto kShort = 5s;
constexpr std::string_view kTrace = "[CONF_INVITE_TRACE] ";
// Does not interpret as a SIP address.
constexpr std::string_view kBadTarget = "sip:<nobody>@@";

const PulseOptions kOwnSinkEach{
    .sinks = {{"conf_out_a", "Conf Out A"}, {"conf_out_b", "Conf Out B"}, {"conf_out_c", "Conf Out C"}},
    .sources = {{"conf_silence", "Conf Silence"}},
};

std::unique_ptr<HelperClient> startHelper(const PulseAudio& pulse) {
  auto helper = std::make_unique<HelperClient>(HelperOptions{.pulse = &pulse});
  const json started = helper->request("INITIALIZE");
  if (!started.value("success", false))
    throw std::runtime_error("INITIALIZE failed: " + started.dump() + "\n" + helper->stderrText());
  return helper;
}

std::unique_ptr<HelperClient> startRegistered(const Kamailio& registrar, const PulseAudio& pulse,
                                              const std::string& user) {
  auto helper = startHelper(pulse);
  const json registered = helper->request(
      "REGISTER", {{"sipAccount", user}, {"sipPassword", Kamailio::user(user).password}, {"server", registrar.server()}});
  if (!registered.value("success", false))
    throw std::runtime_error("REGISTER " + user + " failed: " + registered.dump() + "\n" + helper->stderrText());
  return helper;
}

std::string errorOf(const json& response) {
  return response.value("success", true) ? "<success>" : response.value("error", "<no error>");
}

bool succeeded(const json& response) { return response.value("success", false); }

bool inCall(HelperClient& helper) { return helper.query("IS_IN_CALL").at("inCall").get<bool>(); }

std::string callState(HelperClient& helper) {
  return helper.query("GET_CALL_STATE").at("state").get<std::string>();
}

void expectState(HelperClient& helper, const std::string& state, Clock::duration timeout = kCallSetup) {
  const auto result = helper.waitForState("GET_CALL_STATE", state, timeout);
  EXPECT_TRUE(result.satisfied) << "waiting for " << state << ", last " << result.lastResponse.dump() << "\n"
                                << helper.stderrText();
}

// Polls the call state as fast as the helper answers until the call has
// ended ("released", or no call left) and tells whether "end" was seen on
// the way; the state flips from "end" to "released" within one engine turn,
// so a slower poll could miss it.
bool seesCallEnd(HelperClient& helper, Clock::duration timeout = kCallSetup) {
  bool sawEnd = false;
  pollUntil(
      [&] {
        const std::string state = callState(helper);
        sawEnd = sawEnd || state == "end";
        return state == "released" || (sawEnd && !inCall(helper));
      },
      deadlineAfter(timeout), 1ms);
  return sawEnd;
}

// The stderr lines that begin with `start`, in order.
std::vector<std::string> traceLines(const HelperClient& helper, std::string_view start) {
  std::vector<std::string> lines;
  const std::string text = helper.stderrText();
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // a line still being written
    if (std::string_view(text).substr(at, end - at).starts_with(start)) lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// The conference trace lines of one INVITE_CONFERENCE, which are the lines
// written after `before` lines of the tag were already there.
std::vector<std::string> conferenceTraceSince(const HelperClient& helper, std::size_t before) {
  auto lines = traceLines(helper, std::string(kTrace) + "stage=");
  lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(before, lines.size())));
  return lines;
}

std::size_t conferenceTraceCount(const HelperClient& helper) {
  return traceLines(helper, std::string(kTrace) + "stage=").size();
}

// The host's calls as its DTMF trace lists them (" callStates=[...]"): the
// one diagnostic that shows each call's state and whether it belongs to a
// conference.
std::string callStatesOf(HelperClient& helper, const std::string& probeId) {
  (void)helper.request("SEND_DTMF", {{"digit", "1"}}, probeId);
  std::string found;
  pollUntil(
      [&] {
        for (const std::string& line : traceLines(helper, "[DTMF_TRACE] stage=helper_"))
          if (line.find(" requestId=" + probeId + " ") != std::string::npos && line.find(" callStates=[") != std::string::npos)
            found = line.substr(line.find(" callStates=[") + 1);
        return !found.empty();
      },
      deadlineAfter(kShort));
  return found;
}

std::string deviceId(HelperClient& helper, const char* listCommand, const std::string& name) {
  const json list = json::parse(helper.query(listCommand).at("devicesJson").get<std::string>());
  for (const json& device : list)
    if (device.at("name") == name) return device.at("id").get<std::string>();
  throw std::runtime_error("no device named " + name + " in " + list.dump());
}

// Sends the helper's sound to `sinkName` and takes its microphone from
// `sourceName`.
void routeAudio(HelperClient& helper, const std::string& sinkName, const std::string& sourceName) {
  const json output = helper.request("SET_AUDIO_DEVICE", {{"deviceId", deviceId(helper, "GET_AUDIO_DEVICES", sinkName)}});
  const json input = helper.request(
      "SET_AUDIO_INPUT_DEVICE", {{"deviceId", deviceId(helper, "GET_AUDIO_INPUT_DEVICES", sourceName)}});
  if (!succeeded(output) || !succeeded(input))
    throw std::runtime_error("audio routing failed: " + output.dump() + " " + input.dump());
}

// Records a sink's monitor (what is played into the sink) as 8 kHz mono
// 16-bit samples into a file, and measures the loudness of the latest part.
class SinkRecorder {
 public:
  SinkRecorder(const PulseAudio& pulse, const std::string& sink) : dir_("conf-rec") {
    ProcessOptions options{
        .argv = {"parec", "--device=" + sink + ".monitor", "--raw", "--format=s16le", "--rate=8000",
                 "--channels=1", "--latency-msec=20"},
        .stdoutFile = dir_ / "audio.raw"};
    options.env = pulse.clientEnvironment();
    options.env["HOME"] = dir_.path().string();
    process_ = std::make_unique<ChildProcess>(std::move(options));
  }

  // RMS of the last 0.25 s recorded; 0 before that much was recorded.
  double recentLoudness() const {
    constexpr std::size_t kSamples = 2000;
    std::ifstream in(dir_ / "audio.raw", std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
    const std::streamoff bytes = static_cast<std::streamoff>(kSamples * 2);
    if (size < bytes) return 0;
    std::vector<std::int16_t> samples(kSamples);
    in.seekg((size - bytes) & ~std::streamoff(1));
    in.read(reinterpret_cast<char*>(samples.data()), bytes);
    double sum = 0;
    for (const std::int16_t sample : samples) sum += double(sample) * sample;
    return std::sqrt(sum / kSamples);
  }

  // Whether the latest recording is loud (a tone) before the deadline.
  bool hearsTone(Clock::duration timeout) const {
    return pollUntil([&] { return recentLoudness() > 1000; }, deadlineAfter(timeout), 50ms);
  }

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
};

// Three registered helpers; bob's microphone is a steady tone, the others'
// are silent, and each plays to a sink of its own.
struct ThreeParties {
  Kamailio registrar;
  PulseAudio pulse{kOwnSinkEach};
  std::unique_ptr<HelperClient> alice, bob, carol;

  ThreeParties() {
    pulse.pactl({"load-module", "module-sine-source", "source_name=conf_tone", "frequency=440",
                 "source_properties=device.description=Conf_Tone"});
    alice = startRegistered(registrar, pulse, "alice");
    bob = startRegistered(registrar, pulse, "bob");
    carol = startRegistered(registrar, pulse, "carol");
    routeAudio(*alice, "Conf Out A", "Conf Silence");
    routeAudio(*bob, "Conf Out B", "Conf_Tone");
    routeAudio(*carol, "Conf Out C", "Conf Silence");
  }

  // alice calls bob, bob answers.
  void aliceCallsBob() {
    ASSERT_TRUE(succeeded(alice->request("MAKE_CALL", {{"target", registrar.uri("bob")}})));
    expectState(*bob, "incomingReceived");
    ASSERT_TRUE(succeeded(bob->request("ANSWER_CALL"))) << bob->stderrText();
    expectState(*alice, "streamsRunning");
    expectState(*bob, "streamsRunning");
  }

  std::string logs() const {
    return "\n--- alice ---\n" + alice->stderrText() + "\n--- bob ---\n" + bob->stderrText() +
           "\n--- carol ---\n" + carol->stderrText();
  }
};

// ---------------------------------------------------------------------------

TEST(HostedConference, CallGrowsIntoConferenceAndAnInviteeIsDroppedAgain) {
  ThreeParties parties;
  HelperClient& alice = *parties.alice;
  HelperClient& bob = *parties.bob;
  HelperClient& carol = *parties.carol;
  ASSERT_NO_FATAL_FAILURE(parties.aliceCallsBob());
  const std::string bobUri = parties.registrar.uri("bob");
  const std::string carolUri = parties.registrar.uri("carol");

  // carol, a target that does not interpret, and carol again.
  const std::size_t tracesBefore = conferenceTraceCount(alice);
  const json invited = alice.request(
      "INVITE_CONFERENCE", {{"targetsCsv", " " + carolUri + " ,, " + std::string(kBadTarget) + "," + carolUri}});
  ASSERT_TRUE(succeeded(invited)) << invited.dump() << parties.logs();
  EXPECT_EQ(invited["payload"], (json{{"invitedCount", "2"}}));

  const auto trace = conferenceTraceSince(alice, tracesBefore);
  ASSERT_EQ(trace.size(), 4u) << alice.stderrText();
  const std::string bobCall = "#0:state=StreamsRunning remote=" + bobUri;
  EXPECT_EQ(trace[0], std::string(kTrace) +
                          "stage=adapter_enter currentCallPresent=true activeCallCount=1 conferencePresent=false "
                          "anchorRemote=" + bobUri + " targets=[\"" + carolUri + "\", \"" + std::string(kBadTarget) +
                          "\", \"" + carolUri + "\"] callStates=[" + bobCall + " conference=false]");
  EXPECT_EQ(trace[1], std::string(kTrace) + "stage=conference_created currentCallRemote=" + bobUri +
                          " conferenceAfterCreate=true callStates=[" + bobCall + " conference=true]");
  EXPECT_EQ(trace[2], std::string(kTrace) + "stage=addresses_ready addressCount=2");
  EXPECT_TRUE(trace[3].starts_with(std::string(kTrace) + "stage=before_invite addressCount=2 currentCallPresent="))
      << trace[3];
  EXPECT_NE(trace[3].find(" anchorRemote=" + bobUri + " callStates=[" + bobCall + " conference=true]"),
            std::string::npos) << trace[3];

  // carol's phone rings; she answers and joins alice and bob.
  expectState(carol, "incomingReceived");
  ASSERT_TRUE(succeeded(carol.request("ANSWER_CALL"))) << carol.stderrText();
  expectState(carol, "streamsRunning");
  EXPECT_EQ(callState(bob), "streamsRunning");
  const std::string hostCalls = callStatesOf(alice, "probe-joined");
  EXPECT_NE(hostCalls.find("state=StreamsRunning remote=" + bobUri + " conference=true"), std::string::npos)
      << hostCalls;
  EXPECT_NE(hostCalls.find("state=StreamsRunning remote=" + carolUri + " conference=true"), std::string::npos)
      << hostCalls;

  // bob's tone reaches carol only through alice's conference mixer.
  SinkRecorder carolHears(parties.pulse, "conf_out_c");
  EXPECT_TRUE(carolHears.hearsTone(kCallSetup)) << "carol hears " << carolHears.recentLoudness() << parties.logs();

  // Dropping carol ends her call; alice and bob go on.
  const json removed = alice.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", carolUri}});
  EXPECT_TRUE(succeeded(removed)) << removed.dump() << parties.logs();
  EXPECT_TRUE(seesCallEnd(carol)) << callState(carol) << parties.logs();
  EXPECT_TRUE(pollUntil([&] { return !inCall(carol); }, deadlineAfter(kCallSetup)));
  EXPECT_TRUE(inCall(alice));
  EXPECT_TRUE(inCall(bob));
  EXPECT_EQ(callState(bob), "streamsRunning");

  // Addresses that are neither a participant nor a call, and no address at
  // all; alice's own address is not a remote participant either.
  EXPECT_EQ(errorOf(alice.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", parties.registrar.uri("dave")}})),
            "Conference participant not found");
  EXPECT_EQ(errorOf(alice.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", carolUri}})),
            "Conference participant not found");
  EXPECT_EQ(errorOf(alice.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", std::string(kBadTarget)}})),
            "Invalid conference target: " + std::string(kBadTarget));
  const json self = alice.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", parties.registrar.uri("alice")}});
  EXPECT_EQ(errorOf(self), "Conference participant not found") << self.dump();
  EXPECT_TRUE(alice.process().running()) << alice.stderrText();
  EXPECT_EQ(callState(bob), "streamsRunning");

  ASSERT_TRUE(succeeded(alice.request("HANGUP_CALL")));
  EXPECT_TRUE(pollUntil([&] { return !inCall(bob) && !inCall(alice); }, deadlineAfter(kCallSetup)))
      << parties.logs();
}

TEST(HostedConference, StartsWithoutACallAndHangingUpEndsItForEveryone) {
  ThreeParties parties;
  HelperClient& alice = *parties.alice;
  HelperClient& bob = *parties.bob;
  HelperClient& carol = *parties.carol;
  const std::string bobUri = parties.registrar.uri("bob");
  const std::string carolUri = parties.registrar.uri("carol");

  const json invited = alice.request("INVITE_CONFERENCE", {{"targetsCsv", bobUri + "," + carolUri}});
  ASSERT_TRUE(succeeded(invited)) << invited.dump() << parties.logs();
  EXPECT_EQ(invited["payload"], (json{{"invitedCount", "2"}}));
  const auto trace = conferenceTraceSince(alice, 0);
  ASSERT_EQ(trace.size(), 4u) << alice.stderrText();
  EXPECT_EQ(trace[0], std::string(kTrace) +
                          "stage=adapter_enter currentCallPresent=false activeCallCount=0 conferencePresent=false "
                          "anchorRemote= targets=[\"" + bobUri + "\", \"" + carolUri + "\"] callStates=[]");
  EXPECT_EQ(trace[1], std::string(kTrace) +
                          "stage=conference_created currentCallRemote= conferenceAfterCreate=true callStates=[]");
  EXPECT_EQ(trace[2], std::string(kTrace) + "stage=addresses_ready addressCount=2");
  EXPECT_EQ(trace[3], std::string(kTrace) +
                          "stage=before_invite addressCount=2 currentCallPresent=false anchorRemote= callStates=[]");

  expectState(bob, "incomingReceived");
  expectState(carol, "incomingReceived");
  ASSERT_TRUE(succeeded(bob.request("ANSWER_CALL"))) << bob.stderrText();
  ASSERT_TRUE(succeeded(carol.request("ANSWER_CALL"))) << carol.stderrText();
  expectState(bob, "streamsRunning");
  expectState(carol, "streamsRunning");
  const std::string hostCalls = callStatesOf(alice, "probe-both");
  EXPECT_NE(hostCalls.find("state=StreamsRunning remote=" + bobUri + " conference=true"), std::string::npos)
      << hostCalls;
  EXPECT_NE(hostCalls.find("state=StreamsRunning remote=" + carolUri + " conference=true"), std::string::npos)
      << hostCalls;
  SinkRecorder carolHears(parties.pulse, "conf_out_c");
  EXPECT_TRUE(carolHears.hearsTone(kCallSetup)) << "carol hears " << carolHears.recentLoudness() << parties.logs();

  ASSERT_TRUE(succeeded(alice.request("HANGUP_CALL")));
  EXPECT_TRUE(seesCallEnd(bob)) << callState(bob) << parties.logs();
  EXPECT_TRUE(seesCallEnd(carol)) << callState(carol) << parties.logs();
  EXPECT_TRUE(pollUntil([&] { return !inCall(alice) && !inCall(bob) && !inCall(carol); },
                        deadlineAfter(kCallSetup)))
      << parties.logs();
}

TEST(ConferenceRequests, BadInputGetsItsAnswerAndTheHelperKeepsAnswering) {
  PulseAudio pulse;
  HelperClient helper(HelperOptions{.pulse = &pulse});
  EXPECT_EQ(errorOf(helper.request("INVITE_CONFERENCE", {{"targetsCsv", "sip:bob@127.0.0.1"}})), "Not initialized");
  EXPECT_EQ(errorOf(helper.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", "sip:bob@127.0.0.1"}})),
            "Not initialized");
  ASSERT_TRUE(succeeded(helper.request("INITIALIZE"))) << helper.stderrText();

  EXPECT_EQ(errorOf(helper.request("INVITE_CONFERENCE")), "Missing conference targets");
  EXPECT_EQ(errorOf(helper.request("INVITE_CONFERENCE", {{"targetsCsv", true}, {"target", "sip:bob@127.0.0.1"}})),
            "Missing conference targets");
  EXPECT_EQ(errorOf(helper.request("INVITE_CONFERENCE", {{"targetsCsv", " , ,\n,\t"}})),
            "No valid conference targets");
  EXPECT_EQ(errorOf(helper.request("REMOVE_CONFERENCE_PARTICIPANT")), "Missing conference target");
  EXPECT_EQ(errorOf(helper.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", " \n\t"}})),
            "Missing conference target");
  EXPECT_EQ(errorOf(helper.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", false}})),
            "Missing conference target");
  EXPECT_EQ(conferenceTraceCount(helper), 0u) << "refused before reaching the engine";

  EXPECT_EQ(errorOf(helper.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", std::string(kBadTarget)}})),
            "Invalid conference target: " + std::string(kBadTarget));
  EXPECT_EQ(errorOf(helper.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", " sip:dave@127.0.0.1 "}})),
            "Conference participant not found");

  // Without an account, bare words do not interpret: the conference is made
  // (and stays), then nobody can be invited. Quotes, backslashes and a line
  // break inside a target keep the trace on one line.
  const std::string targets = R"( say "hi" ,, C:\dir ,)" + std::string(kBadTarget) + ", a\nb ";
  EXPECT_EQ(errorOf(helper.request("INVITE_CONFERENCE", {{"targetsCsv", targets}})), "No callable participants");
  const auto trace = conferenceTraceSince(helper, 0);
  ASSERT_EQ(trace.size(), 3u) << helper.stderrText();
  EXPECT_EQ(trace[0], std::string(kTrace) +
                          R"(stage=adapter_enter currentCallPresent=false activeCallCount=0 conferencePresent=false )"
                          R"(anchorRemote= targets=["say \"hi\"", "C:\\dir", "sip:<nobody>@@", "a\nb"] callStates=[])");
  EXPECT_EQ(trace[1], std::string(kTrace) +
                          "stage=conference_created currentCallRemote= conferenceAfterCreate=true callStates=[]");
  EXPECT_EQ(trace[2], std::string(kTrace) + "stage=addresses_ready addressCount=0");

  // A conference without calls is reached through no call, so the next
  // invitation makes another one; the engine copes.
  EXPECT_EQ(errorOf(helper.request("INVITE_CONFERENCE", {{"targetsCsv", "nobody"}})), "No callable participants");
  const auto again = conferenceTraceSince(helper, 3);
  ASSERT_EQ(again.size(), 3u) << helper.stderrText();
  EXPECT_NE(again[0].find(" conferencePresent=false "), std::string::npos) << again[0];
  EXPECT_EQ(errorOf(helper.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", "sip:dave@127.0.0.1"}})),
            "Conference participant not found");

  const auto exit = helper.closeAndWait();
  ASSERT_TRUE(exit.has_value());
  EXPECT_TRUE(exit->success()) << exit->describe() << "\n" << helper.stderrText();
}

}  // namespace
}  // namespace tavirel::test
