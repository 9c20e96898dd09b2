#include "app/CachePage.h"

#include "app/MainForm.h"

namespace quavox {

TCachePage::TCachePage(TMainForm& AForm) : QWidget(&AForm) {
  setObjectName(QStringLiteral("FTabCache"));
}

}  // namespace quavox
