#include "app/ModelsPage.h"

#include "app/MainForm.h"

namespace quavox {

TModelsPage::TModelsPage(TMainForm& AForm) : QWidget(&AForm) {
  setObjectName(QStringLiteral("FTabModels"));
}

}  // namespace quavox
