#include "core/Format.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace quavox {

namespace {

struct TConversion {
  bool LeftAlign = false;
  int Width = -1;
  int Precision = -1;
  char Type = 's';
};

int ReadNumber(std::string_view f, std::size_t& i) {
  int n = 0;
  while (i < f.size() && f[i] >= '0' && f[i] <= '9' && n < 10000)
    n = n * 10 + (f[i++] - '0');
  return n;
}

std::string Pad(std::string s, const TConversion& AConv) {
  if (AConv.Width > 0 && static_cast<int>(s.size()) < AConv.Width) {
    const std::string Fill(AConv.Width - s.size(), ' ');
    s = AConv.LeftAlign ? s + Fill : Fill + s;
  }
  return s;
}

// Locale-independent: the desktop program sets the user's locale, which must not turn the
// decimal point of log lines, keys or wire texts into a comma.
std::string FormatFloat(double v, char AType, int APrecision) {
  const int Prec = std::min(APrecision < 0 ? (AType == 'g' ? 15 : 2) : APrecision, 100);
  const std::chars_format Style = AType == 'e'   ? std::chars_format::scientific
                                  : AType == 'g' ? std::chars_format::general
                                                 : std::chars_format::fixed;
  char Buf[512];
  const auto Result = std::to_chars(Buf, Buf + sizeof Buf, v, Style, Prec);
  if (Result.ec != std::errc()) return "0";
  return std::string(Buf, Result.ptr);
}

std::string Render(const TFormatArg& AArg, const TConversion& AConv) {
  switch (AConv.Type) {
    case 'd':
    case 'u':
      if (auto* d = std::get_if<double>(&AArg)) return std::to_string(static_cast<long long>(*d));
      break;
    case 'x':
      if (auto* i = std::get_if<long long>(&AArg)) {
        char Buf[32];
        std::snprintf(Buf, sizeof Buf, "%llX", static_cast<unsigned long long>(*i));
        return Buf;
      }
      break;
    case 'f':
    case 'e':
    case 'g':
    case 'n':
      if (auto* d = std::get_if<double>(&AArg)) return FormatFloat(*d, AConv.Type, AConv.Precision);
      if (auto* i = std::get_if<long long>(&AArg))
        return FormatFloat(static_cast<double>(*i), AConv.Type, AConv.Precision);
      break;
    default:
      break;
  }
  if (auto* s = std::get_if<std::string>(&AArg)) {
    if (AConv.Type == 's' && AConv.Precision >= 0 &&
        static_cast<std::size_t>(AConv.Precision) < s->size())
      return s->substr(0, AConv.Precision);
    return *s;
  }
  if (auto* i = std::get_if<long long>(&AArg)) return std::to_string(*i);
  return FormatFloat(std::get<double>(AArg), 'g', -1);
}

}  // namespace

std::string FormatArgs(std::string_view f, std::span<const TFormatArg> AArgs) {
  std::string Out;
  Out.reserve(f.size() + 16 * AArgs.size());
  std::size_t NextArg = 0;
  for (std::size_t i = 0; i < f.size();) {
    if (f[i] != '%') {
      Out += f[i++];
      continue;
    }
    const std::size_t Start = i++;
    if (i < f.size() && f[i] == '%') {
      Out += '%';
      ++i;
      continue;
    }
    TConversion Conv;
    std::size_t j = i;
    const int Index = ReadNumber(f, j);
    if (j > i && j < f.size() && f[j] == ':') {
      NextArg = static_cast<std::size_t>(Index);
      i = j + 1;
    }
    if (i < f.size() && f[i] == '-') {
      Conv.LeftAlign = true;
      ++i;
    }
    if (i < f.size() && f[i] >= '0' && f[i] <= '9') Conv.Width = ReadNumber(f, i);
    if (i < f.size() && f[i] == '.') {
      ++i;
      Conv.Precision = ReadNumber(f, i);
    }
    if (i >= f.size()) {
      Out.append(f.substr(Start));
      break;
    }
    Conv.Type = static_cast<char>(f[i] >= 'A' && f[i] <= 'Z' ? f[i] - 'A' + 'a' : f[i]);
    ++i;
    if (NextArg >= AArgs.size()) {
      Out.append(f.substr(Start, i - Start));
      continue;
    }
    Out += Pad(Render(AArgs[NextArg++], Conv), Conv);
  }
  return Out;
}

}  // namespace quavox
