#include "text/TextFiles.h"

#include <fstream>
#include <sstream>

#include "core/Text.h"

namespace quavox {

std::optional<std::string> ReadTextFile(const std::string& AFileName) {
  std::ifstream In(AFileName, std::ios::binary);
  if (!In) return std::nullopt;
  std::ostringstream Text;
  Text << In.rdbuf();
  if (In.bad()) return std::nullopt;
  return Text.str();
}

std::string ValidUtf8(std::string_view AText) {
  std::string Out;
  Out.reserve(AText.size());
  for (std::size_t i = 0; i < AText.size();) {
    const std::size_t Start = i;
    const char32_t Cp = NextCodePoint(AText, i);
    if (Cp == 0xFFFD && i - Start == 1) {
      AppendUtf8(Out, Cp);
    } else {
      Out.append(AText.substr(Start, i - Start));
    }
  }
  return Out;
}

}  // namespace quavox
