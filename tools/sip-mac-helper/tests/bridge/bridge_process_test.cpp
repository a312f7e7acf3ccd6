// The helper as the desktop application sees it: the real binary, request
// lines through a pipe, response lines back, traces on stderr.
#include <fcntl.h>
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

namespace {

using nlohmann::json;
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
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open((base + "/in").c_str(), O_RDONLY);
    const int out = open((base + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open((base + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0), dup2(out, 1), dup2(err, 2);
    setenv("HOME", base.c_str(), 1);
    const std::string path = helperPath();
    execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
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
  int toHelper[2], fromHelper[2], errPipe[2];
  ASSERT_EQ(pipe(toHelper), 0);
  ASSERT_EQ(pipe(fromHelper), 0);
  ASSERT_EQ(pipe(errPipe), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(toHelper[0], 0), dup2(fromHelper[1], 1), dup2(errPipe[1], 2);
    for (int fd : {toHelper[0], toHelper[1], fromHelper[0], fromHelper[1], errPipe[0], errPipe[1]}) close(fd);
    const std::string path = helperPath();
    execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toHelper[0]), close(fromHelper[1]), close(errPipe[1]);
  close(fromHelper[0]);  // the peer stops reading
  const std::string line = request("gone", "IS_IN_CALL");
  ASSERT_EQ(write(toHelper[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
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
  close(toHelper[1]);
  // Not killed by SIGPIPE and no crash: a plain non-zero exit.
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  char buffer[4096];
  const ssize_t got = read(errPipe[0], buffer, sizeof buffer);
  close(errPipe[0]);
  EXPECT_LE(got, 0) << std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
}

}  // namespace
