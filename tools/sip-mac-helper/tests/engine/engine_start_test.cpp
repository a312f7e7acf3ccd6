// INITIALIZE through the real helper: SDK discovery as the program sees it,
// the engine log on stderr, audio defaults with and without a sound server,
// hot-plug, and that the engine leaves nothing on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <regex>
#include <sstream>

#include "HelperClient.h"
#include "Kamailio.h"
#include "Parties.h"
#include "SoundServer.h"
#include "TempDir.h"

namespace tavirel::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kDefaultsTrace = "[CONF_INVITE_TRACE] [AUDIO_DEVICE_TRACE] initialized platform defaults ";
constexpr const char* kNoPlaybackTrace =
    "[CONF_INVITE_TRACE] [AUDIO_GAIN_TRACE] playback device unavailable; keeping Linphone default gain";
constexpr const char* kGainTrace = "[CONF_INVITE_TRACE] [AUDIO_GAIN_TRACE] deviceName=";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::size_t countLinesStartingWith(const std::string& text, std::string_view prefix) {
  std::size_t count = 0;
  for (const auto& line : lines(text))
    if (line.starts_with(prefix)) ++count;
  return count;
}

// Everything the helper wrote to stderr up to now: a request that writes a
// trace line of its own, then waiting for that line, which comes after all
// the earlier ones.
std::string stderrSoFar(HelperClient& helper, const std::string& marker) {
  helper.request("SEND_DTMF", nlohmann::json::object(), marker);
  EXPECT_TRUE(helper.process().waitForStderr("requestId=" + marker, deadlineAfter(5s)));
  return helper.stderrText();
}

std::string payloadString(const nlohmann::json& response, const char* key) {
  return response.at("payload").at(key).get<std::string>();
}

// Every file and directory under `root`, relative to it.
std::vector<std::string> treeOf(const fs::path& root) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    entries.push_back(fs::relative(entry.path(), root).string());
  std::sort(entries.begin(), entries.end());
  return entries;
}

TEST(EngineStart, InitializeFromTheBuildTreeAndAgain) {
  HelperClient helper;
  const auto expectedRoot = (helperBinaryPath().parent_path() / ".sdk/current").string();

  const auto first = helper.request("INITIALIZE");
  ASSERT_TRUE(first["success"].get<bool>()) << first.dump() << "\n" << helper.stderrText();
  EXPECT_FALSE(first.contains("error"));
  EXPECT_EQ(payloadString(first, "sdkRoot"), expectedRoot);

  const auto second = helper.request("INITIALIZE");
  ASSERT_TRUE(second["success"].get<bool>()) << second.dump();
  EXPECT_EQ(payloadString(second, "sdkRoot"), expectedRoot);

  // The platform defaults are applied once per engine: a second engine (and
  // with it a second iteration timer) would trace them again.
  const auto err = stderrSoFar(helper, "after-second-initialize");
  EXPECT_EQ(countLinesStartingWith(err, kDefaultsTrace), 1u) << err;
  // The program's replacements of faulty engine functions are the ones the
  // engine calls.
  EXPECT_EQ(countLinesStartingWith(err, "[ENGINE_GUARD_TRACE]"), 0u) << err;
  // No media plugin is loaded: the system's are for video, and each drags a
  // toolkit into every start.
  std::ifstream maps("/proc/" + std::to_string(helper.process().pid()) + "/maps");
  for (std::string mapping; std::getline(maps, mapping);)
    EXPECT_EQ(mapping.find("/mediastreamer/plugins/"), std::string::npos) << mapping;
  EXPECT_TRUE(helper.closeAndWait()->success());
}

TEST(EngineStart, WithoutASoundServerGainIsLeftAloneAndTheEngineLogHasItsOwnForm) {
  HelperClient helper;
  const auto response = helper.request("INITIALIZE");
  ASSERT_TRUE(response["success"].get<bool>()) << response.dump() << "\n" << helper.stderrText();
  const auto err = stderrSoFar(helper, "no-sound");
  EXPECT_NE(err.find(std::string(kDefaultsTrace) + "output= input=\n"), std::string::npos) << err;
  EXPECT_NE(err.find(std::string(kNoPlaybackTrace) + "\n"), std::string::npos) << err;
  EXPECT_EQ(err.find(kGainTrace), std::string::npos) << err;

  const std::regex engineLine(R"(\[LogLevel\(rawValue: (8|16|32)\)\] \[[^\]]*\] .*)");
  // bctoolbox's own handler, which must not write beside ours.
  const std::regex defaultHandlerLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3} .*)");
  std::size_t engineLines = 0;
  for (const auto& line : lines(err)) {
    if (line.starts_with("[LogLevel")) {
      EXPECT_TRUE(std::regex_match(line, engineLine)) << line;
      ++engineLines;
    }
    EXPECT_FALSE(std::regex_match(line, defaultHandlerLine)) << line;
  }
  EXPECT_GT(engineLines, 0u) << "the engine warns about the missing sound cards";
}

TEST(EngineStart, SdkProblemsAreAnsweredWithoutAnEngine) {
  TempDir dir("sdkcheck");
  {
    const auto emptyRoot = dir.makeDir("empty-root");
    HelperClient helper({.env = {{"TAVIREL_LINPHONE_MAC_SDK_ROOT", emptyRoot.string()}}});
    const auto response = helper.request("INITIALIZE");
    EXPECT_FALSE(response["success"].get<bool>());
    EXPECT_EQ(response["error"], "linphone.framework not found under " + emptyRoot.string());
    EXPECT_FALSE(response.contains("payload"));
    const auto registerResponse =
        helper.request("REGISTER", {{"sipAccount", "alice"}, {"sipPassword", "pw-Unused-7Qx"}, {"server", "127.0.0.1"}});
    EXPECT_EQ(registerResponse["error"], "Not initialized");
  }
  {
    // A copy of the program far from any SDK, started from an empty directory.
    const auto bin = dir.makeDir("lonely/bin");
    fs::copy_file(helperBinaryPath(), bin / "tavirel-sip-helper");
    HelperClient helper({.binary = bin / "tavirel-sip-helper", .workingDirectory = dir.makeDir("lonely/work")});
    const auto response = helper.request("INITIALIZE");
    EXPECT_FALSE(response["success"].get<bool>());
    EXPECT_EQ(response["error"],
              "Linphone macOS SDK root missing. Set TAVIREL_LINPHONE_MAC_SDK_ROOT or install SDK into "
              "tools/sip-mac-helper/.sdk/current");
  }
}

// The engine runs without configuration file and must not fall back to its
// databases and caches under the home directory: neither in a fresh home,
// nor in one where its data directory already exists.
class NoPersistedState : public ::testing::TestWithParam<bool> {};

TEST_P(NoPersistedState, HomeIsLeftAsItWas) {
  const bool dataDirExists = GetParam();
  Kamailio registrar;
  TempDir home("home"), runtime("run"), config("cfg");
  if (dataDirExists) home.makeDir(".local/share/linphone");
  const auto before = treeOf(home.path());
  config.writeFile("client.conf", "autospawn = no\n");

  HelperOptions options;
  options.env = {{"HOME", home.path().string()},
                 {"XDG_RUNTIME_DIR", runtime.path().string()},
                 {"XDG_CONFIG_HOME", std::nullopt},
                 {"XDG_DATA_HOME", std::nullopt},
                 {"XDG_STATE_HOME", std::nullopt},
                 {"XDG_CACHE_HOME", std::nullopt},
                 {"PULSE_CLIENTCONFIG", (config / "client.conf").string()}};
  options.workingDirectory = runtime.path();
  {
    auto helper = startRegisteredHelper(registrar, nullptr, "carol", options);
    EXPECT_TRUE(helper->request("UNREGISTER")["success"].get<bool>());
    EXPECT_TRUE(helper->waitForState("GET_REGISTRATION_STATE", "cleared", 10s).satisfied);
    ASSERT_TRUE(helper->closeAndWait()->success());
  }
  EXPECT_EQ(treeOf(home.path()), before);
}

INSTANTIATE_TEST_SUITE_P(EngineStart, NoPersistedState, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "DataDirExists" : "FreshHome"; });

// UDP ports of the sockets `pid` holds, from its descriptors and the
// namespace's socket table.
std::set<int> udpPortsOf(pid_t pid) {
  std::set<std::string> inodes;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code error;
    const auto target = fs::read_symlink(fd.path(), error).string();
    if (!error && target.starts_with("socket:[")) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::set<int> ports;
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (inodes.count(inode)) ports.insert(std::stoi(local.substr(local.find(':') + 1), nullptr, 16));
    }
  }
  return ports;
}

TEST(EngineStart, TwoEnginesInACallUseTheirOwnMediaPorts) {
  Kamailio registrar;
  auto alice = startRegisteredHelper(registrar, nullptr, "alice");
  auto bob = startRegisteredHelper(registrar, nullptr, "bob");
  ASSERT_TRUE(alice->request("MAKE_CALL", {{"target", registrar.uri("bob")}})["success"].get<bool>());
  ASSERT_TRUE(bob->waitForState("GET_CALL_STATE", "incomingReceived", 10s).satisfied);
  ASSERT_TRUE(bob->request("ANSWER_CALL")["success"].get<bool>());
  ASSERT_TRUE(alice->waitForState("GET_CALL_STATE", "streamsRunning", 10s).satisfied);
  ASSERT_TRUE(bob->waitForState("GET_CALL_STATE", "streamsRunning", 10s).satisfied);

  // The engine's fixed default media port can be bound twice; sharing it
  // would hand each party's audio to whichever socket the system picks.
  const auto alicePorts = udpPortsOf(alice->process().pid());
  const auto bobPorts = udpPortsOf(bob->process().pid());
  std::vector<int> shared;
  std::set_intersection(alicePorts.begin(), alicePorts.end(), bobPorts.begin(), bobPorts.end(),
                        std::back_inserter(shared));
  EXPECT_GE(alicePorts.size(), 3u) << "SIP, RTP and RTCP";
  EXPECT_TRUE(shared.empty()) << "shared UDP port " << shared.front();
  alice->request("HANGUP_CALL");
}

// Each on PulseAudio and on PipeWire's PulseAudio-compatible server.
class WithSoundServer : public ::testing::TestWithParam<SoundServerKind> {
 protected:
  std::unique_ptr<SoundServer> server = startSoundServer(GetParam());
  SoundServer& pulse = *server;
};

TEST_P(WithSoundServer, DefaultsAndGainAreTracedAtStart) {
  auto helper = startInitializedHelper(&pulse);
  const auto err = stderrSoFar(*helper, "sound-start");
  const std::regex defaults(
      R"(\[CONF_INVITE_TRACE\] \[AUDIO_DEVICE_TRACE\] initialized platform defaults output=(.+) input=(.+))");
  const std::regex gain(
      R"(\[CONF_INVITE_TRACE\] \[AUDIO_GAIN_TRACE\] deviceName=(.+) type=[A-Za-z0-9]+ id=(.+) gainDb=6\.0)");
  std::size_t defaultsLines = 0, gainLines = 0;
  for (const auto& line : lines(err)) {
    defaultsLines += std::regex_match(line, defaults);
    gainLines += std::regex_match(line, gain);
  }
  EXPECT_EQ(defaultsLines, 1u) << err;
  EXPECT_GE(gainLines, 1u) << err;
  EXPECT_EQ(err.find(kNoPlaybackTrace), std::string::npos) << err;
}

TEST_P(WithSoundServer, NewAndRemovedSinksMakeTheEngineRescan) {
  auto helper = startInitializedHelper(&pulse);
  const auto atStart = countLinesStartingWith(stderrSoFar(*helper, "before-plug"), kGainTrace);

  const int plugged = pulse.plugSink({"tavirel_out_plugged", "Tavirel Plugged"});
  ASSERT_TRUE(pollUntil([&] { return countLinesStartingWith(helper->stderrText(), kGainTrace) > atStart; },
                        deadlineAfter(3s)))
      << helper->stderrText();
  const auto afterPlug = countLinesStartingWith(stderrSoFar(*helper, "after-plug"), kGainTrace);

  pulse.unplug(plugged);
  EXPECT_TRUE(pollUntil([&] { return countLinesStartingWith(helper->stderrText(), kGainTrace) > afterPlug; },
                        deadlineAfter(3s)))
      << helper->stderrText();
  EXPECT_TRUE(helper->closeAndWait()->success());
}

INSTANTIATE_TEST_SUITE_P(, WithSoundServer, ::testing::ValuesIn(kAllSoundServers), SoundServerName());

}  // namespace
}  // namespace tavirel::test
