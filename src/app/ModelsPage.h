// Page "模型": downloading model files, choosing the installed model the engine runs and the
// model's state. It also carries the model commands of the service page (the one-click
// download of the recommended set and unload/load). Downloads run on the downloader's
// thread; their progress arrives here on the main thread, where every handler runs.
#pragma once

#include <QWidget>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "core/LiveText.h"
#include "engine/Models.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace quavox {

class TMainForm;

// The first engine package, its address taken from the configured package base when one is
// set; nothing when the catalogue has no package.
std::optional<TModelVariant> FirstEnginePackage(const TAppConfig& AConfig);
// The engine for the backend was downloaded into the state folder or shipped with the program.
bool EngineBackendAvailable(const TAppConfig& AConfig, TComputeBackend ABackend);

// What the one-click download fetches on this machine now: the recommended model (with the
// tokenizer) while no model is installed, and the first engine package while an NVIDIA
// driver is present and that package's backend is missing.
struct TQuickDownloadPlan {
  std::vector<TModelVariant> Items;
  bool WithTokenizer = false;
  int64_t TotalBytes = 0;
  // The model host: the mirror when the configuration says so, else the official one.
  std::string Host;
  // "一共要下 …" with the item lines, the note and the host, as the confirmation shows it.
  std::string Confirmation;
};

class TModelsPage final : public QWidget {
  Q_OBJECT

 public:
  explicit TModelsPage(TMainForm& AForm);

  void FillCombos();
  // Refills the installed-model choice and the model state from the models folder and the
  // service.
  void RefreshModelPage();
  // The model state block alone, as the engine is now.
  void RefreshModelState();
  // A report of the running download, on the main thread.
  void OnDownloadProgress(const TDownloadProgress& AProgress);

  void OnQuickModelClick();
  void OnUnloadModelClick();
  void OnDownloadClick();
  void OnCancelDownloadClick();
  void OnApplyModelClick();
  void OnOpenModelsDirClick();

  TQuickDownloadPlan QuickDownloadPlan() const;
  // The host chosen in "下载源": the official one for index 1, else the mirror.
  std::string ChosenHost() const;
  // Disables "下载", enables "取消" and shows the start of a download.
  void ShowDownloadStarting();

  QComboBox* FCbVariant;
  // Shown while the engine is the bundled server, which runs none of the catalogue's models.
  QLabel* FLblVariantsUnusable;
  QComboBox* FCbSource;
  QPushButton* FBtnDownload;
  QPushButton* FBtnCancelDownload;
  QPushButton* FBtnOpenModelsDir;
  QProgressBar* FBarDownload;
  QLabel* FLblDownload;
  QComboBox* FCbInstalled;
  QPushButton* FBtnApplyModel;
  // The model state, a caption and a value per row, so the rows line up in every script.
  QWidget* FPnlModelState;
  static constexpr std::size_t ModelStateRows = 6;
  std::array<QLabel*, ModelStateRows> FLblModelState;
  // The rows as "caption  value" lines, as the operator reads them.
  QString ModelStateText() const;

 private:
  QWidget* CreateDownloadGroup();
  QWidget* CreateChoiceGroup();
  void AfterDownloadEnded(const TDownloadProgress& AProgress);
  QWidget* CreateModelState();
  // Whether the engine would run the catalogue's models; the variant choice follows it.
  void ShowVariantsRunnable();
  std::array<QLabel*, ModelStateRows> FLblModelStateCaptions;
  std::array<std::string, ModelStateRows> ModelStateValues();
  // The download line, kept so it can be shown again in another interface language.
  void ShowDownloadLine(TLiveText ALine);

  TMainForm& FForm;
  TLiveText FDownloadLine;
  // What the variant choice shows; unset after it was filled anew.
  std::optional<bool> FVariantsRunnable;
};

}  // namespace quavox
