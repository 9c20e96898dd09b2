#include "core/JsonText.h"

namespace quavox {

std::size_t Utf8SequenceLength(std::string_view AText, std::size_t APos) {
  const auto Byte = [&](std::size_t k) { return static_cast<unsigned char>(AText[APos + k]); };
  const unsigned char c = Byte(0);
  if (c < 0x80) return 1;
  std::size_t n = 0;
  unsigned char Low = 0x80, High = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) Low = 0xA0;
    if (c == 0xED) High = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) Low = 0x90;
    if (c == 0xF4) High = 0x8F;
  } else {
    return 0;
  }
  if (APos + n > AText.size() || Byte(1) < Low || Byte(1) > High) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if ((Byte(k) & 0xC0) != 0x80) return 0;
  return n;
}

void AppendJsonString(std::string& AOut, std::string_view AText) {
  static constexpr char Hex[] = "0123456789abcdef";
  AOut += '"';
  for (std::size_t i = 0; i < AText.size();) {
    const unsigned char c = static_cast<unsigned char>(AText[i]);
    if (c >= 0x80) {
      // Invalid UTF-8 would make the whole index unreadable; it becomes U+FFFD.
      const std::size_t n = Utf8SequenceLength(AText, i);
      if (n == 0) {
        AOut += "\xEF\xBF\xBD";
        ++i;
      } else {
        AOut.append(AText.substr(i, n));
        i += n;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        AOut += "\\\"";
        break;
      case '\\':
        AOut += "\\\\";
        break;
      case '\b':
        AOut += "\\b";
        break;
      case '\f':
        AOut += "\\f";
        break;
      case '\n':
        AOut += "\\n";
        break;
      case '\r':
        AOut += "\\r";
        break;
      case '\t':
        AOut += "\\t";
        break;
      default:
        if (c < 0x20) {
          AOut += "\\u00";
          AOut += Hex[c >> 4];
          AOut += Hex[c & 15];
        } else {
          AOut += static_cast<char>(c);
        }
    }
  }
  AOut += '"';
}

}  // namespace quavox
