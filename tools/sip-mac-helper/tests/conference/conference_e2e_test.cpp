// Local conferences end to end: real helper processes registered at a real
// registrar; one of them hosts a conference, the others are invited into it,
// answer, and are dropped again. The helpers share a private sound server,
// on which each one's media can be seen running. Everything runs on
// 127.0.0.1 inside the test's network namespace; every wait has a deadline.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "HelperClient.h"
#include "Kamailio.h"
#include "Parties.h"
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

// Waits until the helper's call has ended. The mirror writes "end" and then
// "released" within one engine turn, so a poll sees "released"; the call
// log says the call had been established.
void expectCallEnded(HelperClient& helper, const std::string& who) {
  const auto ended = helper.waitFor(
      "GET_CALL_STATE",
      [](const json& r) { return r["payload"]["state"] == "released" && r["payload"]["callLogStatus"] == "success"; },
      kCallSetup);
  EXPECT_TRUE(ended.satisfied) << who << ": " << ended.lastResponse.dump() << "\n" << helper.stderrText();
  EXPECT_TRUE(pollUntil([&] { return !inCall(helper); }, deadlineAfter(kShort))) << who << " still in a call";
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

// The conference stage lines after the first `before` ones: those of the
// latest INVITE_CONFERENCE. They are written before its response but reach
// the test through another thread, so this waits (bounded) for `expected`
// of them.
std::vector<std::string> conferenceTraceSince(const HelperClient& helper, std::size_t before, std::size_t expected) {
  std::vector<std::string> lines;
  pollUntil(
      [&] {
        lines = traceLines(helper, std::string(kTrace) + "stage=");
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(before, lines.size())));
        return lines.size() >= expected;
      },
      deadlineAfter(kShort));
  return lines;
}

std::size_t conferenceTraceCount(const HelperClient& helper) {
  return traceLines(helper, std::string(kTrace) + "stage=").size();
}

// The helper's calls as its DTMF trace lists them ("callStates=[...]"): the
// one diagnostic that shows each call's state and whether it belongs to a
// conference. Probes until `accept` holds or the deadline passes and returns
// the last listing.
std::string callsOf(HelperClient& helper, const std::function<bool(const std::string&)>& accept,
                    Clock::duration timeout = kCallSetup) {
  static int probes = 0;
  std::string listing;
  pollUntil(
      [&] {
        const std::string probeId = "probe-" + std::to_string(++probes);
        (void)helper.request("SEND_DTMF", {{"digit", "1"}}, probeId);
        // Written before the response, but read from the pipe by another thread.
        (void)helper.process().waitForStderr(" requestId=" + probeId + " ", deadlineAfter(1s));
        listing.clear();
        for (const std::string& line : traceLines(helper, "[DTMF_TRACE] stage=helper_"))
          if (line.find(" requestId=" + probeId + " ") != std::string::npos && line.find(" callStates=[") != std::string::npos)
            listing = line.substr(line.find(" callStates=[") + 1);
        return accept(listing);
      },
      deadlineAfter(timeout), 100ms);
  return listing;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Both calls are in the conference with their media running, and no other
// call exists.
std::function<bool(const std::string&)> conferenceOf(const std::string& first, const std::string& second) {
  return [=](const std::string& calls) {
    return contains(calls, "state=StreamsRunning remote=" + first + " conference=true") &&
           contains(calls, "state=StreamsRunning remote=" + second + " conference=true") && !contains(calls, "#2:");
  };
}


// Three registered helpers sharing one sound server.
struct ThreeParties {
  Kamailio registrar;
  PulseAudio pulse;
  std::unique_ptr<HelperClient> alice, bob, carol;

  ThreeParties() {
    alice = startRegisteredHelper(registrar, &pulse, "alice");
    bob = startRegisteredHelper(registrar, &pulse, "bob");
    carol = startRegisteredHelper(registrar, &pulse, "carol");
  }

  // alice calls bob, bob answers.
  void aliceCallsBob() {
    ASSERT_TRUE(succeeded(alice->request("MAKE_CALL", {{"target", registrar.uri("bob")}})));
    expectState(*bob, "incomingReceived");
    ASSERT_TRUE(succeeded(bob->request("ANSWER_CALL"))) << bob->stderrText();
    expectState(*alice, "streamsRunning");
    expectState(*bob, "streamsRunning");
  }

  // Every party's media runs on its sound devices.
  bool allAudioRunning() const {
    return pulse.hasAudioStreamsOf(alice->process().pid()) && pulse.hasAudioStreamsOf(bob->process().pid()) &&
           pulse.hasAudioStreamsOf(carol->process().pid());
  }

  std::string logs() const {
    return "\n--- alice ---\n" + alice->stderrText() + "\n--- bob ---\n" + bob->stderrText() +
           "\n--- carol ---\n" + carol->stderrText();
  }
};

// ---------------------------------------------------------------------------

TEST(HostedConference, CallGrowsIntoConferenceLosesAnInviteeAndEndsWithTheHost) {
  ThreeParties parties;
  HelperClient& alice = *parties.alice;
  HelperClient& bob = *parties.bob;
  HelperClient& carol = *parties.carol;
  ASSERT_NO_FATAL_FAILURE(parties.aliceCallsBob());
  const std::string bobUri = parties.registrar.uri("bob");
  const std::string carolUri = parties.registrar.uri("carol");
  const std::string bad(kBadTarget);

  // carol, a target that does not interpret, and carol again: the answer
  // counts both carols, but she is called once (liblinphone 5.1 aborts when
  // one party is invited twice).
  const json invited =
      alice.request("INVITE_CONFERENCE", {{"targetsCsv", " " + carolUri + " ,, " + bad + "," + carolUri}});
  ASSERT_TRUE(succeeded(invited)) << invited.dump() << parties.logs();
  EXPECT_EQ(invited["payload"], (json{{"invitedCount", "2"}}));

  // While it hosts, 5.1 has no current call; the call with bob is being
  // updated into the conference.
  const auto trace = conferenceTraceSince(alice, 0, 4);
  ASSERT_EQ(trace.size(), 4u) << alice.stderrText();
  const std::string bobCall = "#0:state=StreamsRunning remote=" + bobUri;
  const std::string bobJoining = "#0:state=Updating remote=" + bobUri + " conference=true";
  EXPECT_EQ(trace[0], std::string(kTrace) +
                          "stage=adapter_enter currentCallPresent=true activeCallCount=1 conferencePresent=false "
                          "anchorRemote=" + bobUri + " targets=[\"" + carolUri + "\", \"" + bad + "\", \"" +
                          carolUri + "\"] callStates=[" + bobCall + " conference=false]");
  EXPECT_EQ(trace[1], std::string(kTrace) + "stage=conference_created currentCallRemote=" + bobUri +
                          " conferenceAfterCreate=true callStates=[" + bobJoining + "]");
  EXPECT_EQ(trace[2], std::string(kTrace) + "stage=addresses_ready addressCount=2");
  EXPECT_EQ(trace[3], std::string(kTrace) + "stage=before_invite addressCount=2 currentCallPresent=false "
                          "anchorRemote=" + bobUri + " callStates=[" + bobJoining + "]");

  // carol's phone rings. Naming her again while it rings, and bob, who is
  // in the conference already, calls nobody a second time (5.1 would abort).
  expectState(carol, "incomingReceived");
  const json renamed = alice.request("INVITE_CONFERENCE", {{"targetsCsv", carolUri + "," + bobUri}});
  ASSERT_TRUE(succeeded(renamed)) << renamed.dump() << parties.logs();
  EXPECT_EQ(renamed["payload"], (json{{"invitedCount", "2"}}));
  const auto renamedTrace = conferenceTraceSince(alice, 4, 3);
  ASSERT_EQ(renamedTrace.size(), 3u) << alice.stderrText();
  EXPECT_TRUE(renamedTrace[0].starts_with(std::string(kTrace) + "stage=adapter_enter currentCallPresent=false "
                                          "activeCallCount=2 conferencePresent=true anchorRemote=" + bobUri + " "))
      << renamedTrace[0];

  // She answers and joins alice and bob.
  ASSERT_TRUE(succeeded(carol.request("ANSWER_CALL"))) << carol.stderrText();
  expectState(carol, "streamsRunning");
  const std::string joined = callsOf(alice, conferenceOf(bobUri, carolUri));
  EXPECT_TRUE(conferenceOf(bobUri, carolUri)(joined)) << joined << parties.logs();
  EXPECT_EQ(callState(bob), "streamsRunning");
  EXPECT_TRUE(pollUntil([&] { return parties.allAudioRunning(); }, deadlineAfter(kShort))) << parties.logs();

  // bob's engine holds the conference as a participant; removing someone
  // who is not in it is refused there. Asked unchecked, 5.1 crashes.
  EXPECT_EQ(errorOf(bob.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", parties.registrar.uri("dave")}})),
            "removeConferenceParticipant failed: exception(result: \"removeParticipant returned value -1\")");
  EXPECT_TRUE(bob.process().running()) << bob.stderrText();

  // Dropping carol ends her call (through the direct-call step: alice has no
  // current call). With only bob left, 5.1 turns the conference back into a
  // plain call.
  const json removed = alice.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", carolUri}});
  EXPECT_TRUE(succeeded(removed)) << removed.dump() << parties.logs();
  expectCallEnded(carol, "carol");
  const std::string plain = callsOf(alice, [&](const std::string& calls) {
    return calls == "callStates=[" + bobCall + " conference=false]";
  });
  EXPECT_EQ(plain, "callStates=[" + bobCall + " conference=false]");
  EXPECT_EQ(callState(bob), "streamsRunning");

  // Neither a participant nor a call, no address at all, and alice's own.
  EXPECT_EQ(errorOf(alice.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", parties.registrar.uri("dave")}})),
            "Conference participant not found");
  EXPECT_EQ(errorOf(alice.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", carolUri}})),
            "Conference participant not found");
  EXPECT_EQ(errorOf(alice.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", bad}})),
            "Invalid conference target: " + bad);
  EXPECT_EQ(errorOf(alice.request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", parties.registrar.uri("alice")}})),
            "Conference participant not found");

  // A new conference around bob, with carol back in it.
  const json again = alice.request("INVITE_CONFERENCE", {{"targetsCsv", carolUri}});
  ASSERT_TRUE(succeeded(again)) << again.dump() << parties.logs();
  EXPECT_EQ(again["payload"], (json{{"invitedCount", "1"}}));
  expectState(carol, "incomingReceived");
  ASSERT_TRUE(succeeded(carol.request("ANSWER_CALL"))) << carol.stderrText();
  const std::string rejoined = callsOf(alice, conferenceOf(bobUri, carolUri));
  EXPECT_TRUE(conferenceOf(bobUri, carolUri)(rejoined)) << rejoined << parties.logs();

  // Hanging up on the host ends the conference for everyone.
  ASSERT_TRUE(succeeded(alice.request("HANGUP_CALL")));
  expectCallEnded(bob, "bob");
  expectCallEnded(carol, "carol");
  EXPECT_TRUE(pollUntil([&] { return !inCall(alice); }, deadlineAfter(kShort))) << alice.stderrText();
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
  const auto trace = conferenceTraceSince(alice, 0, 4);
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
  const std::string joined = callsOf(alice, conferenceOf(bobUri, carolUri));
  EXPECT_TRUE(conferenceOf(bobUri, carolUri)(joined)) << joined << parties.logs();
  EXPECT_TRUE(pollUntil([&] { return parties.allAudioRunning(); }, deadlineAfter(kShort))) << parties.logs();

  ASSERT_TRUE(succeeded(alice.request("HANGUP_CALL")));
  expectCallEnded(bob, "bob");
  expectCallEnded(carol, "carol");
  EXPECT_TRUE(pollUntil([&] { return !inCall(alice); }, deadlineAfter(kShort))) << alice.stderrText();
}

// An invitation that found nobody to call once left an empty conference
// behind: the next HANGUP_CALL ended only that, answered success and the
// call went on on both sides; and the next invitation made during a call
// went into that conference without its anchor call.
TEST(HostedConference, AnInvitationOfNobodyLeavesNothingBehindForHangupOrTheNextInvitation) {
  ThreeParties parties;
  HelperClient& alice = *parties.alice;
  HelperClient& bob = *parties.bob;
  HelperClient& carol = *parties.carol;
  const auto inviteNobody = [&] {
    EXPECT_EQ(errorOf(alice.request("INVITE_CONFERENCE", {{"targetsCsv", std::string(kBadTarget)}})),
              "No callable participants");
  };

  inviteNobody();
  parties.aliceCallsBob();
  ASSERT_TRUE(succeeded(alice.request("HANGUP_CALL")));
  EXPECT_TRUE(pollUntil([&] { return !inCall(alice) && !inCall(bob); }, deadlineAfter(3s))) << parties.logs();

  inviteNobody();
  parties.aliceCallsBob();
  const std::string bobUri = parties.registrar.uri("bob");
  const std::string carolUri = parties.registrar.uri("carol");
  const json invited = alice.request("INVITE_CONFERENCE", {{"targetsCsv", carolUri}});
  ASSERT_TRUE(succeeded(invited)) << invited.dump() << parties.logs();
  expectState(carol, "incomingReceived");
  ASSERT_TRUE(succeeded(carol.request("ANSWER_CALL"))) << carol.stderrText();
  const std::string joined = callsOf(alice, conferenceOf(bobUri, carolUri));
  EXPECT_TRUE(conferenceOf(bobUri, carolUri)(joined)) << joined << parties.logs();

  ASSERT_TRUE(succeeded(alice.request("HANGUP_CALL")));
  expectCallEnded(bob, "bob");
  expectCallEnded(carol, "carol");
}

// HANGUP_CALL on a participant's side: its call belongs to the host's
// conference, which 5.1 crashed trying to terminate from there. Each
// participant leaves on its own; the others go on.
TEST(HostedConference, ParticipantsHangingUpLeaveAndTheOthersGoOn) {
  ThreeParties parties;
  HelperClient& alice = *parties.alice;
  HelperClient& bob = *parties.bob;
  HelperClient& carol = *parties.carol;
  const std::string bobUri = parties.registrar.uri("bob");
  const std::string carolUri = parties.registrar.uri("carol");
  parties.aliceCallsBob();
  ASSERT_TRUE(succeeded(alice.request("INVITE_CONFERENCE", {{"targetsCsv", carolUri}})));
  expectState(carol, "incomingReceived");
  ASSERT_TRUE(succeeded(carol.request("ANSWER_CALL"))) << carol.stderrText();
  const std::string joined = callsOf(alice, conferenceOf(bobUri, carolUri));
  ASSERT_TRUE(conferenceOf(bobUri, carolUri)(joined)) << joined << parties.logs();

  ASSERT_TRUE(succeeded(carol.request("HANGUP_CALL")));
  expectCallEnded(carol, "carol");
  const std::string left = callsOf(alice, [&](const std::string& calls) {
    return !contains(calls, "remote=" + carolUri) && contains(calls, "state=StreamsRunning remote=" + bobUri);
  });
  EXPECT_FALSE(contains(left, "remote=" + carolUri)) << left << parties.logs();
  EXPECT_TRUE(inCall(bob)) << "bob stays with alice";

  ASSERT_TRUE(succeeded(bob.request("HANGUP_CALL")));
  expectCallEnded(bob, "bob");
  EXPECT_TRUE(pollUntil([&] { return !inCall(alice); }, deadlineAfter(kShort))) << parties.logs();
}

// A host that never registered places and answers calls without a contact
// address of their own; 5.1 used to crash whenever such a call left the
// conference, whichever way it left. Each step below is one of those ways,
// and every request after it must still be answered.
TEST(UnregisteredHost, SurvivesEveryWayAnInviteeLeaves) {
  Kamailio registrar;
  PulseAudio pulse;
  auto host = startInitializedHelper(&pulse);
  auto bob = startRegisteredHelper(registrar, &pulse, "bob");
  auto carol = startRegisteredHelper(registrar, &pulse, "carol");
  const std::string bobUri = registrar.uri("bob");
  const std::string carolUri = registrar.uri("carol");
  const std::string daveUri = registrar.uri("dave");  // not registered: refused by the registrar
  auto logs = [&] {
    return "\n--- host ---\n" + host->stderrText() + "\n--- bob ---\n" + bob->stderrText() +
           "\n--- carol ---\n" + carol->stderrText();
  };

  ASSERT_TRUE(succeeded(host->request("MAKE_CALL", {{"target", bobUri}})));
  expectState(*bob, "incomingReceived");
  ASSERT_TRUE(succeeded(bob->request("ANSWER_CALL")));
  expectState(*host, "streamsRunning");

  // The invitation the registrar refuses ends while carol's still rings.
  const json invited = host->request("INVITE_CONFERENCE", {{"targetsCsv", carolUri + "," + daveUri}});
  ASSERT_TRUE(succeeded(invited)) << invited.dump() << logs();
  EXPECT_EQ(invited["payload"], (json{{"invitedCount", "2"}}));
  expectState(*carol, "incomingReceived");
  const std::string refused = callsOf(*host, [&](const std::string& calls) {
    return !contains(calls, "remote=" + daveUri) && contains(calls, "remote=" + carolUri);
  });
  EXPECT_FALSE(contains(refused, "remote=" + daveUri)) << refused << logs();

  // Removed by the host.
  ASSERT_TRUE(succeeded(carol->request("ANSWER_CALL"))) << carol->stderrText();
  const std::string joined = callsOf(*host, conferenceOf(bobUri, carolUri));
  EXPECT_TRUE(conferenceOf(bobUri, carolUri)(joined)) << joined << logs();
  EXPECT_TRUE(succeeded(host->request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", carolUri}}))) << logs();
  expectCallEnded(*carol, "carol");
  EXPECT_TRUE(inCall(*bob)) << "the host's call with bob goes on";

  // Hung up by the invitee.
  ASSERT_TRUE(succeeded(bob->request("HANGUP_CALL")));
  expectCallEnded(*bob, "bob");
  EXPECT_TRUE(pollUntil([&] { return !inCall(*host); }, deadlineAfter(kShort))) << logs();

  // Still ringing when the host hangs up.
  ASSERT_TRUE(succeeded(host->request("INVITE_CONFERENCE", {{"targetsCsv", carolUri}})));
  expectState(*carol, "incomingReceived");
  ASSERT_TRUE(succeeded(host->request("HANGUP_CALL")));
  EXPECT_TRUE(pollUntil([&] { return !inCall(*carol); }, deadlineAfter(kCallSetup))) << logs();
  EXPECT_TRUE(pollUntil([&] { return !inCall(*host); }, deadlineAfter(kShort))) << logs();

  const auto exit = host->closeAndWait();
  ASSERT_TRUE(exit.has_value());
  EXPECT_TRUE(exit->success()) << exit->describe() << logs();
}

// The engine holds at most ten calls (its default). 5.1 crashed on the
// eleventh invitation of a list; the list is refused whole instead, and one
// that fits still goes out.
TEST(ConferenceRequests, AListTheEngineCannotCallInFullIsRefusedWhole) {
  PulseAudio pulse;
  auto helper = startInitializedHelper(&pulse);
  auto targets = [](int count) {
    std::string csv;
    for (int i = 0; i < count; ++i)  // nothing answers there: the calls only have to be placed
      csv += (i ? "," : "") + std::string("sip:guest") + std::to_string(i) + "@127.0.0.1:" + std::to_string(9 + i);
    return csv;
  };

  EXPECT_EQ(errorOf(helper->request("INVITE_CONFERENCE", {{"targetsCsv", targets(11)}})),
            "inviteConference failed: exception(result: \"create null Call value\")");
  EXPECT_FALSE(inCall(*helper)) << "nobody was called";

  ASSERT_TRUE(succeeded(helper->request("HANGUP_CALL")));  // ends the empty conference that stays
  const json invited = helper->request("INVITE_CONFERENCE", {{"targetsCsv", targets(10)}});
  EXPECT_TRUE(succeeded(invited)) << invited.dump() << helper->stderrText();
  EXPECT_EQ(invited["payload"], (json{{"invitedCount", "10"}}));
  ASSERT_TRUE(succeeded(helper->request("HANGUP_CALL")));
  EXPECT_TRUE(pollUntil([&] { return !inCall(*helper); }, deadlineAfter(kCallSetup))) << helper->stderrText();

  const auto exit = helper->closeAndWait();
  ASSERT_TRUE(exit.has_value());
  EXPECT_TRUE(exit->success()) << exit->describe() << "\n" << helper->stderrText();
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

  // Without an account, bare words do not interpret: the conference is made,
  // then nobody can be invited, and the conference goes again before the
  // answer. Quotes, backslashes and a line break inside a target keep the
  // trace on one line.
  const std::string targets = R"( say "hi" ,, C:\dir ,)" + std::string(kBadTarget) + ", a\nb ";
  EXPECT_EQ(errorOf(helper.request("INVITE_CONFERENCE", {{"targetsCsv", targets}})), "No callable participants");
  const auto trace = conferenceTraceSince(helper, 0, 3);
  ASSERT_EQ(trace.size(), 3u) << helper.stderrText();
  EXPECT_EQ(trace[0], std::string(kTrace) +
                          R"(stage=adapter_enter currentCallPresent=false activeCallCount=0 conferencePresent=false )"
                          R"(anchorRemote= targets=["say \"hi\"", "C:\\dir", "sip:<nobody>@@", "a\nb"] callStates=[])");
  EXPECT_EQ(trace[1], std::string(kTrace) +
                          "stage=conference_created currentCallRemote= conferenceAfterCreate=true callStates=[]");
  EXPECT_EQ(trace[2], std::string(kTrace) + "stage=addresses_ready addressCount=0");

  // Nothing is left behind to capture the next invitation: it makes its own
  // conference again and fails the same way.
  EXPECT_EQ(errorOf(helper.request("INVITE_CONFERENCE", {{"targetsCsv", "nobody"}})), "No callable participants");
  EXPECT_EQ(conferenceTraceSince(helper, 3, 3).size(), 3u) << helper.stderrText();
  EXPECT_TRUE(succeeded(helper.request("HANGUP_CALL")));

  const auto exit = helper.closeAndWait();
  ASSERT_TRUE(exit.has_value());
  EXPECT_TRUE(exit->success()) << exit->describe() << "\n" << helper.stderrText();
}

}  // namespace
}  // namespace tavirel::test
