// Calls, DTMF, mute and audio devices, end to end: real helper processes
// registered at a real registrar call each other or a scripted SIP peer whose
// media is a socket of this test, with audio devices from a private sound
// server. Everything runs on 127.0.0.1 inside the test's network namespace;
// every wait has a deadline.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "FreePort.h"
#include "HelperClient.h"
#include "Kamailio.h"
#include "Parties.h"
#include "PulseAudio.h"
#include "SoundServer.h"
#include "Sipp.h"
#include "rtp_listener.h"

namespace tavirel::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kCallSetup = 15s;
constexpr auto kShort = 5s;

std::unique_ptr<HelperClient> startHelper(const SoundServer& pulse) { return startInitializedHelper(&pulse); }

std::unique_ptr<HelperClient> startRegistered(const Kamailio& registrar, const SoundServer& pulse,
                                              const std::string& user) {
  return startRegisteredHelper(registrar, &pulse, user);
}

std::string errorOf(const json& response) {
  return response.value("success", true) ? "<success>" : response.value("error", "<no error>");
}

json callState(HelperClient& helper) { return helper.query("GET_CALL_STATE"); }

bool inCall(HelperClient& helper) { return helper.query("IS_IN_CALL").at("inCall").get<bool>(); }

// Waits for `state` and returns the last GET_CALL_STATE payload; fails the
// test with the helper's log when the state does not come.
json expectState(HelperClient& helper, const std::string& state, Clock::duration timeout = kCallSetup) {
  const auto result = helper.waitForState("GET_CALL_STATE", state, timeout);
  EXPECT_TRUE(result.satisfied) << "waiting for " << state << ", last " << result.lastResponse.dump()
                                << "\n" << helper.stderrText();
  return result.lastResponse.value("payload", json::object());
}

// Polls GET_CALL_STATE as fast as the helper answers until `last` shows up
// and returns the distinct states seen, in order.
std::vector<std::string> statesUntil(HelperClient& helper, const std::string& last,
                                     Clock::duration timeout = kCallSetup) {
  std::vector<std::string> seen;
  pollUntil(
      [&] {
        const std::string state = callState(helper).at("state").get<std::string>();
        if (seen.empty() || seen.back() != state) seen.push_back(state);
        return state == last;
      },
      deadlineAfter(timeout), 1ms);
  return seen;
}

// Whether `seen` follows the order of `order` (each state of `seen` at or
// after the position of the one before it).
bool followsOrder(const std::vector<std::string>& seen, const std::vector<std::string>& order) {
  auto from = order.begin();
  for (const std::string& state : seen) {
    auto at = std::find(from, order.end(), state);
    if (at == order.end()) return false;
    from = at;
  }
  return true;
}

std::string joined(const std::vector<std::string>& states) {
  std::string text;
  for (const auto& state : states) text += (text.empty() ? "" : " > ") + state;
  return text;
}

// The stderr line `line` (from its start to its LF) appears within `timeout`.
bool traceLine(HelperClient& helper, const std::string& line, Clock::duration timeout = kShort) {
  return helper.process().waitForStderr("\n" + line + "\n", deadlineAfter(timeout)) ||
         helper.stderrText().rfind(line + "\n", 0) == 0;
}

// The stderr line that begins with `start`, or "" when none does yet.
std::string traceLineStartingWith(HelperClient& helper, const std::string& start,
                                  Clock::duration timeout = kShort) {
  std::string found;
  pollUntil(
      [&] {
        const std::string text = helper.stderrText();
        const auto at = text.find("\n" + start);
        if (at == std::string::npos) return false;
        const auto end = text.find('\n', at + 1);
        if (end == std::string::npos) return false;
        found = text.substr(at + 1, end - at - 1);
        return true;
      },
      deadlineAfter(timeout));
  return found;
}

json deviceList(HelperClient& helper, const char* command) {
  const json payload = helper.query(command);
  return json::parse(payload.at("devicesJson").get<std::string>());
}

const json* deviceNamed(const json& list, const std::string& name) {
  for (const json& device : list)
    if (device.at("name") == name) return &device;
  return nullptr;
}

std::vector<std::string> currentNames(const json& list) {
  std::vector<std::string> names;
  for (const json& device : list)
    if (device.at("current").get<bool>()) names.push_back(device.at("name").get<std::string>());
  return names;
}

std::string idOf(const json& list, const std::string& name) {
  const json* device = deviceNamed(list, name);
  if (device == nullptr) throw std::runtime_error("no device named " + name + " in " + list.dump());
  return device->at("id").get<std::string>();
}

const PulseOptions kTwoOutputsOneInput{
    .sinks = {{"tavirel_out_a", "Tavirel Out A"}, {"tavirel_out_b", "Tavirel Out B"}},
    .sources = {{"tavirel_in_a", "Tavirel In A"}},
};
const PulseOptions kTwoOutputsTwoInputs{
    .sinks = {{"tavirel_out_a", "Tavirel Out A"}, {"tavirel_out_b", "Tavirel Out B"}},
    .sources = {{"tavirel_in_a", "Tavirel In A"}, {"tavirel_in_b", "Tavirel In B"}},
};

// The suites whose audio must hold on PulseAudio and on PipeWire's
// PulseAudio-compatible server alike; each test starts its own server.
class OnEachSoundServer : public ::testing::TestWithParam<SoundServerKind> {
 protected:
  std::unique_ptr<SoundServer> startServer(PulseOptions options = {}) {
    return startSoundServer(GetParam(), std::move(options));
  }
};
class CallsFarEnd : public OnEachSoundServer {};
class AudioDevices : public OnEachSoundServer {};
class CallsBadInput : public OnEachSoundServer {};

// ---------------------------------------------------------------------------
// Calls between helpers

TEST(CallsBetweenHelpers, CallPassesThroughMirroredStatesAndEndsFromEitherSide) {
  Kamailio registrar;
  PulseAudio pulse;
  auto alice = startRegistered(registrar, pulse, "alice");
  auto bob = startRegistered(registrar, pulse, "bob");
  auto carol = startRegistered(registrar, pulse, "carol");

  // Nothing to answer or to send digits on yet.
  EXPECT_EQ(errorOf(bob->request("ANSWER_CALL")), "No current call");
  EXPECT_EQ(errorOf(alice->request("SEND_DTMF", {{"digit", "5"}}, "dtmf-no-call")), "No current call");
  EXPECT_TRUE(traceLine(*alice, "[DTMF_TRACE] stage=helper_no_call digit=5 requestId=dtmf-no-call "
                                "currentCallPresent=false activeCallCount=0 callStates=[]"))
      << alice->stderrText();
  EXPECT_FALSE(inCall(*alice));

  // Call 1: alice calls bob and bob answers.
  ASSERT_TRUE(alice->request("MAKE_CALL", {{"target", registrar.uri("bob")}}).value("success", false));
  const auto aliceSetup = statesUntil(*alice, "outgoingRinging");
  EXPECT_TRUE(followsOrder(aliceSetup, {"idle", "outgoingInit", "outgoingProgress", "outgoingRinging"}))
      << joined(aliceSetup);
  const json bobRinging = expectState(*bob, "incomingReceived");
  EXPECT_NE(bobRinging.value("remoteAddress", "").find("sip:alice@"), std::string::npos) << bobRinging;
  EXPECT_EQ(bobRinging.value("callLogStatus", ""), "none");
  EXPECT_NE(callState(*alice).value("remoteAddress", "").find("sip:bob@"), std::string::npos);
  EXPECT_TRUE(inCall(*alice));
  EXPECT_TRUE(inCall(*bob));

  ASSERT_TRUE(bob->request("ANSWER_CALL").value("success", false)) << bob->stderrText();
  // Connected ("idle") may last a single engine iteration, which a poll on a
  // loaded machine can miss, so only the order is required here; the mapping
  // of Connected itself is checked by the mirror's own test.
  const auto aliceAnswer = statesUntil(*alice, "streamsRunning");
  EXPECT_TRUE(followsOrder(aliceAnswer, {"outgoingRinging", "idle", "streamsRunning"})) << joined(aliceAnswer);
  const auto bobAnswer = statesUntil(*bob, "streamsRunning");
  EXPECT_TRUE(followsOrder(bobAnswer, {"incomingReceived", "idle", "streamsRunning"})) << joined(bobAnswer);

  // Answering a call that already runs is the engine's refusal, worded as such.
  EXPECT_EQ(errorOf(bob->request("ANSWER_CALL")),
            "accept failed: exception(result: \"acceptWithParams returned value -1\")");

  // A second caller rings at bob while the first call runs: the digit still
  // goes to the current call, and the trace lists both calls in engine order.
  ASSERT_TRUE(carol->request("MAKE_CALL", {{"target", registrar.uri("bob")}}).value("success", false));
  expectState(*carol, "outgoingRinging");
  ASSERT_TRUE(bob->request("SEND_DTMF", {{"digit", "7"}}, "dtmf-two-calls").value("success", false))
      << bob->stderrText();
  const std::string selected = traceLineStartingWith(
      *bob, "[DTMF_TRACE] stage=helper_selected_call digit=7 requestId=dtmf-two-calls ");
  EXPECT_NE(selected.find(" currentCallPresent=true activeCallCount=2 selectedRemote=sip:alice@127.0.0.1"),
            std::string::npos) << selected;
  EXPECT_NE(selected.find(" selectedState=StreamsRunning callStates=[#0:state=StreamsRunning "
                          "remote=sip:alice@127.0.0.1"),
            std::string::npos) << selected;
  EXPECT_NE(selected.find(" conference=false | #1:state=IncomingReceived remote=sip:carol@127.0.0.1"),
            std::string::npos) << selected;
  EXPECT_TRUE(selected.ends_with(" conference=false]")) << selected;

  // alice, the caller, hangs up. Her side keeps the remote address and logs
  // the call as a success.
  ASSERT_TRUE(alice->request("HANGUP_CALL").value("success", false));
  const auto aliceEnd = statesUntil(*alice, "released");
  EXPECT_TRUE(followsOrder(aliceEnd, {"streamsRunning", "end", "released"})) << joined(aliceEnd);
  const json aliceAfter =
      alice->waitFor("GET_CALL_STATE", [](const json& r) { return r["payload"]["callLogStatus"] == "success"; },
                     kShort).lastResponse["payload"];
  EXPECT_EQ(aliceAfter.value("state", ""), "released");
  EXPECT_EQ(aliceAfter.value("callLogStatus", ""), "success");
  EXPECT_NE(aliceAfter.value("remoteAddress", "").find("sip:bob@"), std::string::npos) << aliceAfter;
  EXPECT_EQ(alice->query("GET_CURRENT_REMOTE_ADDRESS").value("remoteAddress", ""),
            aliceAfter.value("remoteAddress", ""));
  EXPECT_FALSE(inCall(*alice));

  // bob is left with carol's call ringing, which the engine does not make
  // its current call: ANSWER_CALL has nothing to answer, and a digit falls
  // back to the first call there is.
  ASSERT_TRUE(pollUntil([&] { return bob->request("SEND_DTMF", {{"digit", "8"}}, "dtmf-ringing")
                                         .value("success", false) &&
                                     traceLineStartingWith(*bob, "[DTMF_TRACE] stage=helper_selected_call digit=8 "
                                                                 "requestId=dtmf-ringing currentCallPresent=false",
                                                           0s) != ""; },
                        deadlineAfter(kShort)))
      << bob->stderrText();
  const std::string fallback = traceLineStartingWith(
      *bob, "[DTMF_TRACE] stage=helper_selected_call digit=8 requestId=dtmf-ringing currentCallPresent=false");
  EXPECT_NE(fallback.find(" activeCallCount=1 selectedRemote=sip:carol@127.0.0.1"), std::string::npos) << fallback;
  EXPECT_NE(fallback.find(" selectedState=IncomingReceived callStates=[#0:state=IncomingReceived "
                          "remote=sip:carol@127.0.0.1"),
            std::string::npos) << fallback;
  EXPECT_EQ(errorOf(bob->request("ANSWER_CALL")), "No current call");
  ASSERT_TRUE(carol->request("HANGUP_CALL").value("success", false));
  expectState(*carol, "released");
  expectState(*bob, "released");
  EXPECT_TRUE(pollUntil([&] { return !inCall(*bob); }, deadlineAfter(kShort)));

  // Call 2: bob calls alice; alice answers and, as the callee, hangs up.
  ASSERT_TRUE(bob->request("MAKE_CALL", {{"target", registrar.uri("alice")}}).value("success", false));
  const json aliceRinging = expectState(*alice, "incomingReceived");
  EXPECT_EQ(aliceRinging.value("callLogStatus", ""), "none");  // reset by the new call
  EXPECT_NE(aliceRinging.value("remoteAddress", "").find("sip:bob@"), std::string::npos) << aliceRinging;
  ASSERT_TRUE(alice->request("ANSWER_CALL").value("success", false)) << alice->stderrText();
  expectState(*bob, "streamsRunning");
  expectState(*alice, "streamsRunning");
  ASSERT_TRUE(alice->request("HANGUP_CALL").value("success", false));
  const json bobReleased = expectState(*bob, "released");
  EXPECT_NE(bobReleased.value("remoteAddress", "").find("sip:alice@"), std::string::npos) << bobReleased;
  EXPECT_TRUE(bob->waitFor("GET_CALL_STATE",
                           [](const json& r) { return r["payload"]["callLogStatus"] == "success"; }, kShort)
                  .satisfied);
  expectState(*alice, "released");
  EXPECT_FALSE(inCall(*alice));
  EXPECT_FALSE(inCall(*bob));

  // With nothing left, hanging up again is harmless.
  EXPECT_TRUE(alice->request("HANGUP_CALL").value("success", false));
}

// ---------------------------------------------------------------------------
// What the far end really receives

// The SDP body of the far ends below: a session on 127.0.0.1 whose media
// lines (sipp scenario text) are `media`.
std::string farEndSdp(const std::string& media) {
  return R"(      Content-Type: application/sdp
      Content-Length: [len]

      v=0
      o=farend 1 1 IN IP4 127.0.0.1
      s=-
      c=IN IP4 127.0.0.1
      t=0 0
)" + media;
}

// A callee that answers with PCMU and telephone events on `rtpPort` (a socket
// of the test), using the caller's payload type number for the events.
std::string answerWithMediaAt(std::uint16_t rtpPort) {
  const std::string sdp = farEndSdp(R"(      m=audio )" + std::to_string(rtpPort) + R"( RTP/AVP 0 [$event]
      a=rtpmap:0 PCMU/8000
      a=rtpmap:[$event] telephone-event/8000
      a=fmtp:[$event] 0-15
      a=sendrecv
)");
  auto response = [](const std::string& status, const std::string& body) {
    return "  <send" + std::string(status.starts_with("200") ? " retrans=\"500\"" : "") + R"(>
    <![CDATA[
      SIP/2.0 )" + status + R"(
      [last_Via:]
      [last_From:]
      [last_To:];tag=[pid]farend[call_number]
      [last_Call-ID:]
      [last_CSeq:]
      [last_Record-Route:]
      Contact: <sip:[service]@[local_ip]:[local_port]>
)" + (body.empty() ? "      Content-Length: 0\n" : body) + R"(    ]]>
  </send>
)";
  };
  return R"(<?xml version="1.0" encoding="ISO-8859-1" ?>
<!DOCTYPE scenario SYSTEM "sipp.dtd">
<scenario name="far end with test media">
  <recv request="INVITE" crlf="true">
    <action>
      <ereg regexp="a=rtpmap:([0-9]+) telephone-event/8000" search_in="body" check_it="true"
            assign_to="offered,event"/>
      <log message="caller offers [$offered]"/>
    </action>
  </recv>
)" + response("180 Ringing", "") + response("200 OK", sdp) + R"(  <recv request="ACK" crlf="true"/>
  <recv request="BYE"/>
)" + sippOkToLastRequest() + R"(</scenario>
)";
}

struct EventRun {
  int event;
  bool ended;
};

// Telephone-event packets collapsed into one entry per digit sent: RFC 2833
// repeats a digit's packets (same RTP timestamp) until and after its end.
std::vector<EventRun> digitsReceived(const std::vector<RtpPacket>& packets, int eventPayloadType) {
  std::vector<EventRun> runs;
  std::optional<std::uint32_t> runTimestamp;
  for (const RtpPacket& packet : packets) {
    if (packet.payloadType != eventPayloadType) continue;
    const auto event = parseTelephoneEvent(packet.payload);
    if (!event) continue;
    if (!runTimestamp || *runTimestamp != packet.timestamp) {
      runs.push_back({event->event, false});
      runTimestamp = packet.timestamp;
    }
    runs.back().ended = runs.back().ended || event->end;
  }
  return runs;
}

std::string describe(const std::vector<EventRun>& runs) {
  std::string text;
  for (const EventRun& run : runs)
    text += std::to_string(run.event) + (run.ended ? "(end) " : "(open) ");
  return text;
}

// Loudness of the voice packets received from `since` on: the quietest and
// loudest packet, and how many there were.
struct Loudness {
  double quietest = 1e9;
  double loudest = 0;
  std::size_t packets = 0;
};
Loudness voiceSince(const RtpListener& rtp, Clock::time_point since) {
  Loudness loudness;
  for (const RtpPacket& packet : rtp.packetsSince(since)) {
    if (packet.payloadType != 0) continue;
    const double rms = muLawRms(packet.payload);
    loudness.quietest = std::min(loudness.quietest, rms);
    loudness.loudest = std::max(loudness.loudest, rms);
    ++loudness.packets;
  }
  return loudness;
}

// What the far end heard lately, for failure messages: a stalled stream and
// a stream that never settles look alike to voiceSettles().
std::string lately(const RtpListener& rtp) {
  const Loudness heard = voiceSince(rtp, Clock::now() - 2s);
  return std::to_string(heard.packets) + " voice packets in the last 2 s" +
         (heard.packets == 0 ? std::string()
                             : ", RMS " + std::to_string(static_cast<int>(heard.quietest)) + " to " +
                                   std::to_string(static_cast<int>(heard.loudest)));
}

// Waits until the far end hears a steady tone (`loud`) or silence: 10 voice
// packets in a row that are all loud or all quiet. Packets already on their
// way when the microphone changed may differ, so a window that has not
// settled after 40 packets starts again.
bool voiceSettles(const RtpListener& rtp, bool loud, Clock::duration timeout) {
  auto since = Clock::now();
  return pollUntil(
      [&] {
        const Loudness now = voiceSince(rtp, since);
        if (now.packets >= 10 && (loud ? now.quietest > 1000 : now.loudest < 50)) return true;
        if (now.packets > 40) since = Clock::now();
        return false;
      },
      deadlineAfter(timeout));
}

TEST_P(CallsFarEnd, DtmfArrivesAsRfc2833AndMuteSilencesTheMicrophone) {
  Kamailio registrar;
  const auto server = startServer();
  SoundServer& pulse = *server;
  // A steady tone as the microphone, so silence at the far end means mute.
  pulse.plugToneSource({"tavirel_tone", "Tavirel_Tone"});
  auto alice = startRegistered(registrar, pulse, "alice");
  const std::string toneId = idOf(deviceList(*alice, "GET_AUDIO_INPUT_DEVICES"), "Tavirel_Tone");
  ASSERT_TRUE(alice->request("SET_AUDIO_INPUT_DEVICE", {{"deviceId", toneId}}).value("success", false));

  RtpListener rtp;
  const std::uint16_t farEndPort = freeUdpPort();
  Sipp registration({.scenarioXml = sippRegisterScenario(farEndPort, 300, 200),
                     .remote = registrar.server(),
                     .service = "dave",
                     .credentials = Kamailio::user("dave")});
  const auto registered = registration.waitExit(deadlineAfter(15s));
  ASSERT_TRUE(registered && registered->success()) << registration.output();
  Sipp farEnd({.scenarioXml = answerWithMediaAt(rtp.port()),
               .service = "dave",
               .localPort = farEndPort,
               .timeout = std::chrono::seconds(60)});

  ASSERT_TRUE(alice->request("MAKE_CALL", {{"target", registrar.uri("dave")}}).value("success", false));
  expectState(*alice, "streamsRunning");
  // PulseAudio buffers a second or two of capture before it reaches the
  // call, so changes at the microphone take that long to be heard there
  // (PipeWire's pulse server far less: the whole test runs in a third of
  // the time on it).
  EXPECT_TRUE(voiceSettles(rtp, true, kCallSetup))
      << "tone not heard: " << voiceSince(rtp, {}).packets << " voice packets, " << lately(rtp) << "\n"
      << farEnd.output();

  // "12" sends only its first byte. A later digit bounds the wait for a
  // stray "2" without sleeping: it would arrive before that digit. The later
  // digit waits for the first to end, as a person's key presses do; the
  // engine drops a digit sent while the previous one is still going out.
  int eventType = -1;
  auto digitsSoFar = [&] {
    for (const RtpPacket& packet : rtp.packets())
      if (packet.payloadType != 0 && parseTelephoneEvent(packet.payload)) eventType = packet.payloadType;
    return eventType < 0 ? std::vector<EventRun>{} : digitsReceived(rtp.packets(), eventType);
  };
  auto lastDigitEnded = [&](int event) {
    return pollUntil([&] {
      const auto runs = digitsSoFar();
      return !runs.empty() && runs.back().event == event && runs.back().ended;
    }, deadlineAfter(kShort));
  };
  ASSERT_TRUE(alice->request("SEND_DTMF", {{"digit", "12"}}, "dtmf-12").value("success", false))
      << alice->stderrText();
  EXPECT_TRUE(lastDigitEnded(1)) << describe(digitsSoFar());
  ASSERT_TRUE(alice->request("SEND_DTMF", {{"digit", "3"}}, "dtmf-3").value("success", false));
  EXPECT_TRUE(lastDigitEnded(3)) << describe(digitsSoFar());
  const auto runs = digitsSoFar();
  ASSERT_EQ(runs.size(), 2u) << describe(runs);
  EXPECT_EQ(runs[0].event, 1);
  EXPECT_EQ(runs[1].event, 3);

  // A key the engine has no telephone event for would be dropped silently by
  // it; the answer says so instead of reporting it sent. Only the first byte
  // counts, so "\u00e9" is judged by its lead byte.
  int badKey = 0;
  for (const std::string key : {"x", "\u00e9", " 1"}) {
    const std::string id = "dtmf-bad-" + std::to_string(++badKey);
    EXPECT_EQ(errorOf(alice->request("SEND_DTMF", {{"digit", key}}, id)),
              "sendDtmf failed: exception(result: \"sendDtmf returned value -1\")") << key;
    EXPECT_FALSE(traceLineStartingWith(*alice, "[DTMF_TRACE] stage=helper_send_error digit=" + key +
                                                   " requestId=" + id +
                                                   " error=exception(result: \"sendDtmf returned value -1\")")
                     .empty()) << key;
  }

  const std::string selected = traceLineStartingWith(
      *alice, "[DTMF_TRACE] stage=helper_selected_call digit=12 requestId=dtmf-12 ");
  EXPECT_NE(selected.find(" currentCallPresent=true activeCallCount=1 selectedRemote=sip:dave@127.0.0.1"),
            std::string::npos) << selected;
  EXPECT_NE(selected.find(" selectedState=StreamsRunning callStates=[#0:state=StreamsRunning remote=sip:dave@"),
            std::string::npos) << selected;
  EXPECT_TRUE(selected.ends_with(" conference=false]")) << selected;
  const std::string sent = traceLineStartingWith(
      *alice, "[DTMF_TRACE] stage=helper_send_success digit=12 requestId=dtmf-12 selectedRemote=sip:dave@");
  EXPECT_TRUE(sent.ends_with(" selectedState=StreamsRunning")) << sent;

  // Mute: the tone stops reaching the far end; "muted" as a string counts as
  // false and brings it back.
  ASSERT_TRUE(alice->request("SET_MIC_MUTED", {{"muted", true}}).value("success", false));
  EXPECT_TRUE(voiceSettles(rtp, false, kCallSetup)) << "still loud while muted: " << lately(rtp);
  ASSERT_TRUE(alice->request("SET_MIC_MUTED", {{"muted", "true"}}).value("success", false));
  EXPECT_TRUE(voiceSettles(rtp, true, kCallSetup)) << "tone not back after unmute: " << lately(rtp);

  ASSERT_TRUE(alice->request("HANGUP_CALL").value("success", false));
  expectState(*alice, "released");
  const auto farEndExit = farEnd.waitExit(deadlineAfter(10s));
  EXPECT_TRUE(farEndExit && farEndExit->success()) << farEnd.output();
}

// ---------------------------------------------------------------------------
// Audio devices

// The devices a helper's streams of one kind are attached to, by device
// name, one entry per stream; empty while it has none.
std::vector<std::string> devicesOfStreams(const SoundServer& pulse, pid_t helper, const std::string& devices,
                                          const std::string& streams, const std::string& deviceKey) {
  const json known = json::parse(pulse.pactl({"-f", "json", "list", devices}));
  const json open = json::parse(pulse.pactl({"-f", "json", "list", streams}));
  std::vector<std::string> names;
  for (const json& stream : open) {
    const json& properties = stream.value("properties", json::object());
    if (properties.value("application.process.id", "") != std::to_string(helper)) continue;
    for (const json& device : known)
      if (device.at("index") == stream.at(deviceKey)) names.push_back(device.at("name").get<std::string>());
  }
  return names;
}

std::vector<std::string> playbackSinksOf(const SoundServer& pulse, pid_t helper) {
  return devicesOfStreams(pulse, helper, "sinks", "sink-inputs", "sink");
}

std::vector<std::string> captureSourcesOf(const SoundServer& pulse, pid_t helper) {
  return devicesOfStreams(pulse, helper, "sources", "source-outputs", "source");
}

std::string joinedSinks(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
  return "[" + text + "]";
}

TEST_P(AudioDevices, ListsAndSelectsOutputsAndInputs) {
  const auto server = startServer(kTwoOutputsOneInput);
  SoundServer& pulse = *server;
  auto helper = startHelper(pulse);

  const json outputs = deviceList(*helper, "GET_AUDIO_DEVICES");
  ASSERT_NE(deviceNamed(outputs, "Tavirel Out A"), nullptr) << outputs;
  ASSERT_NE(deviceNamed(outputs, "Tavirel Out B"), nullptr) << outputs;
  EXPECT_EQ(deviceNamed(outputs, "Tavirel In A"), nullptr) << "capture-only device listed as output";
  EXPECT_EQ(currentNames(outputs).size(), 1u) << outputs;
  for (const json& device : outputs) {
    EXPECT_FALSE(device.at("id").get<std::string>().empty()) << device;
    EXPECT_FALSE(device.at("name").get<std::string>().empty()) << device;
    EXPECT_TRUE(device.at("type").is_string()) << device;
  }
  const json inputs = deviceList(*helper, "GET_AUDIO_INPUT_DEVICES");
  ASSERT_NE(deviceNamed(inputs, "Tavirel In A"), nullptr) << inputs;
  EXPECT_EQ(deviceNamed(inputs, "Tavirel Out A"), nullptr) << "playback-only device listed as input";

  // Output selection marks the device and re-applies the gain to it.
  const std::string outB = idOf(outputs, "Tavirel Out B");
  ASSERT_TRUE(helper->request("SET_AUDIO_DEVICE", {{"deviceId", outB}}).value("success", false))
      << helper->stderrText();
  EXPECT_EQ(currentNames(deviceList(*helper, "GET_AUDIO_DEVICES")), std::vector<std::string>{"Tavirel Out B"});
  EXPECT_TRUE(traceLine(*helper, "[CONF_INVITE_TRACE] [AUDIO_GAIN_TRACE] deviceName=Tavirel Out B type=" +
                                     deviceNamed(outputs, "Tavirel Out B")->at("type").get<std::string>() +
                                     " id=" + outB + " gainDb=6.0"))
      << helper->stderrText();

  const std::string inA = idOf(inputs, "Tavirel In A");
  ASSERT_TRUE(helper->request("SET_AUDIO_INPUT_DEVICE", {{"deviceId", inA}}).value("success", false));
  EXPECT_EQ(currentNames(deviceList(*helper, "GET_AUDIO_INPUT_DEVICES")),
            std::vector<std::string>{"Tavirel In A"});
  EXPECT_TRUE(traceLine(*helper, "[CONF_INVITE_TRACE] [AUDIO_INPUT_DEVICE_TRACE] selected id=" + inA +
                                     " name=Tavirel In A type=" +
                                     deviceNamed(inputs, "Tavirel In A")->at("type").get<std::string>()))
      << helper->stderrText();

  // A sink that appears just before it is chosen can be chosen: selection
  // re-scans the devices first. Its id follows the pattern of the others.
  pulse.plugSink({"tavirel_out_c", "Tavirel Out C"});
  const std::string outA = idOf(outputs, "Tavirel Out A");
  const std::string outC = outA.substr(0, outA.size() - std::string("Tavirel Out A").size()) + "Tavirel Out C";
  ASSERT_TRUE(helper->request("SET_AUDIO_DEVICE", {{"deviceId", outC}}).value("success", false))
      << helper->stderrText();
  EXPECT_EQ(currentNames(deviceList(*helper, "GET_AUDIO_DEVICES")), std::vector<std::string>{"Tavirel Out C"});
}

// The server's default devices are the ones a call uses when nobody chose
// others, also when they are not the first the server lists.
TEST_P(AudioDevices, ACallPlaysAndRecordsOnTheServersDefaults) {
  Kamailio registrar;
  const auto server = startServer(kTwoOutputsTwoInputs);
  SoundServer& pulse = *server;
  pulse.pactl({"set-default-sink", "tavirel_out_b"});
  pulse.pactl({"set-default-source", "tavirel_in_b"});
  auto alice = startRegistered(registrar, pulse, "alice");
  auto bob = startRegistered(registrar, pulse, "bob");
  EXPECT_TRUE(traceLine(*alice, "[CONF_INVITE_TRACE] [AUDIO_DEVICE_TRACE] initialized platform defaults "
                                "output=Tavirel Out B input=Tavirel In B"))
      << alice->stderrText();
  ASSERT_TRUE(alice->request("MAKE_CALL", {{"target", registrar.uri("bob")}}).value("success", false));
  expectState(*bob, "incomingReceived");
  ASSERT_TRUE(bob->request("ANSWER_CALL").value("success", false));
  expectState(*alice, "streamsRunning");
  const pid_t alicePid = alice->process().pid();
  EXPECT_TRUE(pollUntil([&] { return playbackSinksOf(pulse, alicePid) == std::vector<std::string>{"tavirel_out_b"}; },
                        deadlineAfter(kShort)))
      << joinedSinks(playbackSinksOf(pulse, alicePid));
  EXPECT_TRUE(pollUntil([&] { return captureSourcesOf(pulse, alicePid) == std::vector<std::string>{"tavirel_in_b"}; },
                        deadlineAfter(kShort)))
      << joinedSinks(captureSourcesOf(pulse, alicePid));
  ASSERT_TRUE(alice->request("HANGUP_CALL").value("success", false));
  expectState(*bob, "released");
}

// Selecting an output while a call runs hands the device to the call and
// makes it the default. The running call moves too: our cards' filters take
// the engine's in-call switch and open their stream on the new device, for
// the speaker and for the microphone, without a new call.
TEST_P(AudioDevices, SelectionDuringACallMovesTheRunningCallAndReachesTheNextOne) {
  Kamailio registrar;
  const auto server = startServer(kTwoOutputsTwoInputs);
  SoundServer& pulse = *server;
  auto alice = startRegistered(registrar, pulse, "alice");
  auto bob = startRegistered(registrar, pulse, "bob");
  const json outputs = deviceList(*alice, "GET_AUDIO_DEVICES");
  const std::string outA = idOf(outputs, "Tavirel Out A"), outB = idOf(outputs, "Tavirel Out B");
  const std::string inB = idOf(deviceList(*alice, "GET_AUDIO_INPUT_DEVICES"), "Tavirel In B");
  ASSERT_TRUE(alice->request("SET_AUDIO_DEVICE", {{"deviceId", outA}}).value("success", false));
  const pid_t alicePid = alice->process().pid();
  auto callBob = [&] {
    ASSERT_TRUE(alice->request("MAKE_CALL", {{"target", registrar.uri("bob")}}).value("success", false));
    expectState(*bob, "incomingReceived");
    ASSERT_TRUE(bob->request("ANSWER_CALL").value("success", false));
    expectState(*alice, "streamsRunning");
  };
  auto playsOn = [&](const std::string& sink, Clock::duration within = kShort) {
    const bool playing = pollUntil([&] { return playbackSinksOf(pulse, alicePid) == std::vector{sink}; },
                                   deadlineAfter(within));
    EXPECT_TRUE(playing) << "expected " << sink << ", playing on "
                         << joinedSinks(playbackSinksOf(pulse, alicePid));
  };

  callBob();
  playsOn("tavirel_out_a");
  ASSERT_TRUE(alice->request("SET_AUDIO_DEVICE", {{"deviceId", outB}}).value("success", false))
      << alice->stderrText();
  playsOn("tavirel_out_b", 2s);
  ASSERT_TRUE(alice->request("SET_AUDIO_INPUT_DEVICE", {{"deviceId", inB}}).value("success", false))
      << alice->stderrText();
  EXPECT_TRUE(pollUntil([&] { return captureSourcesOf(pulse, alicePid) == std::vector<std::string>{"tavirel_in_b"}; },
                        deadlineAfter(2s)))
      << joinedSinks(captureSourcesOf(pulse, alicePid));
  // During a call the list shows the call's own output device.
  EXPECT_EQ(currentNames(deviceList(*alice, "GET_AUDIO_DEVICES")), std::vector<std::string>{"Tavirel Out B"});
  EXPECT_TRUE(traceLine(*alice, "[CONF_INVITE_TRACE] [AUDIO_GAIN_TRACE] deviceName=Tavirel Out B type=" +
                                    deviceNamed(outputs, "Tavirel Out B")->at("type").get<std::string>() +
                                    " id=" + outB + " gainDb=6.0"));
  EXPECT_EQ(callState(*alice).value("state", ""), "streamsRunning");
  ASSERT_TRUE(alice->request("HANGUP_CALL").value("success", false));
  expectState(*bob, "released");
  expectState(*alice, "released");
  ASSERT_TRUE(pollUntil([&] { return !inCall(*alice) && !inCall(*bob); }, deadlineAfter(kShort)));

  callBob();
  playsOn("tavirel_out_b");
  ASSERT_TRUE(bob->request("HANGUP_CALL").value("success", false));
  expectState(*alice, "released");
}

// The same during a conference this helper hosts. The engine has no current
// call then, so it is the engine-wide selection that reaches the
// conference's mixer; the conference must come through it whole.
TEST_P(AudioDevices, OutputSelectionDuringAHostedConference) {
  Kamailio registrar;
  const auto server = startServer(kTwoOutputsOneInput);
  SoundServer& pulse = *server;
  auto alice = startRegistered(registrar, pulse, "alice");
  auto bob = startRegistered(registrar, pulse, "bob");
  auto carol = startRegistered(registrar, pulse, "carol");
  const json outputs = deviceList(*alice, "GET_AUDIO_DEVICES");

  const json invited = alice->request(
      "INVITE_CONFERENCE", {{"targetsCsv", registrar.uri("bob") + "," + registrar.uri("carol")}});
  ASSERT_TRUE(invited.value("success", false)) << invited.dump() << alice->stderrText();
  expectState(*bob, "incomingReceived");
  expectState(*carol, "incomingReceived");
  ASSERT_TRUE(bob->request("ANSWER_CALL").value("success", false));
  ASSERT_TRUE(carol->request("ANSWER_CALL").value("success", false));
  expectState(*bob, "streamsRunning");
  expectState(*carol, "streamsRunning");

  // alice's own view of her calls, from the DTMF trace: both in the
  // conference with media running. Her side may lag the participants'.
  int probes = 0;
  std::string calls;
  auto conferenceRunning = [&] {
    return pollUntil(
        [&] {
          const std::string id = "dtmf-conference-" + std::to_string(++probes);
          if (!alice->request("SEND_DTMF", {{"digit", "9"}}, id).value("success", false)) return false;
          calls = traceLineStartingWith(*alice, "[DTMF_TRACE] stage=helper_selected_call digit=9 requestId=" + id + " ");
          return calls.find("activeCallCount=2 ") != std::string::npos &&
                 calls.find("callStates=[#0:state=StreamsRunning remote=sip:bob@127.0.0.1") != std::string::npos &&
                 calls.find(" conference=true | #1:state=StreamsRunning remote=sip:carol@127.0.0.1") !=
                     std::string::npos &&
                 calls.ends_with(" conference=true]");
        },
        deadlineAfter(kCallSetup), 100ms);
  };
  ASSERT_TRUE(conferenceRunning()) << calls;

  const std::string outB = idOf(outputs, "Tavirel Out B");
  ASSERT_TRUE(alice->request("SET_AUDIO_DEVICE", {{"deviceId", outB}}).value("success", false))
      << alice->stderrText();
  EXPECT_TRUE(traceLine(*alice, "[CONF_INVITE_TRACE] [AUDIO_GAIN_TRACE] deviceName=Tavirel Out B type=" +
                                    deviceNamed(outputs, "Tavirel Out B")->at("type").get<std::string>() +
                                    " id=" + outB + " gainDb=6.0"));
  EXPECT_TRUE(conferenceRunning()) << calls;
  EXPECT_EQ(callState(*bob).value("state", ""), "streamsRunning");
  EXPECT_EQ(callState(*carol).value("state", ""), "streamsRunning");

  ASSERT_TRUE(alice->request("HANGUP_CALL").value("success", false));
  expectState(*bob, "released");
  expectState(*carol, "released");
}

// A call to the helper's own address comes back through the registrar with
// the outgoing call's Call-ID. 5.1 used to take the returning INVITE into
// the outgoing call, which, answered and hung up, stayed in the engine's
// list as released; SEND_DTMF picked it (the anchor rule takes any call
// left) and must refuse instead of sending into the audio streams 5.1 has
// already freed, which crashed the helper. The helper now keeps the two
// apart and nothing is left after the hang-up, so the digit finds no call.
TEST(CallsToSelf, ADigitForTheEndedCallLeftInTheListIsRefused) {
  Kamailio registrar;
  PulseAudio pulse;
  auto bob = startRegistered(registrar, pulse, "bob");
  ASSERT_TRUE(bob->request("MAKE_CALL", {{"target", registrar.uri("bob")}}).value("success", false));
  const auto looped = bob->waitFor(
      "GET_CALL_STATE",
      [](const json& r) {
        // Ringing once the INVITE is back; the call it was folded into read
        // as connected ("idle") with the returning side's address.
        return r["payload"]["state"] == "outgoingRinging" ||
               (r["payload"]["remoteAddress"] == "sip:bob@127.0.0.1" && r["payload"]["state"] == "idle");
      },
      kCallSetup);
  ASSERT_TRUE(looped.satisfied) << looped.lastResponse.dump() << bob->stderrText();
  (void)bob->request("ANSWER_CALL");
  ASSERT_TRUE(bob->request("HANGUP_CALL").value("success", false));
  expectState(*bob, "released");
  const bool callLeft = !pollUntil([&] { return !inCall(*bob); }, deadlineAfter(kShort));

  const json refused = bob->request("SEND_DTMF", {{"digit", "5"}}, "dtmf-ended");
  if (callLeft) {
    EXPECT_EQ(errorOf(refused), "sendDtmf failed: exception(result: \"sendDtmf returned value -1\")");
    const std::string selected =
        traceLineStartingWith(*bob, "[DTMF_TRACE] stage=helper_selected_call digit=5 requestId=dtmf-ended ");
    EXPECT_NE(selected.find(" selectedState=Released "), std::string::npos) << selected;
  } else {
    EXPECT_EQ(errorOf(refused), "No current call");
    EXPECT_TRUE(traceLine(*bob, "[DTMF_TRACE] stage=helper_no_call digit=5 requestId=dtmf-ended currentCallPresent=false "
                                "activeCallCount=0 callStates=[]"));
  }
  (void)bob->query("GET_CALL_STATE");  // throws if the helper has gone
}

// A far end that answers just as the caller gives up, then re-INVITEs the
// call it believes it has (to hold it, say) while the caller's BYE is on
// its way. The caller's engine ends the call without acknowledging the
// crossing 200 OK and then meets a re-INVITE on a call it has ended: the
// family of races in which 5.1 reads a freed RTP session
// (engine/stopped_stream_guard.cpp).
std::string answerAfterTheCancelThenReinvite() {
  const std::string sdp = farEndSdp(R"(      m=audio [media_port] RTP/AVP 0
      a=rtpmap:0 PCMU/8000
      a=sendonly
)");
  // Straight from the caller, so the CANCEL carries the INVITE's own Via
  // and the answer to the INVITE can be built from it.
  return R"xml(<?xml version="1.0" encoding="ISO-8859-1" ?>
<!DOCTYPE scenario SYSTEM "sipp.dtd">
<scenario name="answer crossing the cancel, then re-INVITE">
  <recv request="INVITE" crlf="true">
    <action>
      <ereg regexp="CSeq: *([0-9]+) INVITE" search_in="msg" check_it="true" assign_to="cseqLine,inviteCseq"/>
      <ereg regexp="Contact: *&lt;([^&gt;]*)&gt;" search_in="msg" check_it="true" assign_to="contactLine,callerContact"/>
      <ereg regexp="From: *([^\r\n]*)" search_in="msg" check_it="true" assign_to="fromLine,callerFrom"/>
      <ereg regexp="To: *([^\r\n]*)" search_in="msg" check_it="true" assign_to="toLine,calleeTo"/>
      <log message="offer: [$cseqLine] [$contactLine] [$fromLine] [$toLine]"/>
    </action>
  </recv>
  <send>
    <![CDATA[
      SIP/2.0 180 Ringing
      [last_Via:]
      [last_From:]
      [last_To:];tag=[pid]farend[call_number]
      [last_Call-ID:]
      [last_CSeq:]
      Contact: <sip:[service]@[local_ip]:[local_port]>
      Content-Length: 0
    ]]>
  </send>
  <recv request="CANCEL"/>
  <send>
    <![CDATA[
      SIP/2.0 200 OK
      [last_Via:]
      [last_From:]
      [last_To:];tag=[pid]farend[call_number]
      [last_Call-ID:]
      CSeq: [$inviteCseq] INVITE
      Contact: <sip:[service]@[local_ip]:[local_port]>
)xml" + sdp + R"xml(    ]]>
  </send>
  <recv request="BYE"/>
  <send>
    <![CDATA[
      INVITE [$callerContact] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
      From: [$calleeTo];tag=[pid]farend[call_number]
      To: [$callerFrom]
      [last_Call-ID:]
      CSeq: 1 INVITE
      Contact: <sip:[service]@[local_ip]:[local_port]>
      Max-Forwards: 70
)xml" + sdp + R"xml(    ]]>
  </send>
)xml" + sippOkToLastRequest() + R"xml(  <pause milliseconds="2000"/>
</scenario>
)xml";
}

TEST(CallsCrossing, AReInviteAfterTheCancelCrossedTheAnswerLeavesTheCallerStanding) {
  PulseAudio pulse;
  // No account: the call goes straight to the far end, not by a registrar.
  auto bob = startInitializedHelper(&pulse);
  Sipp farEnd({.scenarioXml = answerAfterTheCancelThenReinvite(), .service = "dave"});

  ASSERT_TRUE(bob->request("MAKE_CALL", {{"target", "sip:dave@127.0.0.1:" + std::to_string(farEnd.localPort())}})
                  .value("success", false));
  expectState(*bob, "outgoingRinging");
  ASSERT_TRUE(bob->request("HANGUP_CALL").value("success", false));
  (void)farEnd.waitExit(deadlineAfter(15s));
  // The crossing happened (the engine's own words for it), the far end's
  // re-INVITE went out, and the caller is still there with no call.
  EXPECT_NE(bob->stderrText().find("did not ACK'd the 200Ok"), std::string::npos) << bob->stderrText();
  EXPECT_NE(farEnd.output().find("INVITE sip:127.0.0.1:"), std::string::npos) << farEnd.output();
  EXPECT_TRUE(pollUntil([&] { return !inCall(*bob); }, deadlineAfter(kShort))) << bob->stderrText();
  const std::string state = bob->query("GET_CALL_STATE").value("state", "");
  EXPECT_TRUE(state == "end" || state == "released") << state;
}

// ---------------------------------------------------------------------------
// Bad input

TEST_P(CallsBadInput, EachGetsItsErrorAndTheHelperKeepsAnswering) {
  const auto server = startServer(kTwoOutputsOneInput);
  SoundServer& pulse = *server;
  auto helper = startHelper(pulse);
  const json outputs = deviceList(*helper, "GET_AUDIO_DEVICES");
  const json inputs = deviceList(*helper, "GET_AUDIO_INPUT_DEVICES");

  EXPECT_EQ(errorOf(helper->request("MAKE_CALL", {{"target", ""}})), "Invalid SIP address: ");
  EXPECT_EQ(errorOf(helper->request("MAKE_CALL", {{"target", "sip:<bob>@@"}})), "Invalid SIP address: sip:<bob>@@");
  EXPECT_EQ(errorOf(helper->request("MAKE_CALL", {{"target", true}})), "Missing target");
  EXPECT_FALSE(helper->query("IS_IN_CALL").at("inCall").get<bool>());

  EXPECT_EQ(errorOf(helper->request("SET_AUDIO_DEVICE", {{"deviceId", "   "}})), "Audio device is unavailable:    ");
  EXPECT_EQ(errorOf(helper->request("SET_AUDIO_INPUT_DEVICE", {{"deviceId", "   "}})),
            "Audio input device is unavailable:    ");
  EXPECT_EQ(errorOf(helper->request("SET_AUDIO_DEVICE", {{"deviceId", "PulseAudio Unknown: No Such"}})),
            "Audio device is unavailable: PulseAudio Unknown: No Such");
  const std::string captureOnly = idOf(inputs, "Tavirel In A");
  EXPECT_EQ(errorOf(helper->request("SET_AUDIO_DEVICE", {{"deviceId", captureOnly}})),
            "Audio device is unavailable: " + captureOnly);
  const std::string playbackOnly = idOf(outputs, "Tavirel Out A");
  EXPECT_EQ(errorOf(helper->request("SET_AUDIO_INPUT_DEVICE", {{"deviceId", playbackOnly}})),
            "Audio input device is unavailable: " + playbackOnly);
  // A refused selection leaves the marks where they were.
  EXPECT_EQ(currentNames(deviceList(*helper, "GET_AUDIO_DEVICES")), currentNames(outputs));
  EXPECT_EQ(currentNames(deviceList(*helper, "GET_AUDIO_INPUT_DEVICES")), currentNames(inputs));

  EXPECT_EQ(errorOf(helper->request("SEND_DTMF", {{"digit", ""}}, "dtmf-empty")), "Missing DTMF digit");
  EXPECT_TRUE(traceLine(*helper, "[DTMF_TRACE] stage=helper_invalid_payload requestId=dtmf-empty"));
  EXPECT_EQ(errorOf(helper->request("ANSWER_CALL")), "No current call");
  EXPECT_TRUE(helper->request("HANGUP_CALL").value("success", false));
  EXPECT_TRUE(helper->request("SET_MIC_MUTED").value("success", false));

  EXPECT_EQ(helper->query("GET_CALL_STATE"),
            (json{{"state", "idle"}, {"remoteAddress", ""}, {"callLogStatus", "none"}}));
  const auto exit = helper->closeAndWait();
  ASSERT_TRUE(exit.has_value());
  EXPECT_TRUE(exit->success()) << exit->describe();
}

INSTANTIATE_TEST_SUITE_P(, CallsFarEnd, ::testing::ValuesIn(kAllSoundServers), SoundServerName());
INSTANTIATE_TEST_SUITE_P(, AudioDevices, ::testing::ValuesIn(kAllSoundServers), SoundServerName());
INSTANTIATE_TEST_SUITE_P(, CallsBadInput, ::testing::ValuesIn(kAllSoundServers), SoundServerName());

}  // namespace
}  // namespace tavirel::test
