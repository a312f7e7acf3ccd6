// G.711 samples back to 16-bit linear, for checks of what went over the wire.
#pragma once

#include <cstdint>

namespace tavirel::test {

inline std::int16_t muLawToLinear(std::uint8_t code) {
  code = static_cast<std::uint8_t>(~code);
  const int sign = code & 0x80;
  const int exponent = (code >> 4) & 0x07;
  const int mantissa = code & 0x0F;
  int sample = ((mantissa << 3) + 0x84) << exponent;
  sample -= 0x84;
  return static_cast<std::int16_t>(sign != 0 ? -sample : sample);
}

inline std::int16_t aLawToLinear(std::uint8_t code) {
  code ^= 0x55;
  const int exponent = (code & 0x70) >> 4;
  int magnitude = (code & 0x0f) << 4;
  magnitude += exponent == 0 ? 8 : 0x108;
  if (exponent > 1) magnitude <<= exponent - 1;
  return static_cast<std::int16_t>((code & 0x80) ? magnitude : -magnitude);
}

}  // namespace tavirel::test
