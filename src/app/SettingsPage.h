// Page "设置": every setting of the configuration, the interface language and the update check.
#pragma once

#include <QWidget>

namespace quavox {

class TMainForm;
class TEngineSettingsPanel;

class TSettingsPage final : public QWidget {
  Q_OBJECT

 public:
  explicit TSettingsPage(TMainForm& AForm);

  // Shows the configuration in the controls.
  void SettingsToControls() {}

  TEngineSettingsPanel* FEnginePanel;
};

}  // namespace quavox
