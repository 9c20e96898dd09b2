#include "core/Text.h"

#include <locale.h>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cwctype>

namespace quavox {

namespace {

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

locale_t Utf8Locale() {
  static locale_t Loc = [] {
    locale_t L = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return L ? L : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
  }();
  return Loc;
}

}  // namespace

char32_t NextCodePoint(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  const int Len = b0 >= 0xF0 && b0 <= 0xF4   ? 4
                  : b0 >= 0xE0 && b0 <= 0xEF ? 3
                  : b0 >= 0xC2 && b0 <= 0xDF ? 2
                                             : 0;
  if (Len == 0 || i + Len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = b0 & (0x7F >> Len);
  for (int k = 1; k < Len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  const bool Overlong = (Len == 3 && cp < 0x800) || (Len == 4 && cp < 0x10000);
  if (Overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += Len;
  return cp;
}

void AppendUtf8(std::string& Out, char32_t cp) {
  if (cp < 0x80) {
    Out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    Out += static_cast<char>(0xC0 | (cp >> 6));
    Out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    Out += static_cast<char>(0xE0 | (cp >> 12));
    Out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (cp >> 18));
    Out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string Trim(std::string_view AText) {
  std::size_t b = 0, e = AText.size();
  while (b < e && IsAsciiSpace(AText[b]))
    ++b;
  while (e > b && IsAsciiSpace(AText[e - 1]))
    --e;
  return std::string(AText.substr(b, e - b));
}

std::string LowerAscii(std::string_view AText) {
  std::string r(AText);
  for (auto& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

std::string UpperAscii(std::string_view AText) {
  std::string r(AText);
  for (auto& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

bool SameTextAscii(std::string_view A, std::string_view B) {
  return A.size() == B.size() && LowerAscii(A) == LowerAscii(B);
}

bool StartsWith(std::string_view AText, std::string_view APrefix) {
  return AText.substr(0, APrefix.size()) == APrefix;
}

bool EndsWith(std::string_view AText, std::string_view ASuffix) {
  return AText.size() >= ASuffix.size() && AText.substr(AText.size() - ASuffix.size()) == ASuffix;
}

std::u16string Utf8ToUtf16(std::string_view AText) {
  std::u16string r;
  r.reserve(AText.size());
  for (std::size_t i = 0; i < AText.size();) {
    char32_t cp = NextCodePoint(AText, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      r += static_cast<char16_t>(0xD800 + (cp >> 10));
      r += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      r += static_cast<char16_t>(cp);
    }
  }
  return r;
}

std::string Utf16ToUtf8(std::u16string_view AText) {
  std::string r;
  r.reserve(AText.size() * 3);
  for (std::size_t i = 0; i < AText.size(); ++i) {
    char32_t cp = AText[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < AText.size() && AText[i + 1] >= 0xDC00 &&
        AText[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (AText[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(r, cp);
  }
  return r;
}

std::size_t Utf16Length(std::string_view AText) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < AText.size();)
    n += NextCodePoint(AText, i) >= 0x10000 ? 2 : 1;
  return n;
}

bool IsLetterOrDigit(char16_t ACodeUnit) {
  if (ACodeUnit >= 0xD800 && ACodeUnit <= 0xDFFF) return false;
  const auto wc = static_cast<wint_t>(ACodeUnit);
  return iswalpha_l(wc, Utf8Locale()) || iswdigit_l(wc, Utf8Locale());
}

bool IsWhiteSpace(char16_t ACodeUnit) {
  if (ACodeUnit < 0x80) return IsAsciiSpace(static_cast<char>(ACodeUnit));
  return iswspace_l(static_cast<wint_t>(ACodeUnit), Utf8Locale()) || ACodeUnit == 0x00A0 ||
         ACodeUnit == 0x0085;
}

bool TryParseInt64(std::string_view AText, int64_t& AValue) {
  const std::string t = Trim(AText);
  const char* b = t.data();
  const char* e = b + t.size();
  if (b != e && *b == '+') ++b;
  int64_t v = 0;
  auto [p, ec] = std::from_chars(b, e, v);
  if (ec != std::errc() || p != e || b == e) return false;
  AValue = v;
  return true;
}

bool TryParseDouble(std::string_view AText, double& AValue) {
  const std::string t = Trim(AText);
  const char* b = t.data();
  const char* e = b + t.size();
  if (b != e && *b == '+') ++b;
  double v = 0;
  auto [p, ec] = std::from_chars(b, e, v, std::chars_format::general);
  if (ec != std::errc() || p != e || b == e) return false;
  AValue = v;
  return true;
}

}  // namespace quavox
