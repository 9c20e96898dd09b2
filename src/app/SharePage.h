// Page "云分享": clone packs that users shared on the cloud hub. Nothing is fetched until the
// user asks. Only the list fetch runs off the main thread; its answer comes back queued and is
// dropped once the window is going. Download, share and take-down block the window until the
// hub answers.
#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "core/LiveText.h"
#include "online/Hub.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace quavox {

class TMainForm;
struct TShareChoice;

class TSharePage final : public QWidget {
  Q_OBJECT

 public:
  explicit TSharePage(TMainForm& AForm);

  // Fetches the list of the current kind; ignored while a fetch runs.
  void OnHubRefreshClick();
  void OnHubFilterChange() { RefreshHubList(); }
  void OnHubKindChange();
  void OnHubDownloadClick();
  void OnHubShareClick();
  void OnHubUnshareClick();
  // The answer of a list fetch of AKind, on the main thread.
  void OnHubListed(THubKind AKind, const THubResult& AResult);
  void FillHubFilters();
  void RefreshHubList();
  // The shown item of the selected row; false when there is none.
  bool SelectedHubItem(THubItem& AItem) const;
  // The fixed choices of the filter combos in the current language, selections kept.
  void RetranslateHubCombos();

  THubKind HubKind() const { return FHubKind; }
  bool HubBusy() const { return FHubBusy; }
  const std::vector<THubItem>& HubAll() const { return FHubAll; }
  const std::vector<THubItem>& HubShown() const { return FHubShown; }

  QLabel* FLblHubHint;
  QComboBox* FCbHubKind;
  QLineEdit* FEdtHubSearch;
  QComboBox* FCbHubLang;
  QComboBox* FCbHubGender;
  QComboBox* FCbHubUser;
  QComboBox* FCbHubSort;
  QTreeWidget* FLvHub;
  QPushButton* FBtnHubRefresh;
  QPushButton* FBtnHubGet;
  QPushButton* FBtnHubShare;
  QPushButton* FBtnHubUnshare;
  QLabel* FLblHubStatus;

 private:
  void CreateFilters();
  void CreateButtons();
  void FillFixedCombos();
  THubFilter CurrentFilter() const;
  // Packs the choice into AFile and gives its language, gender and counts; false after a
  // warning.
  bool PackChoice(const TShareChoice& AChoice, const std::string& AFile, std::string& ALanguage,
                  std::string& AGender, int32_t& AVoices, int32_t& ABindings);
  void ReportUpload(const TShareChoice& AChoice, const THubUploadResult& AResult);
  // The status line, kept so that it follows a switch of the interface language.
  void ShowHubStatus(TLiveText AText);

  TMainForm& FForm;
  THubKind FHubKind = hkVoices;
  // The last list fetched for FHubKind, and the rows shown from it, in row order.
  std::vector<THubItem> FHubAll;
  std::vector<THubItem> FHubShown;
  bool FHubBusy = false;
  TLiveText FHubStatus;
  // Fetch answers hold a weak reference: a page that is gone drops them.
  std::shared_ptr<TSharePage*> FSelf;
};

}  // namespace quavox
