// Page "缓存": the synthesized-audio cache, newest first, filtered by a few typed characters
// and by voice; entries are played, deleted or all cleared from here. The window refreshes
// the page after every synthesis.
#pragma once

#include <QWidget>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace quavox {

class TCacheListModel;
class TMainForm;

class TCachePage final : public QWidget {
  Q_OBJECT

 public:
  explicit TCachePage(TMainForm& AForm);

  // Refills the cache list, the voice choice and the statistics line from the cache; while
  // the page is not the one shown it only notes that they are out of date.
  void RefreshCachePage();
  // The refill the page missed while it was not shown.
  void RefreshIfStale();
  void OnCachePlayClick();
  void OnCacheDeleteClick();
  void OnCacheClearClick();
  void OnCacheOpenDirClick();
  void OnStopPlayClick();
  // Asks before throwing synthesized audio away; yes without asking when there is none.
  bool ConfirmClearCache();
  // The cache keys of the selected rows, top row first.
  std::vector<std::string> SelectedKeys() const;
  TCacheListModel& CacheModel() const { return *FCacheModel; }

  QLineEdit* FEdtCacheFilter;
  QComboBox* FCbCacheVoice;
  QPushButton* FBtnCacheRefresh;
  QTreeView* FLvCache;
  QPushButton* FBtnCachePlay;
  QPushButton* FBtnCacheDelete;
  QPushButton* FBtnCacheClear;
  QPushButton* FBtnCacheOpenDir;
  QPushButton* FBtnCacheStopPlay;
  QLabel* FLblCacheStats;

 private:
  QLayout* CreateFilterRow();
  QLayout* CreateButtonRow();
  void CreateList();
  void RefillVoiceCombo(const std::vector<std::string>& AVoiceIds);
  void Reselect(const std::vector<std::string>& AKeys);
  std::string StatsLine(int AShown) const;

  TMainForm& FForm;
  TCacheListModel* FCacheModel;
  bool FStale = false;
};

}  // namespace quavox
