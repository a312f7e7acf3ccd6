// The PipeWire fixture: pipewire, WirePlumber and pipewire-pulse come up
// headless with the named null devices only, follow hot-plug, come back on
// restart and are gone, all three, once stopped.
#include "PipeWire.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "HelperClient.h"
#include "ProcessProbe.h"

namespace tavirel::test {
namespace {

using namespace std::chrono_literals;

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(PipeWire, StartsWithNamedNullDevicesAsDefaultsAndNothingElse) {
  PipeWire pipewire(PulseOptions{.sinks = {{"tavirel_out_a", "Tavirel Out A"}, {"tavirel_out_b", R"(Bob's "USB" Headset)"}},
                                 .sources = {{"tavirel_in_a", "Tavirel In A"}}});
  EXPECT_NE(pipewire.pactl({"info"}).find("Server Name: PulseAudio (on PipeWire "), std::string::npos);
  // Only ours: no sound card, camera or Bluetooth device was probed.
  EXPECT_EQ(pipewire.sinkNames(), (std::vector<std::string>{"tavirel_out_a", "tavirel_out_b"}));
  EXPECT_EQ(pipewire.sourceNames(),
            (std::vector<std::string>{"tavirel_out_a.monitor", "tavirel_out_b.monitor", "tavirel_in_a"}));
  EXPECT_EQ(pipewire.pactl({"list", "short", "cards"}), "");
  auto sinks = pipewire.pactl({"list", "sinks"});
  EXPECT_NE(sinks.find("Description: Tavirel Out A"), std::string::npos) << sinks;
  EXPECT_NE(sinks.find(R"(Description: Bob's "USB" Headset)"), std::string::npos) << sinks;
  auto sources = pipewire.pactl({"list", "sources"});
  EXPECT_NE(sources.find("Description: Tavirel In A"), std::string::npos) << sources;
  EXPECT_EQ(pipewire.defaultSinkName(), "tavirel_out_a");
  EXPECT_EQ(pipewire.defaultSourceName(), "tavirel_in_a");
}

TEST(PipeWire, HotPlugsAndUnplugsDevicesWithoutMovingTheDefaults) {
  PipeWire pipewire;
  int sink = pipewire.plugSink({"tavirel_out_b", R"(Bob's "USB" Headset)"});
  int source = pipewire.plugSource({"tavirel_in_b", R"(Bob's "USB" Mic)"});
  int tone = pipewire.plugToneSource({"tavirel_tone", "Tavirel Tone"});
  EXPECT_TRUE(contains(pipewire.sinkNames(), "tavirel_out_b"));
  EXPECT_TRUE(contains(pipewire.sourceNames(), "tavirel_in_b"));
  EXPECT_TRUE(contains(pipewire.sourceNames(), "tavirel_tone"));
  auto sinks = pipewire.pactl({"list", "sinks"});
  EXPECT_NE(sinks.find(R"(Description: Bob's "USB" Headset)"), std::string::npos) << sinks;
  auto sources = pipewire.pactl({"list", "sources"});
  EXPECT_NE(sources.find(R"(Description: Bob's "USB" Mic)"), std::string::npos) << sources;
  EXPECT_NE(sources.find("Description: Tavirel Tone"), std::string::npos) << sources;
  EXPECT_EQ(pipewire.defaultSinkName(), "tavirel_out_a");
  EXPECT_EQ(pipewire.defaultSourceName(), "tavirel_in_a");

  pipewire.unplug(sink);
  pipewire.unplug(source);
  pipewire.unplug(tone);
  EXPECT_FALSE(contains(pipewire.sinkNames(), "tavirel_out_b"));
  EXPECT_FALSE(contains(pipewire.sourceNames(), "tavirel_out_b.monitor"));
  EXPECT_FALSE(contains(pipewire.sourceNames(), "tavirel_in_b"));
  EXPECT_FALSE(contains(pipewire.sourceNames(), "tavirel_tone"));
  EXPECT_TRUE(contains(pipewire.sinkNames(), "tavirel_out_a"));
  EXPECT_THROW(pipewire.unplug(sink), std::invalid_argument);
}

TEST(PipeWire, StopsAllThreeByPidAndStopsAnswering) {
  PipeWire pipewire;
  const pid_t pids[] = {pipewire.pid(), pipewire.sessionManagerPid(), pipewire.daemonPid()};
  auto status = pipewire.stop();
  EXPECT_TRUE(status.success()) << status.describe() << "\n" << pipewire.logText();
  for (pid_t pid : pids) EXPECT_FALSE(processAlive(pid)) << pid;
  // With autospawn off, pactl fails instead of starting a daemon of its own.
  EXPECT_THROW(pipewire.pactl({"info"}, 5s), std::runtime_error);
}

TEST(PipeWire, ComesBackAfterAKillWithTheStartupDevicesOnly) {
  PipeWire pipewire;
  pipewire.plugSink({"tavirel_out_b", "Tavirel Out B"});
  const pid_t killed = pipewire.pid();
  pipewire.signal(SIGKILL);
  const auto status = pipewire.stop();
  EXPECT_EQ(status.signal, SIGKILL) << status.describe();
  EXPECT_FALSE(processAlive(killed));

  // The killed server's socket is left behind; the new one takes its place.
  pipewire.restart();
  EXPECT_NE(pipewire.pid(), killed);
  EXPECT_EQ(pipewire.sinkNames(), std::vector<std::string>{"tavirel_out_a"});
  EXPECT_EQ(pipewire.defaultSinkName(), "tavirel_out_a");
}

TEST(PipeWire, AKilledDaemonLeavesAPulseServerThatTurnsClientsAway) {
  PipeWire pipewire;
  const pid_t sessionManager = pipewire.sessionManagerPid();
  pipewire.signalDaemon(SIGKILL);
  EXPECT_TRUE(pollUntil([&] { return !processAlive(sessionManager); }, deadlineAfter(5s)));
  EXPECT_TRUE(processAlive(pipewire.pid()));
  try {
    pipewire.pactl({"info"}, 5s);
    ADD_FAILURE() << "pactl info answered without a daemon";
  } catch (const std::runtime_error& refused) {
    EXPECT_NE(std::string(refused.what()).find("Connection failure"), std::string::npos) << refused.what();
  }
  pipewire.restart();
  EXPECT_EQ(pipewire.defaultSinkName(), "tavirel_out_a");
}

TEST(PipeWire, FrozenServerIsThawedToStop) {
  PipeWire pipewire;
  pipewire.signal(SIGSTOP);
  EXPECT_THROW(pipewire.pactl({"info"}, 1s), std::runtime_error);
  const auto status = pipewire.stop();
  EXPECT_TRUE(status.success()) << status.describe() << "\n" << pipewire.logText();
}

TEST(PipeWire, HelperIsPointedAtThePulseServer) {
  PipeWire pipewire;
  HelperClient helper({.binary = TAVIREL_FAKE_HELPER_BIN, .pulse = &pipewire});
  auto value = [&](const std::string& name) {
    return helper.request("GET_ENV", {{"name", name}})["payload"].value("value", "");
  };
  EXPECT_EQ(value("PULSE_SERVER"), pipewire.serverAddress());
  EXPECT_EQ(value("PULSE_RUNTIME_PATH"), (pipewire.runtimeDir() / "pulse").string());
}

}  // namespace
}  // namespace tavirel::test
