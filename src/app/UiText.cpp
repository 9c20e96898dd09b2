#include "app/UiText.h"

#include "core/I18n.h"

namespace quavox {

QString Tr(std::string_view AChinese) {
  return QStr(Translate(AChinese));
}

}  // namespace quavox
