// Page "设置": every setting of the configuration, read back with its parsing, clamping and
// default and applied to the running service and server; the reset to defaults; the
// advanced panel; the interface language; and the release update check, which runs on a
// thread of its own and reports back through the window's main-thread dispatcher.
#pragma once

#include <QWidget>
#include <string>

#include "online/Update.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quavox {

class TMainForm;
class TEngineSettingsPanel;
struct TConfigSettings;

class TSettingsPage final : public QWidget {
  Q_OBJECT

 public:
  explicit TSettingsPage(TMainForm& AForm);

  void FillCombos();
  // Shows the configuration in the controls.
  void SettingsToControls();
  // Copies the controls into the configuration, saves and applies it, and shows the values
  // kept; false, with a warning and nothing changed, when the port is not a number from 1
  // to 65535.
  bool ControlsToSettings();
  // The port field as a number from 1 to 65535; false, with a warning, when it is not.
  bool ReadPort(int32_t& APort) const;
  void OnSaveSettingsClick();
  void OnResetSettingsClick();
  void OnToggleAdvancedClick();
  void UpdateAdvancedCaption();
  // The answer of an update check in the current language, after a language switch.
  void RetranslateUpdateLine();
  void OnCheckUpdateClick();
  // The release check's answer, on the main thread.
  void OnUpdateChecked(const TUpdateInfo& AInfo);
  void OnGitHubLinkClick();
  // The release page the link opens: the newer release found by the last check, else the
  // list of the program's releases.
  std::string ReleaseLinkUrl() const;
  // Where the release check and the link go; the real hosts unless a test sets its own.
  void SetReleaseHosts(std::string AApiBaseUrl, std::string ACodeHostUrl);
  const TUpdateInfo& UpdateInfo() const { return FUpdateInfo; }

  QComboBox* FCbUiLang;
  // The compute backend, the GPU and the engine package.
  QGroupBox* FGbEngine;
  QCheckBox* FChkAutoStart;
  QCheckBox* FChkTray;
  QPushButton* FBtnSaveSettings;
  QPushButton* FBtnResetSettings;
  QPushButton* FBtnAdvanced;
  QPushButton* FBtnCheckUpdate;
  QLabel* FLblUpdate;
  QLabel* FLnkGitHub;

  QWidget* FPnlAdvanced;
  QLineEdit* FEdtPort;
  QLineEdit* FEdtBind;
  QLineEdit* FEdtRate;
  QLineEdit* FEdtMaxText;
  QLineEdit* FEdtQueue;
  QLineEdit* FEdtTimeout;
  QComboBox* FCbSpeedMode;
  QCheckBox* FChkCacheEnabled;
  QLineEdit* FEdtCacheMB;
  QCheckBox* FChkAutoDefaultVoice;
  QLineEdit* FEdtGpuLayers;
  QLineEdit* FEdtThreads;
  QLineEdit* FEdtTemperature;
  QLineEdit* FEdtTopP;
  QLineEdit* FEdtTopK;
  QLineEdit* FEdtMaxTokens;
  QLineEdit* FEdtExtraArgs;
  // The engine buttons of the advanced panel.
  QHBoxLayout* FLayEngineButtons;
  // The compute backend, GPU and engine package controls, inside FGbEngine.
  TEngineSettingsPanel* FEnginePanel = nullptr;

 private:
  QWidget* CreateTopArea();
  QLayout* CreateButtonRow();
  // The engine controls live in a group of their own, filled by the models page's code.
  QGroupBox* CreateEngineGroup();
  QWidget* CreateAdvancedPanel();
  QGroupBox* CreateServerGroup();
  QGroupBox* CreateSynthesisGroup();
  QGroupBox* CreateEngineParamsGroup();
  void ShowUpdateLine(const QString& AText, bool AHighlight);
  void ShowUpdateAnswer();

  TMainForm& FForm;
  TUpdateInfo FUpdateInfo;
  bool FUpdateAnswered = false;
  std::string FReleaseApiUrl = ReleaseApiUrl;
  std::string FCodeHostUrl = CodeHostUrl;
};

// How the settings page reads a number typed into an edit, after trimming: a decimal
// integer that fits 32 bits, else ADefault; then clamped to AMin..AMax.
int32_t SettingInt(const QString& AText, int32_t ADefault, int32_t AMin, int32_t AMax);
// A finite number with "." as decimal separator, else ADefault.
double SettingDecimal(const QString& AText, double ADefault);

}  // namespace quavox
