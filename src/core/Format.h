// printf-like formatting for the program's texts. Translated format strings may reorder
// their arguments with index specifiers ("%1:s"), so the arguments travel as values and a
// specifier that does not match its argument never crashes: the value is printed as it is.
#pragma once

#include <array>
#include <concepts>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace quavox {

using TFormatArg = std::variant<long long, double, std::string>;

std::string FormatArgs(std::string_view AFormat, std::span<const TFormatArg> AArgs);

template <typename T>
TFormatArg ToFormatArg(const T& AValue) {
  if constexpr (std::is_same_v<T, bool>) {
    return static_cast<long long>(AValue);
  } else if constexpr (std::integral<T> || std::is_enum_v<T>) {
    return static_cast<long long>(AValue);
  } else if constexpr (std::floating_point<T>) {
    return static_cast<double>(AValue);
  } else {
    return std::string(std::string_view(AValue));
  }
}

template <typename... TArgs>
std::string Format(std::string_view AFormat, const TArgs&... AArgs) {
  const std::array<TFormatArg, sizeof...(TArgs)> Args{ToFormatArg(AArgs)...};
  return FormatArgs(AFormat, Args);
}

}  // namespace quavox
