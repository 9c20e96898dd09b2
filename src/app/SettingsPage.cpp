#include "app/SettingsPage.h"

#include "app/MainForm.h"

namespace quavox {

TSettingsPage::TSettingsPage(TMainForm& AForm) : QWidget(&AForm) {
  setObjectName(QStringLiteral("FTabSettings"));
}

}  // namespace quavox
