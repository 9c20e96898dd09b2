#include "app/SharePage.h"

#include "app/MainForm.h"

namespace quavox {

TSharePage::TSharePage(TMainForm& AForm) : QWidget(&AForm) {
  setObjectName(QStringLiteral("FTabShare"));
}

}  // namespace quavox
