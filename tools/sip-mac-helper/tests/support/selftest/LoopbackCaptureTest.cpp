// What the capture's readability check calls clear: silence and a known tone
// in G.711, but not encrypted payloads.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "LoopbackCapture.h"

namespace tavirel::test {
namespace {

unsigned char muLaw(double sample) {
  constexpr int kBias = 0x84, kClip = 32635;
  int value = static_cast<int>(sample);
  const int sign = value < 0 ? 0x80 : 0;
  value = std::min(std::abs(value), kClip) + kBias;
  int exponent = 7;
  for (int mask = 0x4000; (value & mask) == 0 && exponent > 0; mask >>= 1) --exponent;
  const int mantissa = (value >> (exponent + 3)) & 0x0f;
  return static_cast<unsigned char>(~(sign | (exponent << 4) | mantissa));
}

std::string rtpWith(const std::string& samples, int payloadType = 0) {
  std::string packet(12, '\0');
  packet[0] = static_cast<char>(0x80);
  packet[1] = static_cast<char>(payloadType);
  return packet + samples;
}

TEST(LoopbackCapture, ClearG711MeansSilenceOrTheKnownToneAndNoiseIsNeither) {
  std::string tone, silence(160, static_cast<char>(0xff)), noise;
  std::mt19937 random(7);
  for (int i = 0; i < 160; ++i) {
    tone += static_cast<char>(muLaw(8000.0 * std::sin(2.0 * M_PI * 440.0 * i / 8000.0)));
    noise += static_cast<char>(random() & 0xff);
  }
  EXPECT_TRUE(isClearG711(rtpWith(tone)));
  EXPECT_TRUE(isClearG711(rtpWith(silence)));
  EXPECT_FALSE(isClearG711(rtpWith(noise)));
  EXPECT_FALSE(isClearG711(rtpWith(tone), 1000.0));  // another tone than the one sent
  EXPECT_FALSE(isClearG711(rtpWith(tone, 96)));        // not G.711
  EXPECT_FALSE(isClearG711(rtpWith(tone.substr(0, 40))));
}

}  // namespace
}  // namespace tavirel::test
