// The engine controls of the settings page: the compute backend with the backends this
// engine build lacks marked, the engine-package download, the GPU device listed by the GPU
// probe in the background, and the engine buttons (restart, engine log, models folder),
// which sit in a row of their own so the settings page can place them in its advanced panel.
// Everything here runs on the main thread; a probe's result comes back through the window's
// dispatcher and is dropped once the window is going.
#pragma once

#include <QComboBox>
#include <QWidget>

#include "core/Types.h"
#include "state/Config.h"

class QPushButton;

namespace quavox {

class TMainForm;

// A combo box that says when its list is about to drop down, so the list can be refilled.
class TDropDownCombo final : public QComboBox {
  Q_OBJECT

 public:
  using QComboBox::QComboBox;
  void showPopup() override;

 signals:
  void DropDown();
};

class TEngineSettingsPanel final : public QWidget {
  Q_OBJECT

 public:
  // Shows the configuration's backend and device at once.
  TEngineSettingsPanel(TMainForm& AForm, QWidget* AParent);

  // The configuration's backend and device into the controls, with both lists refilled.
  void SettingsToControls(const TConfigSettings& ASettings);
  // The chosen backend and device into AEngine; the device stays when none is chosen.
  void ControlsToSettings(TEngineOptions& AEngine) const;

  void FillComputeCombo();
  void RefreshEngineButton();
  void FillGpuCombo();

  void OnComputeChange();
  void OnGpuDeviceDropDown();
  void OnDownloadEngineClick();
  void OnRestartEngineClick();
  void OnOpenEngineLogClick();
  void OnOpenModelsDirClick();

  QComboBox* FCbCompute;
  QPushButton* FBtnDownloadEngine;
  TDropDownCombo* FCbGpuDevice;
  // "重启引擎", "引擎日志" and "模型目录".
  QWidget* FPnlEngineButtons;
  QPushButton* FBtnRestartEngine;
  QPushButton* FBtnEngineLog;
  QPushButton* FBtnModelsDir;

 private:
  TComputeBackend ChosenBackend() const;
  QWidget* CreateEngineButtons();

  TMainForm& FForm;
};

}  // namespace quavox
