#include "http/HttpWire.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "core/Text.h"
#include "http/Http.h"

namespace quavox {

namespace {

constexpr std::size_t Saturated = std::numeric_limits<std::size_t>::max();
// A chunk-size line with its extensions, and all trailer fields together, are held to
// what a request head may hold.
constexpr std::size_t MaxChunkLineBytes = 4096;
constexpr std::size_t MaxTrailerBytes = 8192;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Decimal digits, saturating instead of overflowing; false when there are none or other
// characters.
bool ParseCount(std::string_view AText, std::size_t& AValue) {
  if (AText.empty() || !std::all_of(AText.begin(), AText.end(), IsDigit)) return false;
  AValue = 0;
  for (const char c : AText) {
    const auto Digit = static_cast<std::size_t>(c - '0');
    AValue = AValue > (Saturated - Digit) / 10 ? Saturated : AValue * 10 + Digit;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One line ending in CR LF, without it; false at the end of the stream, for a bare LF or
// CR, or beyond AMax bytes.
bool ReadLine(const TStreamRead& ARead, std::size_t AMax, std::string& ALine) {
  ALine.clear();
  char c = 0;
  while (ARead(&c, 1) == 1) {
    if (c == '\n') {
      if (ALine.empty() || ALine.back() != '\r') return false;
      ALine.pop_back();
      return true;
    }
    if (ALine.size() > AMax) return false;  // room for the CR
    ALine += c;
  }
  return false;
}

bool ReadExactly(const TStreamRead& ARead, std::size_t ACount, std::string& AOut) {
  char Block[16384];
  while (ACount > 0) {
    const long n = ARead(Block, std::min(ACount, sizeof Block));
    if (n <= 0) return false;
    AOut.append(Block, static_cast<std::size_t>(n));
    ACount -= static_cast<std::size_t>(n);
  }
  return true;
}

// The size of a chunk-size line, its extensions dropped; false when it is not one.
bool ChunkSize(std::string_view ALine, std::size_t& ASize) {
  std::size_t i = 0;
  ASize = 0;
  for (; i < ALine.size() && HexDigit(ALine[i]) >= 0; ++i) {
    if (ASize > (Saturated >> 4)) return false;
    ASize = ASize << 4 | static_cast<std::size_t>(HexDigit(ALine[i]));
  }
  if (i == 0) return false;
  while (i < ALine.size() && (ALine[i] == ' ' || ALine[i] == '\t'))
    ++i;
  return i == ALine.size() || ALine[i] == ';';
}

}  // namespace

TRangeVerdict ParseByteRange(std::string_view AHeader, std::size_t ALength, TByteRange& ARange) {
  const std::string Header = Trim(AHeader);
  const auto Equals = Header.find('=');
  if (Equals == std::string::npos || !SameTextAscii(Trim(Header.substr(0, Equals)), "bytes"))
    return rvWhole;
  const std::string Bounds = Trim(std::string_view(Header).substr(Equals + 1));
  const auto Dash = Bounds.find('-');
  if (Dash == std::string::npos || Bounds.find(',') != std::string::npos) return rvWhole;
  const std::string_view FirstText = std::string_view(Bounds).substr(0, Dash);
  const std::string_view LastText = std::string_view(Bounds).substr(Dash + 1);
  std::size_t First = 0;
  std::size_t Last = 0;
  if (FirstText.empty()) {
    std::size_t Suffix = 0;
    if (!ParseCount(LastText, Suffix)) return rvWhole;
    if (Suffix == 0 || ALength == 0) return rvUnsatisfiable;
    ARange = {ALength - std::min(Suffix, ALength), ALength - 1};
    return rvPart;
  }
  if (!ParseCount(FirstText, First)) return rvWhole;
  if (LastText.empty()) {
    Last = Saturated;
  } else if (!ParseCount(LastText, Last) || Last < First) {
    return rvWhole;
  }
  if (First >= ALength) return rvUnsatisfiable;
  ARange = {First, std::min(Last, ALength - 1)};
  return rvPart;
}

bool NoneMatchNames(std::string_view AHeader, std::string_view AETag) {
  if (AETag.empty()) return false;
  const std::string Header = Trim(AHeader);
  if (Header == "*" || UnquoteEntityTag(Header) == AETag) return true;
  std::string_view Rest = Header;
  for (;;) {
    const auto Start = Rest.find_first_not_of(" \t,");
    if (Start == std::string_view::npos) return false;
    Rest.remove_prefix(Start);
    const bool Weak = StartsWith(Rest, "W/");
    if (Weak) Rest.remove_prefix(2);
    const auto Close =
        Rest.empty() || Rest.front() != '"' ? std::string_view::npos : Rest.find('"', 1);
    if (Close == std::string_view::npos) return false;
    if (!Weak && Rest.substr(1, Close - 1) == AETag) return true;
    Rest.remove_prefix(Close + 1);
  }
}

TChunkedResult ReadChunkedBody(const TStreamRead& ARead, std::size_t AMaxBytes,
                               std::string& ABody) {
  std::string Line;
  for (;;) {
    std::size_t Size = 0;
    if (!ReadLine(ARead, MaxChunkLineBytes, Line) || !ChunkSize(Line, Size)) return crMalformed;
    if (Size == 0) break;
    if (Size > AMaxBytes - std::min(AMaxBytes, ABody.size()) || ABody.size() > AMaxBytes)
      return crTooLarge;
    if (!ReadExactly(ARead, Size, ABody)) return crMalformed;
    if (!ReadLine(ARead, 0, Line)) return crMalformed;
  }
  std::size_t TrailerBytes = 0;
  for (;;) {
    if (!ReadLine(ARead, MaxTrailerBytes - TrailerBytes, Line)) return crMalformed;
    if (Line.empty()) return crDone;
    TrailerBytes += Line.size() + 2;
    if (TrailerBytes >= MaxTrailerBytes) return crMalformed;
  }
}

}  // namespace quavox
