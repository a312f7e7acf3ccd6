// The sound-server fixture: a private daemon with named null devices that
// clients reach only through the variables it hands out.
#include "PulseAudio.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "HelperClient.h"
#include "ProcessProbe.h"

namespace tavirel::test {
namespace {

using namespace std::chrono_literals;

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(PulseAudio, StartsWithNamedNullSinkAndSource) {
  PulseAudio pulse;
  EXPECT_TRUE(contains(pulse.sinkNames(), "tavirel_out_a"));
  EXPECT_TRUE(contains(pulse.sourceNames(), "tavirel_in_a"));
  // Descriptions with spaces survive the module argument quoting.
  auto sinks = pulse.pactl({"list", "sinks"});
  EXPECT_NE(sinks.find("Description: Tavirel Out A"), std::string::npos) << sinks;
  auto sources = pulse.pactl({"list", "sources"});
  EXPECT_NE(sources.find("Description: Tavirel In A"), std::string::npos) << sources;
  auto info = pulse.pactl({"info"});
  EXPECT_NE(info.find("Default Sink: tavirel_out_a"), std::string::npos) << info;
  EXPECT_NE(info.find("Default Source: tavirel_in_a"), std::string::npos) << info;
}

TEST(PulseAudio, HotPlugsAndUnplugsDevices) {
  PulseAudio pulse(PulseOptions{.sinks = {{"tavirel_out_a", ""}}, .sources = {}});
  int sink = pulse.loadNullSink({"tavirel_out_b", R"(Bob's "USB" Headset)"});
  int source = pulse.loadNullSource({"tavirel_in_b", R"(Bob's "USB" Mic)"});
  EXPECT_TRUE(contains(pulse.sinkNames(), "tavirel_out_b"));
  EXPECT_TRUE(contains(pulse.sourceNames(), "tavirel_in_b"));
  auto sinks = pulse.pactl({"list", "sinks"});
  EXPECT_NE(sinks.find(R"(Description: Bob's "USB" Headset)"), std::string::npos) << sinks;
  auto sources = pulse.pactl({"list", "sources"});
  EXPECT_NE(sources.find(R"(Description: Bob's "USB" Mic)"), std::string::npos) << sources;
  pulse.unloadModule(sink);
  pulse.unloadModule(source);
  EXPECT_FALSE(contains(pulse.sinkNames(), "tavirel_out_b"));
  EXPECT_FALSE(contains(pulse.sourceNames(), "tavirel_in_b"));
  EXPECT_TRUE(contains(pulse.sinkNames(), "tavirel_out_a"));
}

TEST(PulseAudio, StopsByPidAndStopsAnswering) {
  PulseAudio pulse;
  pid_t pid = pulse.pid();
  auto status = pulse.stop();
  EXPECT_TRUE(status.success()) << status.describe() << "\n" << pulse.logText();
  EXPECT_FALSE(processAlive(pid));
  // With autospawn off, pactl fails instead of starting a daemon of its own.
  EXPECT_THROW(pulse.pactl({"info"}, 5s), std::runtime_error);
}

TEST(PulseAudio, HelperIsPointedAtTheDaemon) {
  PulseAudio pulse;
  HelperClient helper({.binary = TAVIREL_FAKE_HELPER_BIN, .pulse = &pulse});
  auto value = [&](const std::string& name) {
    return helper.request("GET_ENV", {{"name", name}})["payload"].value("value", "");
  };
  EXPECT_EQ(value("PULSE_SERVER"), pulse.serverAddress());
  EXPECT_EQ(value("PULSE_RUNTIME_PATH"), pulse.runtimeDir().string());
}

}  // namespace
}  // namespace tavirel::test
