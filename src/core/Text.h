// Small text helpers shared by every layer. Strings are UTF-8 in memory; lengths that
// users see as limits are counted in UTF-16 code units.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quavox {

std::string Trim(std::string_view AText);
std::string LowerAscii(std::string_view AText);
std::string UpperAscii(std::string_view AText);
bool SameTextAscii(std::string_view A, std::string_view B);
bool StartsWith(std::string_view AText, std::string_view APrefix);
bool EndsWith(std::string_view AText, std::string_view ASuffix);

// Decodes UTF-8 leniently: every invalid byte becomes U+FFFD, so any bytes give a result.
std::u16string Utf8ToUtf16(std::string_view AText);
std::string Utf16ToUtf8(std::u16string_view AText);
std::size_t Utf16Length(std::string_view AText);
// Reads the code point at AIndex and moves past it; a malformed sequence consumes one byte
// and yields U+FFFD.
char32_t NextCodePoint(std::string_view AText, std::size_t& AIndex);
void AppendUtf8(std::string& AOut, char32_t ACodePoint);

// Unicode letter or decimal digit, for one UTF-16 code unit (surrogates are neither).
bool IsLetterOrDigit(char16_t ACodeUnit);
bool IsWhiteSpace(char16_t ACodeUnit);

// Parses a whole trimmed text as a decimal integer / a number with "." as separator.
bool TryParseInt64(std::string_view AText, int64_t& AValue);
bool TryParseDouble(std::string_view AText, double& AValue);

}  // namespace quavox
