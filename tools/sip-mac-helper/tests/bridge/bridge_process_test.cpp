// The helper as the desktop application sees it: the real binary, request
// lines through a pipe, response lines back, traces on stderr.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process/spawn.h"

namespace {

using nlohmann::json;
namespace process = tavirel::process;
using namespace std::chrono_literals;

struct Run {
  std::string out;
  std::string err;
  int exitStatus = -1;  // -1: did not exit in time
  std::vector<json> responses() const {
    std::vector<json> parsed;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) parsed.push_back(json::parse(line));
    return parsed;
  }
};

std::string helperPath() {
  if (const char* fromEnv = std::getenv("TAVIREL_HELPER_BIN")) return fromEnv;
  return TAVIREL_HELPER_BIN_DEFAULT;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Feeds `input` as the whole of stdin and collects stdout and stderr until
// the helper exits, killing it if it has not within `limit`.
Run runHelper(const std::string& input, std::chrono::milliseconds limit = 60s) {
  char dir[] = "/tmp/tavirel-bridge-XXXXXX";
  if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp");
  const std::string base = dir;
  {
    std::ofstream(base + "/in", std::ios::binary) << input;
  }
  process::SpawnOptions spawn;
  spawn.argv = {helperPath()};
  spawn.env = {{"HOME", base}};
  spawn.stdinFrom = process::Stdio::file(base + "/in");
  spawn.stdoutTo = process::Stdio::file(base + "/out", 0600);
  spawn.stderrTo = process::Stdio::file(base + "/err", 0600);
  spawn.dieWithParent = true;
  const pid_t pid = process::spawn(spawn);
  Run run;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(2ms);
  }
  run.out = readFile(base + "/out");
  run.err = readFile(base + "/err");
  std::filesystem::remove_all(base);
  return run;
}

std::string request(const std::string& id, const std::string& command, const json& payload = nullptr) {
  json line = {{"requestId", id}, {"command", command}};
  if (!payload.is_null()) line["payload"] = payload;
  return line.dump() + "\n";
}

TEST(BridgeProcess, UndecodableLinesGetInvalidRequestWithEmptyIdAndTheLoopGoesOn) {
  const std::vector<std::string> bad = {
      "",
      "not json",
      R"({"requestId":"x","command":"is_in_call"})",
      R"({"requestId":7,"command":"IS_IN_CALL"})",
      R"({"requestId":"x","command":"MAKE_CALL","payload":{"target":1}})",
      R"({"requestId":"x","command":"MAKE_CALL","payload":{"target":null}})",
      "{\"requestId\":\"\xc3\x28\",\"command\":\"IS_IN_CALL\"}",
      "[1,2,3]",
  };
  std::string input;
  for (const auto& line : bad) input += line + "\n";
  input += request("after", "IS_IN_CALL");
  const auto run = runHelper(input);
  ASSERT_EQ(run.exitStatus, 0);
  const auto responses = run.responses();
  ASSERT_EQ(responses.size(), bad.size() + 1);
  for (std::size_t i = 0; i < bad.size(); ++i) {
    EXPECT_EQ(responses[i]["requestId"], "") << i;
    EXPECT_EQ(responses[i]["success"], false) << i;
    EXPECT_EQ(responses[i]["error"].get<std::string>().rfind("Invalid request: ", 0), 0u) << i;
    EXPECT_FALSE(responses[i].contains("payload")) << i;
  }
  EXPECT_EQ(responses.back()["requestId"], "after");
  EXPECT_EQ(responses.back()["success"], true);
}

TEST(BridgeProcess, BeforeInitializeStateQueriesAnswerInitialValuesAndEngineCommandsAreRefused) {
  std::string input;
  input += request("q1", "GET_CALL_STATE");
  input += request("q2", "GET_REGISTRATION_STATE");
  input += request("q3", "GET_CURRENT_REMOTE_ADDRESS");
  input += request("q4", "IS_IN_CALL");
  // The engine check comes before the payload check.
  input += request("e1", "MAKE_CALL");
  input += request("e2", "REGISTER", {{"sipAccount", "a"}});
  input += request("e3", "INVITE_CONFERENCE");
  input += request("e4", "REMOVE_CONFERENCE_PARTICIPANT", {{"target", " "}});
  input += request("e5", "ANSWER_CALL");
  input += request("e6", "GET_AUDIO_DEVICES");
  input += request("e7", "SET_AUDIO_DEVICE", {{"deviceId", ""}});
  input += request("e8", "GET_AUDIO_INPUT_DEVICES");
  input += request("e9", "SET_AUDIO_INPUT_DEVICE");
  // These succeed without an engine, whatever their payload.
  input += request("s1", "HANGUP_CALL");
  input += request("s2", "UNREGISTER");
  input += request("s3", "SET_MIC_MUTED", {{"muted", "true"}});
  input += request("s4", "SET_MIC_MUTED", {{"muted", true}});
  input += request("s5", "SET_MIC_MUTED");
  input += request("d1", "SEND_DTMF", {{"digit", "5"}});
  const auto run = runHelper(input);
  ASSERT_EQ(run.exitStatus, 0);
  const auto r = run.responses();
  ASSERT_EQ(r.size(), 19u);

  EXPECT_EQ(r[0], json::parse(R"({"requestId":"q1","success":true,"payload":{"state":"idle","remoteAddress":"","callLogStatus":"none"}})"));
  EXPECT_EQ(r[1], json::parse(R"({"requestId":"q2","success":true,"payload":{"state":"none"}})"));
  EXPECT_EQ(r[2], json::parse(R"({"requestId":"q3","success":true,"payload":{"remoteAddress":""}})"));
  EXPECT_EQ(r[3], json::parse(R"({"requestId":"q4","success":true,"payload":{"inCall":false}})"));
  for (std::size_t i = 4; i < 13; ++i)
    EXPECT_EQ(r[i], json({{"requestId", "e" + std::to_string(i - 3)}, {"success", false}, {"error", "Not initialized"}}));
  for (std::size_t i = 13; i < 18; ++i) {
    // Exactly the two keys: no error, no payload.
    EXPECT_EQ(r[i], json({{"requestId", "s" + std::to_string(i - 12)}, {"success", true}}));
  }
  EXPECT_EQ(r[18], json({{"requestId", "d1"}, {"success", false}, {"error", "Not initialized"}}));
  EXPECT_NE(run.err.find("[DTMF_TRACE] stage=helper_no_core digit=5 requestId=d1\n"), std::string::npos) << run.err;
}

TEST(BridgeProcess, SendDtmfWithoutUsableDigitTracesOnStderrOnly) {
  std::string input;
  input += request("no-digit", "SEND_DTMF");
  input += request("empty", "SEND_DTMF", {{"digit", ""}});
  input += request("bool", "SEND_DTMF", {{"digit", true}});
  const auto run = runHelper(input);
  ASSERT_EQ(run.exitStatus, 0);
  const auto r = run.responses();
  ASSERT_EQ(r.size(), 3u);
  for (const auto& response : r) EXPECT_EQ(response["error"], "Missing DTMF digit");
  EXPECT_EQ(run.err,
            "[DTMF_TRACE] stage=helper_invalid_payload requestId=no-digit\n"
            "[DTMF_TRACE] stage=helper_invalid_payload requestId=empty\n"
            "[DTMF_TRACE] stage=helper_invalid_payload requestId=bool\n");
  EXPECT_EQ(run.out.find("DTMF_TRACE"), std::string::npos);
}

TEST(BridgeProcess, EchoesAFiveMegabyteRequestId) {
  std::string id(5 * 1024 * 1024, 'x');
  for (std::size_t i = 0; i < id.size(); i += 997) id[i] = static_cast<char>('a' + i % 26);
  const auto run = runHelper(request(id, "GET_REGISTRATION_STATE") + request("next", "IS_IN_CALL"));
  ASSERT_EQ(run.exitStatus, 0);
  const auto r = run.responses();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["requestId"], id);
  EXPECT_EQ(r[1]["requestId"], "next");
}

TEST(BridgeProcess, AnswersTenThousandPipelinedRequestsInOrderWithOnlyResponseLinesOnStdout) {
  std::string input;
  for (int i = 0; i < 10000; ++i)
    input += request(std::to_string(i), i % 2 ? "IS_IN_CALL" : "GET_CALL_STATE");
  const auto run = runHelper(input);
  ASSERT_EQ(run.exitStatus, 0);
  std::istringstream lines(run.out);
  int index = 0;
  for (std::string line; std::getline(lines, line); ++index) {
    const auto response = json::parse(line);  // throws on anything but JSON
    ASSERT_EQ(response["requestId"], std::to_string(index));
    ASSERT_EQ(response["success"], true);
  }
  EXPECT_EQ(index, 10000);
  EXPECT_EQ(run.out.back(), '\n');
}

TEST(BridgeProcess, LastLineWithoutLineFeedStillGetsItsAnswer) {
  const std::string first = request("1", "IS_IN_CALL");
  const auto run = runHelper(first + R"({"requestId":"2","command":"GET_REGISTRATION_STATE"})");
  ASSERT_EQ(run.exitStatus, 0);
  const auto r = run.responses();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1]["requestId"], "2");
  EXPECT_EQ(r[1]["payload"]["state"], "none");
}

TEST(BridgeProcess, SameRequestIdTwiceGetsTwoIndependentAnswersAndCrLfIsAccepted) {
  const auto run = runHelper(
      "{\"requestId\":\"same\",\"command\":\"IS_IN_CALL\"}\r\n"
      "{\"requestId\":\"same\",\"command\":\"SEND_DTMF\"}\r\n");
  ASSERT_EQ(run.exitStatus, 0);
  const auto r = run.responses();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["success"], true);
  EXPECT_EQ(r[1]["error"], "Missing DTMF digit");
}

TEST(BridgeProcess, EmptyInputExitsZeroWithNoOutput) {
  const auto run = runHelper("");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "");
}

TEST(BridgeProcess, EndsQuietlyWhenThePeerClosesItsEnd) {
  process::Pipe toHelper = process::makePipe(), fromHelper = process::makePipe(), errPipe = process::makePipe();
  process::SpawnOptions spawn;
  spawn.argv = {helperPath()};
  spawn.stdinFrom = process::Stdio::fd(toHelper.read.get());
  spawn.stdoutTo = process::Stdio::fd(fromHelper.write.get());
  spawn.stderrTo = process::Stdio::fd(errPipe.write.get());
  spawn.dieWithParent = true;
  const pid_t pid = process::spawn(spawn);
  toHelper.read.reset(), fromHelper.write.reset(), errPipe.write.reset();
  fromHelper.read.reset();  // the peer stops reading
  const std::string line = request("gone", "IS_IN_CALL");
  ASSERT_EQ(write(toHelper.write.get(), line.data(), line.size()), static_cast<ssize_t>(line.size()));
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "helper hung after its stdout closed";
    }
    std::this_thread::sleep_for(2ms);
  }
  toHelper.write.reset();
  // Not killed by SIGPIPE and no crash: a plain non-zero exit.
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  char buffer[4096];
  const ssize_t got = read(errPipe.read.get(), buffer, sizeof buffer);
  EXPECT_LE(got, 0) << std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
}

}  // namespace
