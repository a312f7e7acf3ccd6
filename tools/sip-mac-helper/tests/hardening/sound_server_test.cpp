// What a desktop does to the sound server under a running softphone: kills
// it, restarts it during a call, freezes it. Two real helpers registered at
// a real registrar, on a private sound server that the test signals by PID:
// PulseAudio, and PipeWire's pulse server (pipewire-pulse) in front of a
// PipeWire daemon and its session manager.
// Nothing may crash, no request may wait on the server past a bound, and
// once the server is back the devices and the audio are back too.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "HelperClient.h"
#include "Kamailio.h"
#include "Parties.h"
#include "PipeWire.h"
#include "SoundServer.h"

namespace tavirel::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kCallSetup = 15s;
// The longest any request may take while the server is frozen.
constexpr auto kFrozenBound = 10s;
// How soon the helper must follow the server coming back.
constexpr auto kBackWithin = 10s;

std::vector<std::string> outputNames(HelperClient& helper) {
  std::vector<std::string> names;
  for (const json& device : json::parse(helper.query("GET_AUDIO_DEVICES").at("devicesJson").get<std::string>()))
    names.push_back(device.value("name", ""));
  return names;
}

bool listsOutput(HelperClient& helper, const std::string& name) {
  const auto names = outputNames(helper);
  return std::find(names.begin(), names.end(), name) != names.end();
}


struct TwoParties {
  explicit TwoParties(SoundServerKind kind) : server(startSoundServer(kind)) {}

  Kamailio registrar;
  std::unique_ptr<SoundServer> server;
  SoundServer& pulse = *server;
  std::unique_ptr<HelperClient> alice = startRegisteredHelper(registrar, &pulse, "alice");
  std::unique_ptr<HelperClient> bob = startRegisteredHelper(registrar, &pulse, "bob");

  void expectState(HelperClient& helper, const char* state) {
    const auto result = helper.waitForState("GET_CALL_STATE", state, kCallSetup);
    EXPECT_TRUE(result.satisfied) << "waiting for " << state << ", last " << result.lastResponse.dump() << "\n"
                                  << helper.stderrText();
  }

  void aliceCallsBobAndBobAnswers() {
    ASSERT_TRUE(alice->request("MAKE_CALL", {{"target", registrar.uri("bob")}}).value("success", false))
        << alice->stderrText();
    expectState(*bob, "incomingReceived");
    ASSERT_TRUE(bob->request("ANSWER_CALL").value("success", false)) << bob->stderrText();
    expectState(*alice, "streamsRunning");
    expectState(*bob, "streamsRunning");
  }

  void hangUp(HelperClient& who) {
    ASSERT_TRUE(who.request("HANGUP_CALL").value("success", false));
    expectState(*alice, "released");
    expectState(*bob, "released");
  }

  void expectBothRunning() {
    EXPECT_TRUE(alice->process().running()) << alice->stderrText();
    EXPECT_TRUE(bob->process().running()) << bob->stderrText();
  }

  void expectCallAudioOnServerWithin(Clock::duration limit) {
    const bool open = pollUntil([&] {
      return pulse.hasAudioStreamsOf(alice->process().pid()) && pulse.hasAudioStreamsOf(bob->process().pid());
    }, deadlineAfter(limit));
    if (open) return;
    std::string streams;
    for (const char* kind : {"sink-inputs", "source-outputs"}) {
      try {
        streams += std::string(kind) + ":\n" + pulse.pactl({"list", "short", kind});
      } catch (const std::exception& e) {
        streams += std::string(kind) + ": " + e.what() + "\n";
      }
    }
    ADD_FAILURE() << "the call's audio does not reach the sound server (alice " << alice->process().pid() << ", bob "
                  << bob->process().pid() << ")\n"
                  << streams << "--- alice ---\n" << alice->stderrText() << "--- bob ---\n" << bob->stderrText()
                  << "--- sound server ---\n" << pulse.logText();
  }
};

// Killed either way, the server's devices leave the lists, calls made
// meanwhile run without sound, and everything returns with the server.
class SoundServerGone : public ::testing::TestWithParam<SoundServerKind> {};
class SoundServerFrozen : public ::testing::TestWithParam<SoundServerKind> {};

TEST_P(SoundServerGone, CallsGoOnAndDevicesAndAudioReturnWithTheServer) {
  TwoParties parties(GetParam());
  ASSERT_TRUE(listsOutput(*parties.alice, "Tavirel Out A"));
  for (const int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGKILL");
    parties.pulse.signal(signal);
    (void)parties.pulse.stop();  // reaps it
    // Other back ends' devices (an ALSA "default") may stay; the server's go.
    EXPECT_TRUE(pollUntil([&] { return !listsOutput(*parties.alice, "Tavirel Out A"); }, deadlineAfter(kBackWithin)))
        << "the gone server's devices are still listed: "
        << ::testing::PrintToString(outputNames(*parties.alice)) << "\n" << parties.alice->stderrText();

    parties.aliceCallsBobAndBobAnswers();
    parties.hangUp(*parties.alice);
    parties.expectBothRunning();

    parties.pulse.restart();
    EXPECT_TRUE(pollUntil([&] { return listsOutput(*parties.alice, "Tavirel Out A"); }, deadlineAfter(kBackWithin)))
        << "the devices did not come back with the server";
  }

  // Hot-plug follows the new server.
  parties.pulse.plugSink({"tavirel_out_c", "Tavirel Out C"});
  EXPECT_TRUE(pollUntil([&] { return listsOutput(*parties.alice, "Tavirel Out C"); }, deadlineAfter(kBackWithin)));

  parties.aliceCallsBobAndBobAnswers();
  parties.expectCallAudioOnServerWithin(kBackWithin);
  parties.hangUp(*parties.bob);
  parties.expectBothRunning();
}

// On PipeWire the pulse server is only the front: when the daemon behind it
// dies, pipewire-pulse stays up and refuses every client, so the helper's
// reconnection finds a socket that answers and then turns it away.
TEST(PipeWireDaemonGone, CallsGoOnAndDevicesAndAudioReturnWithIt) {
  TwoParties parties(SoundServerKind::pipeWire);
  auto& pipewire = dynamic_cast<PipeWire&>(parties.pulse);
  ASSERT_TRUE(listsOutput(*parties.alice, "Tavirel Out A"));
  pipewire.signalDaemon(SIGKILL);
  EXPECT_TRUE(pollUntil([&] { return !listsOutput(*parties.alice, "Tavirel Out A"); }, deadlineAfter(kBackWithin)))
      << "the gone server's devices are still listed: "
      << ::testing::PrintToString(outputNames(*parties.alice)) << "\n" << parties.alice->stderrText();

  parties.aliceCallsBobAndBobAnswers();
  parties.hangUp(*parties.bob);
  parties.expectBothRunning();

  pipewire.restart();
  EXPECT_TRUE(pollUntil([&] { return listsOutput(*parties.alice, "Tavirel Out A"); }, deadlineAfter(kBackWithin)))
      << "the devices did not come back with the server\n" << parties.alice->stderrText();
  parties.aliceCallsBobAndBobAnswers();
  parties.expectCallAudioOnServerWithin(kBackWithin);
  parties.hangUp(*parties.alice);
  parties.expectBothRunning();
}

// A call that outlives its server ends safely on both sides, and the outage
// costs stderr a few lines, not a flood.
TEST_P(SoundServerGone, RestartDuringACallThenHangUpIsSafeOnBothSides) {
  TwoParties parties(GetParam());
  parties.aliceCallsBobAndBobAnswers();
  parties.expectCallAudioOnServerWithin(kBackWithin);

  const std::size_t logAtRestart = parties.alice->stderrText().size();
  parties.pulse.restart();
  // The running call's streams come back on the new server; once the
  // devices are re-read (the gain is applied again) the call runs quietly:
  // no line per audio packet about the old server.
  parties.expectCallAudioOnServerWithin(kBackWithin);
  EXPECT_TRUE(pollUntil([&] {
    return parties.alice->stderrText().find("[AUDIO_GAIN_TRACE] deviceName=Tavirel Out A", logAtRestart) !=
           std::string::npos;
  }, deadlineAfter(kBackWithin)));
  const std::size_t logBefore = parties.alice->stderrText().size();
  std::this_thread::sleep_for(2s);  // a window to count lines in, not a wait for an event
  const std::string window = parties.alice->stderrText().substr(logBefore);
  EXPECT_LT(std::count(window.begin(), window.end(), '\n'), 20) << window;

  parties.hangUp(*parties.alice);
  parties.expectBothRunning();

  parties.aliceCallsBobAndBobAnswers();
  parties.expectCallAudioOnServerWithin(kBackWithin);
  parties.hangUp(*parties.bob);
  parties.expectBothRunning();
}

// A frozen server (SIGSTOP) holds no request past the bound: not the start
// of a new helper, not the requests behind it, not a hang-up mid-call, not
// the far side's queries. After SIGCONT the devices are there.
TEST_P(SoundServerFrozen, NoRequestWaitsPastTheBound) {
  TwoParties parties(GetParam());
  parties.aliceCallsBobAndBobAnswers();

  parties.pulse.signal(SIGSTOP);
  HelperClient fresh(HelperOptions{.pulse = &parties.pulse});
  const json initialized = fresh.request("INITIALIZE", nullptr, {}, kFrozenBound);
  EXPECT_TRUE(initialized.value("success", false)) << initialized.dump() << "\n" << fresh.stderrText();
  EXPECT_EQ(fresh.request("IS_IN_CALL", nullptr, {}, kFrozenBound).value("success", false), true);

  EXPECT_TRUE(parties.alice->request("HANGUP_CALL", nullptr, {}, kFrozenBound).value("success", false));
  EXPECT_TRUE(parties.bob->request("IS_IN_CALL", nullptr, {}, kFrozenBound).value("success", false));
  EXPECT_TRUE(parties.bob->request("GET_AUDIO_DEVICES", nullptr, {}, kFrozenBound).value("success", false));
  parties.expectState(*parties.alice, "released");
  parties.expectState(*parties.bob, "released");

  parties.pulse.signal(SIGCONT);
  EXPECT_TRUE(pollUntil([&] { return listsOutput(fresh, "Tavirel Out A"); }, deadlineAfter(kBackWithin)))
      << fresh.stderrText();
  parties.aliceCallsBobAndBobAnswers();
  parties.expectCallAudioOnServerWithin(kBackWithin);
  parties.hangUp(*parties.alice);
  parties.expectBothRunning();
}

INSTANTIATE_TEST_SUITE_P(, SoundServerGone, ::testing::ValuesIn(kAllSoundServers), SoundServerName());
INSTANTIATE_TEST_SUITE_P(, SoundServerFrozen, ::testing::ValuesIn(kAllSoundServers), SoundServerName());

}  // namespace
}  // namespace tavirel::test
