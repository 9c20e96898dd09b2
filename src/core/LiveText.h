// A state text kept as its Chinese source and its values and translated each time it is
// read, so a text stored once (an engine's detail) follows a later switch of the interface
// language instead of keeping the language it was made in.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "core/Format.h"
#include "core/I18n.h"

namespace quavox {

class TLiveText {
 public:
  TLiveText() = default;
  // AMake builds the text in the current language; it runs on every read.
  explicit TLiveText(std::function<std::string()> AMake) : FMake(std::move(AMake)) {}

  // The Chinese source with printf-style values, translated when read.
  template <typename... TArgs>
  static TLiveText Of(std::string_view ASource, TArgs... AArgs) {
    return TLiveText([Source = std::string(ASource), ... Args = std::move(AArgs)] {
      return Format(Translate(Source), Args...);
    });
  }

  std::string Text() const { return FMake ? FMake() : std::string(); }

 private:
  std::function<std::string()> FMake;
};

}  // namespace quavox
