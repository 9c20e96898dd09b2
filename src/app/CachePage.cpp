#include "app/CachePage.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelection>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <set>

#include "app/CacheListModel.h"
#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/MainForm.h"
#include "app/UiText.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "service/Service.h"
#include "state/Cache.h"
#include "state/Voices.h"

namespace quavox {

namespace {

constexpr int CacheColumnWidths[] = {170, 70, 60, 70, 80, 400};

}  // namespace

TCachePage::TCachePage(TMainForm& AForm) : QWidget(&AForm), FForm(AForm) {
  setObjectName(QStringLiteral("FTabCache"));
  QLabel* Hint = NewLabel(this, "FLblCacheHint",
                          "缓存里存着已经念过的句子。同一句话下次直接取,不用再算一遍。");
  Hint->setWordWrap(true);
  QLayout* Filter = CreateFilterRow();
  CreateList();
  QLayout* Buttons = CreateButtonRow();
  FLblCacheStats = NewLabel(this, "FLblCacheStats", "");
  FLblCacheStats->setWordWrap(true);
  FLblCacheStats->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(Hint);
  Layout->addLayout(Filter);
  Layout->addWidget(FLvCache, 1);
  Layout->addLayout(Buttons);
  Layout->addWidget(FLblCacheStats);
}

QLayout* TCachePage::CreateFilterRow() {
  FEdtCacheFilter = NewEdit(this, "FEdtCacheFilter", "按音色、文字随便打几个字就行");
  FEdtCacheFilter->setClearButtonEnabled(true);
  FCbCacheVoice = NewCombo(this, "FCbCacheVoice");
  FCbCacheVoice->setMinimumContentsLength(14);
  FBtnCacheRefresh = NewButton(this, "FBtnCacheRefresh", "刷新");
  connect(FEdtCacheFilter, &QLineEdit::textChanged, this, &TCachePage::RefreshCachePage);
  connect(FCbCacheVoice, &QComboBox::currentIndexChanged, this, &TCachePage::RefreshCachePage);
  connect(FBtnCacheRefresh, &QPushButton::clicked, this, &TCachePage::RefreshCachePage);
  auto* Row = new QHBoxLayout;
  QLabel* FilterLabel = NewLabel(this, "FLblCacheFilter", "筛选");
  FilterLabel->setBuddy(FEdtCacheFilter);
  QLabel* VoiceLabel = NewLabel(this, "FLblCacheVoice", "音色");
  VoiceLabel->setBuddy(FCbCacheVoice);
  Row->addWidget(FilterLabel);
  Row->addWidget(FEdtCacheFilter, 2);
  Row->addWidget(VoiceLabel);
  Row->addWidget(FCbCacheVoice, 1);
  Row->addWidget(FBtnCacheRefresh);
  return Row;
}

void TCachePage::CreateList() {
  FCacheModel = new TCacheListModel(this);
  FLvCache = new QTreeView(this);
  FLvCache->setObjectName(QStringLiteral("FLvCache"));
  FLvCache->setModel(FCacheModel);
  FLvCache->setRootIsDecorated(false);
  FLvCache->setUniformRowHeights(true);
  FLvCache->setItemsExpandable(false);
  FLvCache->setSelectionMode(QAbstractItemView::ExtendedSelection);
  FLvCache->setSelectionBehavior(QAbstractItemView::SelectRows);
  FLvCache->setEditTriggers(QAbstractItemView::NoEditTriggers);
  FLvCache->setAllColumnsShowFocus(true);
  for (int i = 0; i < static_cast<int>(std::size(CacheColumnWidths)); ++i)
    FLvCache->setColumnWidth(i, CacheColumnWidths[i]);
  NoScrollBarWhileEmpty(FLvCache);
  connect(FLvCache, &QTreeView::doubleClicked, this, &TCachePage::OnCachePlayClick);
}

QLayout* TCachePage::CreateButtonRow() {
  FBtnCachePlay = NewButton(this, "FBtnCachePlay", "播放选中");
  FBtnCacheDelete = NewButton(this, "FBtnCacheDelete", "删除选中");
  FBtnCacheClear = NewButton(this, "FBtnCacheClear", "清空全部");
  FBtnCacheOpenDir = NewButton(this, "FBtnCacheOpenDir", "打开缓存目录");
  FBtnCacheStopPlay = NewButton(this, "FBtnCacheStopPlay", "停止播放");
  connect(FBtnCachePlay, &QPushButton::clicked, this, &TCachePage::OnCachePlayClick);
  connect(FBtnCacheDelete, &QPushButton::clicked, this, &TCachePage::OnCacheDeleteClick);
  connect(FBtnCacheClear, &QPushButton::clicked, this, &TCachePage::OnCacheClearClick);
  connect(FBtnCacheOpenDir, &QPushButton::clicked, this, &TCachePage::OnCacheOpenDirClick);
  connect(FBtnCacheStopPlay, &QPushButton::clicked, this, &TCachePage::OnStopPlayClick);
  auto* Row = new QHBoxLayout;
  for (QPushButton* Button : {FBtnCachePlay, FBtnCacheStopPlay, FBtnCacheDelete, FBtnCacheClear})
    Row->addWidget(Button);
  Row->addStretch(1);
  Row->addWidget(FBtnCacheOpenDir);
  return Row;
}

// Reading ten thousand entries costs the window's start and memory, so a page nobody looks at
// is filled when it is shown.
void TCachePage::RefreshCachePage() {
  FStale = !isVisibleTo(window());
  if (FStale) return;
  const QString Filter = QLocale().toLower(FEdtCacheFilter->text().trimmed());
  const std::string Voice =
      FCbCacheVoice->currentIndex() > 0 ? StdStr(FCbCacheVoice->currentText()) : std::string();
  const std::vector<std::string> Selected = SelectedKeys();
  const int Shown = FCacheModel->Refill(FForm.Service().Cache().Snapshot(), Filter, Voice,
                                        DisplayNames(FForm.Service().VoiceLibrary().All()));
  Reselect(Selected);
  RefillVoiceCombo(FCacheModel->VoiceIds());
  FLblCacheStats->setText(QStr(StatsLine(Shown)));
}

void TCachePage::RefreshIfStale() {
  if (FStale) RefreshCachePage();
}

// A refill resets the model; the rows the operator had selected are selected again.
void TCachePage::Reselect(const std::vector<std::string>& AKeys) {
  if (AKeys.empty()) return;
  const std::set<std::string> Wanted(AKeys.begin(), AKeys.end());
  QItemSelection Rows;
  for (int Row = 0; Row < FCacheModel->rowCount(); ++Row) {
    if (!Wanted.contains(FCacheModel->KeyAt(Row))) continue;
    Rows.select(FCacheModel->index(Row, 0),
                FCacheModel->index(Row, FCacheModel->columnCount() - 1));
  }
  FLvCache->selectionModel()->select(Rows, QItemSelectionModel::Select);
}

void TCachePage::RefillVoiceCombo(const std::vector<std::string>& AVoiceIds) {
  const QString Remembered = FCbCacheVoice->currentText();
  QStringList Items{Tr("(全部音色)")};
  for (const std::string& Id : AVoiceIds)
    Items << QStr(Id);
  const QSignalBlocker Quiet(FCbCacheVoice);
  FCbCacheVoice->clear();
  FCbCacheVoice->addItems(Items);
  FCbCacheVoice->setCurrentIndex(std::max(FCbCacheVoice->findText(Remembered), 0));
}

std::string TCachePage::StatsLine(int AShown) const {
  const TWavCache& Cache = FForm.Service().Cache();
  const TCacheStats Stats = Cache.Stats();
  const int32_t BudgetMB = FForm.Config().Settings().CacheBudgetMB;
  const std::string Budget =
      BudgetMB < 1 ? Translate("不限上限") : Format(Translate("上限 %d MB"), BudgetMB);
  return Format(Translate("%d 条(显示 %d) · %.1f MB / %s · 命中 %d / 未命中 %d(%.0f%%)"),
                Stats.Count, AShown, Stats.Bytes / 1048576.0, Budget, Stats.Hits, Stats.Misses,
                Stats.HitRate() * 100) +
         " · " + Cache.Directory();
}

std::vector<std::string> TCachePage::SelectedKeys() const {
  QModelIndexList Rows = FLvCache->selectionModel()->selectedRows();
  std::sort(Rows.begin(), Rows.end(),
            [](const QModelIndex& A, const QModelIndex& B) { return A.row() < B.row(); });
  std::vector<std::string> Keys;
  Keys.reserve(static_cast<std::size_t>(Rows.size()));
  for (const QModelIndex& Row : Rows)
    Keys.push_back(FCacheModel->KeyAt(Row.row()));
  return Keys;
}

void TCachePage::OnCachePlayClick() {
  const std::vector<std::string> Keys = SelectedKeys();
  if (Keys.empty()) {
    FForm.Warn(Translate("先在上面选一条。"));
    return;
  }
  TWavCache& Cache = FForm.Service().Cache();
  TBytes Wav;
  if (Cache.ReadAudio(Keys.front(), Wav)) {
    FForm.Player().Play(Wav, 0);
    return;
  }
  Cache.Remove(Keys.front());
  RefreshCachePage();
  FForm.Warn(Translate("这条缓存的文件读不出来了,已经把它从索引里去掉。"));
}

void TCachePage::OnCacheDeleteClick() {
  const std::vector<std::string> Keys = SelectedKeys();
  if (Keys.empty()) {
    FForm.Warn(Translate("先在上面选一条。"));
    return;
  }
  TWavCache& Cache = FForm.Service().Cache();
  const auto Removed = std::count_if(Keys.begin(), Keys.end(),
                                     [&](const std::string& K) { return Cache.Remove(K); });
  RefreshCachePage();
  FForm.ShowStatus(Format(Translate("已删掉 %d 条缓存"), static_cast<int>(Removed)));
}

bool TCachePage::ConfirmClearCache() {
  const TServiceStats Stats = FForm.Service().Stats();
  if (Stats.CacheCount == 0) return true;
  std::string Text = Format(Translate("要清空缓存吗?现在有 %d 条,占 %.1f MB。"), Stats.CacheCount,
                            Stats.CacheBytes / 1048576.0);
  if (Stats.TotalSynthMs > 0)
    Text += "\r\n" + Format(Translate("这些当初一共算了约 %.0f 分钟,清掉之后要重新算一遍。"),
                            Stats.TotalSynthMs / 60000.0);
  Text += "\r\n\r\n" + Translate("音色和广播绑定不受影响,只清合成好的音频。");
  return FForm.Dialogs().ConfirmWarning(&FForm, Text);
}

void TCachePage::OnCacheClearClick() {
  if (!ConfirmClearCache()) return;
  FForm.Service().ClearCache();
  RefreshCachePage();
  FForm.ShowStatus(Translate("缓存已清空"));
}

void TCachePage::OnCacheOpenDirClick() {
  const QString Dir = QStr(FForm.Config().CacheDir());
  QDir().mkpath(Dir);
  QDesktopServices::openUrl(QUrl::fromLocalFile(Dir));
}

void TCachePage::OnStopPlayClick() {
  FForm.Player().Stop();
}

}  // namespace quavox
