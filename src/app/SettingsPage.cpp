#include "app/SettingsPage.h"

#include "app/EnginePanel.h"
#include "app/MainForm.h"

namespace quavox {

TSettingsPage::TSettingsPage(TMainForm& AForm) : QWidget(&AForm) {
  setObjectName(QStringLiteral("FTabSettings"));
  FEnginePanel = new TEngineSettingsPanel(AForm, this);
}

}  // namespace quavox
