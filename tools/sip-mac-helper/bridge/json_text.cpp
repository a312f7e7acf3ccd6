#include "bridge/json_text.h"

namespace tavirel::bridge {
namespace {

// Length of the well-formed UTF-8 sequence starting at `p` (lead byte >= 0x80),
// or 0 when it is malformed, overlong, a surrogate or beyond U+10FFFF.
std::size_t validSequenceLength(const unsigned char* p, const unsigned char* end) {
  const unsigned char lead = p[0];
  std::size_t length;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) < length) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return length;
}

}  // namespace

std::optional<std::pair<char32_t, std::size_t>> decodeUtf8(std::string_view text, std::size_t at) {
  if (at >= text.size()) return std::nullopt;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + at;
  if (*p < 0x80) return std::pair{char32_t(*p), std::size_t(1)};
  const std::size_t length = validSequenceLength(p, reinterpret_cast<const unsigned char*>(text.data()) + text.size());
  if (length == 0) return std::nullopt;
  // The lead byte keeps 5, 4 or 3 bits for sequences of 2, 3 or 4 bytes.
  char32_t value = p[0] & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) value = (value << 6) | (p[i] & 0x3F);
  return std::pair{value, length};
}

std::string toValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const std::size_t length = *p < 0x80 ? 1 : validSequenceLength(p, end);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++p;
      continue;
    }
    out.append(reinterpret_cast<const char*>(p), length);
    p += length;
  }
  return out;
}

bool appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  const auto* runStart = p;
  auto flush = [&](const unsigned char* upTo) {
    out.append(reinterpret_cast<const char*>(runStart), static_cast<std::size_t>(upTo - runStart));
  };
  while (p < end) {
    const unsigned char c = *p;
    if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
      ++p;
      continue;
    }
    if (c >= 0x80) {
      const std::size_t length = validSequenceLength(p, end);
      if (length == 0) return false;
      p += length;
      continue;
    }
    flush(p);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
    runStart = ++p;
  }
  flush(p);
  out += '"';
  return true;
}

}  // namespace tavirel::bridge
