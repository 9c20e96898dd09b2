#include "app/BroadcastPage.h"

#include "app/MainForm.h"

namespace quavox {

TBroadcastPage::TBroadcastPage(TMainForm& AForm) : QWidget(&AForm) {
  setObjectName(QStringLiteral("FTabBroadcast"));
}

}  // namespace quavox
