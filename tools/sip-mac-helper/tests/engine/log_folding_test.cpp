// Folding repeated engine log lines, with the clock in the test's hand.
#include "engine/log_folding.h"

#include <gtest/gtest.h>

namespace tavirel::engine {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kLine = "[LogLevel(rawValue: 8)] [mediastreamer] Not enough ref samples, using zeroes\n";

TEST(LogFolder, AFloodIsABurstThenOneCountPerInterval) {
  LogFolder folder;
  const auto start = LogFolder::Clock::now();
  std::size_t written = 0;
  for (int i = 0; i < 1000; ++i) written += folder.admit(kLine, start + i * 5ms).size();
  EXPECT_EQ(written, LogFolder::kBurst);  // 5 s: still the first interval
  EXPECT_TRUE(folder.flush(start + 9s).empty());
  EXPECT_EQ(folder.flush(start + 10s),
            Lines{"[LogLevel(rawValue: 8)] [mediastreamer] Not enough ref samples, using zeroes "
                  "(995 more in the last 10 s)\n"});
  EXPECT_TRUE(folder.flush(start + 20s).empty()) << "counted once";
  // The next interval starts with a burst again.
  EXPECT_EQ(folder.admit(kLine, start + 21s), Lines{kLine});
}

TEST(LogFolder, ACountThatFallsDueComesBeforeTheNextLineAndNamesTheLastOneLeftOut) {
  LogFolder folder;
  const auto start = LogFolder::Clock::now();
  for (int i = 0; i < 7; ++i)
    (void)folder.admit("[LogLevel(rawValue: 8)] [ortp] garbage from 10.0.0." + std::to_string(i) + ":4000\n",
                       start + i * 1ms);
  EXPECT_EQ(folder.admit("[LogLevel(rawValue: 8)] [ortp] garbage from 10.0.0.99:4000\n", start + 11s),
            (Lines{"[LogLevel(rawValue: 8)] [ortp] garbage from 10.0.0.6:4000 (2 more in the last 10 s)\n",
                   "[LogLevel(rawValue: 8)] [ortp] garbage from 10.0.0.99:4000\n"}));
}

TEST(LogFolder, OtherTextsAreNeitherFoldedTogetherNorHeldBack) {
  LogFolder folder;
  const auto start = LogFolder::Clock::now();
  for (int i = 0; i < 100; ++i) (void)folder.admit(kLine, start);
  EXPECT_EQ(folder.admit("[LogLevel(rawValue: 16)] [liblinphone] Call failed\n", start).size(), 1u);
  EXPECT_EQ(LogFolder::foldingKey("port 5060 at 0x7f3a, peer a1b2 ok"), "port # at #, peer # ok");
  EXPECT_EQ(LogFolder::foldingKey("Not enough ref samples"), "Not enough ref samples");
}

TEST(LogFolder, TextsPastTheLimitShareOneCountInsteadOfGrowingWithoutBound) {
  LogFolder folder;
  const auto start = LogFolder::Clock::now();
  std::size_t written = 0;
  for (std::size_t i = 0; i < LogFolder::kMostTexts + 100; ++i)
    written += folder.admit("[LogLevel(rawValue: 8)] [x] text " + std::string(i % 26 + 1, 'a') +
                                std::string(i / 26 + 1, 'b') + "\n",
                            start)
                   .size();
  EXPECT_LT(written, LogFolder::kMostTexts + LogFolder::kBurst + 1);
  EXPECT_EQ(folder.flush(start + 10s).size(), 1u);
}

}  // namespace
}  // namespace tavirel::engine
