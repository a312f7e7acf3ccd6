// The request loop in process, over real pipes: what the application reads
// on the helper's stdout for what it wrote on stdin.
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/request_loop.h"
#include "bridge/trace.h"

namespace tavirel::bridge {
namespace {

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (read >= 0) ::close(read);
    read = -1;
  }
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
};

// The whole of `input` on the loop's stdin, then end of input. Small enough
// for the pipes' buffers, so one thread suffices.
std::string feed(Pipe& in, const std::string& input) {
  EXPECT_TRUE(writeAll(in.write, input));
  in.closeWrite();
  return input;
}

std::string drain(Pipe& out) {
  out.closeWrite();
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::read(out.read, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
  return text;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> all;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) all.push_back(line);
  return all;
}

TEST(RequestLoop, AnswersEachLineInOrderWithTheRealTable) {
  Pipe in, out;
  feed(in, "{\"requestId\":\"a\",\"command\":\"GET_REGISTRATION_STATE\"}\n"
           "not json\n"
           "\n"
           "{\"requestId\":\"b\",\"command\":\"MAKE_CALL\",\"payload\":{\"target\":\"sip:x@y\"}}\r\n"
           "{\"requestId\":\"c\",\"command\":\"IS_IN_CALL\"}");  // no LF: the last line still counts
  LineReader reader(in.read);
  LineWriter writer(out.write);
  EXPECT_EQ(serve(reader, writer, helperState()), ServeEnd::inputEnded);

  const std::string text = drain(out);
  ASSERT_TRUE(text.ends_with("\n"));
  const auto answers = lines(text);
  ASSERT_EQ(answers.size(), 5u) << text;
  EXPECT_EQ(answers[0], R"({"requestId":"a","success":true,"payload":{"state":"none"}})");
  EXPECT_TRUE(answers[1].starts_with(R"({"requestId":"","success":false,"error":"Invalid request: )")) << answers[1];
  EXPECT_TRUE(answers[2].starts_with(R"({"requestId":"","success":false,"error":"Invalid request: )")) << answers[2];
  EXPECT_EQ(answers[3], R"({"requestId":"b","success":false,"error":"Not initialized"})");
  EXPECT_EQ(answers[4], R"({"requestId":"c","success":true,"payload":{"inCall":false}})");
}

TEST(RequestLoop, AnUnencodableResponseBecomesTheFallbackLineAndTheLoopGoesOn) {
  Pipe in, out;
  feed(in, "first\nsecond\n");
  LineReader reader(in.read);
  LineWriter writer(out.write);
  int calls = 0;
  const auto respond = [&](std::string_view line) {
    ++calls;
    return line == "first" ? makeResponse("\xff", true) : makeResponse(std::string(line), true);
  };
  EXPECT_EQ(serve(reader, writer, respond), ServeEnd::inputEnded);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(drain(out), std::string(kEncodingFallbackResponse) + "\n" +
                            R"({"requestId":"second","success":true})" + "\n");
}

TEST(RequestLoop, StopsReadingWhenNobodyReadsTheAnswers) {
  std::signal(SIGPIPE, SIG_IGN);  // as the helper does: a gone peer is EPIPE, not death
  Pipe in, out;
  feed(in, "one\ntwo\nthree\n");
  out.closeRead();
  LineReader reader(in.read);
  LineWriter writer(out.write);
  int calls = 0;
  const auto respond = [&](std::string_view line) {
    ++calls;
    return makeResponse(std::string(line), true);
  };
  EXPECT_EQ(serve(reader, writer, respond), ServeEnd::peerGone);
  EXPECT_EQ(calls, 1);  // nothing is done for requests whose answer nobody can read
}

}  // namespace
}  // namespace tavirel::bridge
