#include "app/SharePage.h"
#include "app/Controls.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QThreadPool>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>

#include "app/BroadcastPage.h"
#include "app/Dialogs.h"
#include "app/MainForm.h"
#include "app/ShareForm.h"
#include "app/TryOutPage.h"
#include "app/UiText.h"
#include "app/VoicesPage.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "service/Service.h"
#include "state/ClonePack.h"
#include "state/Voices.h"

namespace quavox {

namespace {

struct TColumn {
  const char* Caption;
  int Width;
};

constexpr TColumn HubColumns[] = {{"标题", 210}, {"上传者", 110}, {"语言", 80},     {"性别", 70},
                                  {"音色", 60},  {"下载", 70},    {"上传时间", 90}, {"说明", 200}};

// As wide as its longest item: the filters hold short words.
QComboBox* NewFittingCombo(QWidget* AParent, const char* AName) {
  auto* Combo = new QComboBox(AParent);
  Combo->setObjectName(QLatin1String(AName));
  Combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  return Combo;
}

QString CreatedDate(TDateTime ATime) {
  const auto Ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(ATime.time_since_epoch()).count();
  if (Ms <= 0) return {};
  return QDateTime::fromMSecsSinceEpoch(Ms).toLocalTime().toString(QStringLiteral("yyyy-MM-dd"));
}

QTreeWidgetItem* HubRow(const THubItem& AItem) {
  return new QTreeWidgetItem(QStringList{
      QStr(AItem.Title), QStr(AItem.UserId), QStr(LanguageName(AItem.Language)), QStr(AItem.Gender),
      QString::number(AItem.Voices), QString::number(AItem.Downloads), CreatedDate(AItem.CreatedAt),
      QStr(AItem.Note)});
}

// "全部…" first, then the values; the remembered text stays chosen while it is offered.
void RefillDistinct(QComboBox* ACombo, const QString& AAll,
                    const std::vector<std::string>& AValues) {
  const QString Remembered = ACombo->currentText();
  const QSignalBlocker Quiet(ACombo);
  ACombo->clear();
  ACombo->addItem(AAll);
  for (const std::string& Value : AValues)
    ACombo->addItem(QStr(Value));
  ACombo->setCurrentIndex(std::max(ACombo->findText(Remembered, Qt::MatchFixedString), 0));
}

// Refills AItems in order and selects ASelected (or keeps the selection when it is -1 and the
// combo already had items).
void RefillFixed(QComboBox* ACombo, const QStringList& AItems, int ASelected) {
  const int Index = ASelected >= 0 ? ASelected : std::max(ACombo->currentIndex(), 0);
  const QSignalBlocker Quiet(ACombo);
  ACombo->clear();
  ACombo->addItems(AItems);
  ACombo->setCurrentIndex(std::min(Index, static_cast<int>(AItems.size()) - 1));
}

QStringList GenderChoices() {
  return {Tr("全部性别"), QStr(GenderDisplay(tgFemale)), QStr(GenderDisplay(tgMale))};
}

QStringList KindChoices() {
  return {QStr(HubKindDisplay(hkVoices)), QStr(HubKindDisplay(hkBroadcasts))};
}

QStringList SortChoices() {
  return {Tr("最新上传在前"), Tr("最早上传在前"), Tr("下载最多在前"), Tr("按标题"), Tr("按上传者")};
}

// Hub ids are outside data: one that is not a plain name becomes a hash in file names.
std::string SafeFileStem(const std::string& AId) {
  const bool Plain =
      !AId.empty() && AId.size() <= 64 && std::all_of(AId.begin(), AId.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '-' || c == '_';
      });
  return Plain ? AId : Sha256Hex(AId).substr(0, 32);
}

void StoreHubUserId(TAppConfig& AConfig, const std::string& AUserId) {
  TConfigSettings Settings = AConfig.Settings();
  Settings.HubUserId = AUserId;
  AConfig.SetSettings(Settings);
}

}  // namespace

TSharePage::TSharePage(TMainForm& AForm)
    : QWidget(&AForm), FForm(AForm), FSelf(std::make_shared<TSharePage*>(this)) {
  setObjectName(QStringLiteral("FTabShare"));
  FLblHubHint = new QLabel(
      QStringLiteral("别人分享的音色和广播,挑一个下下来直接就能用。你也可以把自己做好的传上去。"),
      this);
  FLblHubHint->setObjectName(QStringLiteral("FLblHubHint"));
  FLblHubHint->setWordWrap(true);
  FLblHubHint->setStyleSheet(QStringLiteral("color: gray;"));
  CreateFilters();
  FLvHub = new QTreeWidget(this);
  FLvHub->setObjectName(QStringLiteral("FLvHub"));
  FLvHub->setRootIsDecorated(false);
  FLvHub->setUniformRowHeights(true);
  FLvHub->setSelectionMode(QAbstractItemView::SingleSelection);
  FLvHub->setSelectionBehavior(QAbstractItemView::SelectRows);
  FLvHub->setEditTriggers(QAbstractItemView::NoEditTriggers);
  QStringList Captions;
  for (const TColumn& Column : HubColumns)
    Captions << QString::fromUtf8(Column.Caption);
  FLvHub->setHeaderLabels(Captions);
  for (int i = 0; i < static_cast<int>(std::size(HubColumns)); ++i)
    FLvHub->setColumnWidth(i, HubColumns[i].Width);
  NoScrollBarWhileEmpty(FLvHub);
  CreateButtons();
  FLblHubStatus = new QLabel(this);
  FLblHubStatus->setObjectName(QStringLiteral("FLblHubStatus"));
  FLblHubStatus->setStyleSheet(QStringLiteral("color: gray;"));

  auto* Search = new QHBoxLayout;
  Search->addWidget(FCbHubKind);
  Search->addWidget(FEdtHubSearch, 1);
  auto* Filters = new QHBoxLayout;
  for (QComboBox* Combo : {FCbHubLang, FCbHubGender, FCbHubUser, FCbHubSort})
    Filters->addWidget(Combo);
  Filters->addStretch(1);
  auto* Buttons = new QHBoxLayout;
  for (QPushButton* Button : {FBtnHubRefresh, FBtnHubGet, FBtnHubShare, FBtnHubUnshare})
    Buttons->addWidget(Button);
  Buttons->addWidget(FLblHubStatus, 1);
  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(FLblHubHint);
  Layout->addLayout(Search);
  Layout->addLayout(Filters);
  Layout->addWidget(FLvHub, 1);
  Layout->addLayout(Buttons);
}

void TSharePage::CreateFilters() {
  FCbHubKind = NewFittingCombo(this, "FCbHubKind");
  FEdtHubSearch = new QLineEdit(this);
  FEdtHubSearch->setObjectName(QStringLiteral("FEdtHubSearch"));
  FEdtHubSearch->setPlaceholderText(QStringLiteral("搜标题 / 上传者 / 说明"));
  FCbHubLang = NewFittingCombo(this, "FCbHubLang");
  FCbHubGender = NewFittingCombo(this, "FCbHubGender");
  FCbHubUser = NewFittingCombo(this, "FCbHubUser");
  FCbHubSort = NewFittingCombo(this, "FCbHubSort");
  connect(FCbHubKind, &QComboBox::currentIndexChanged, this, &TSharePage::OnHubKindChange);
  connect(FEdtHubSearch, &QLineEdit::textChanged, this, &TSharePage::OnHubFilterChange);
  for (QComboBox* Combo : {FCbHubLang, FCbHubGender, FCbHubUser, FCbHubSort})
    connect(Combo, &QComboBox::currentIndexChanged, this, &TSharePage::OnHubFilterChange);
}

void TSharePage::CreateButtons() {
  FBtnHubRefresh = NewButton(this, "FBtnHubRefresh", "刷新");
  FBtnHubGet = NewButton(this, "FBtnHubGet", "下载并导入");
  FBtnHubShare = NewButton(this, "FBtnHubShare", "分享我的…");
  FBtnHubUnshare = NewButton(this, "FBtnHubUnshare", "撤下我的分享");
  connect(FBtnHubRefresh, &QPushButton::clicked, this, &TSharePage::OnHubRefreshClick);
  connect(FBtnHubGet, &QPushButton::clicked, this, &TSharePage::OnHubDownloadClick);
  connect(FBtnHubShare, &QPushButton::clicked, this, &TSharePage::OnHubShareClick);
  connect(FBtnHubUnshare, &QPushButton::clicked, this, &TSharePage::OnHubUnshareClick);
}

void TSharePage::OnHubRefreshClick() {
  if (FHubBusy) return;
  FHubBusy = true;
  FBtnHubRefresh->setEnabled(false);
  ShowHubStatus(TLiveText::Of("正在拉取列表…"));
  const THubKind Kind = FHubKind;
  const std::weak_ptr<TSharePage*> Page = FSelf;
  // The pool's threads are waited for when the application ends, so the answer always has
  // an application to be queued to.
  QThreadPool::globalInstance()->start([Kind, Page, Url = FForm.HubUrl()] {
    THubResult Result = HubList(Kind, Url);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [Kind, Page, Result = std::move(Result)] {
          const std::shared_ptr<TSharePage*> Alive = Page.lock();
          if (Alive != nullptr && MainFormAlive()) (*Alive)->OnHubListed(Kind, Result);
        },
        Qt::QueuedConnection);
  });
}

void TSharePage::OnHubListed(THubKind AKind, const THubResult& AResult) {
  FHubBusy = false;
  FBtnHubRefresh->setEnabled(true);
  // The kind changed while this list was on its way: it belongs to no list shown now.
  if (AKind != FHubKind) {
    OnHubRefreshClick();
    return;
  }
  if (!AResult.Ok) {
    ShowHubStatus(TLiveText([Error = AResult.Error] { return Translate("拉不到:") + Error; }));
    return;
  }
  FHubAll = AResult.Items;
  FillHubFilters();
  RefreshHubList();
}

void TSharePage::FillHubFilters() {
  RefillDistinct(FCbHubLang, Tr("全部语言"), CollectDistinct(FHubAll, false));
  RefillDistinct(FCbHubUser, Tr("全部上传者"), CollectDistinct(FHubAll, true));
  FillFixedCombos();
}

void TSharePage::FillFixedCombos() {
  if (FCbHubGender->count() == 0) RefillFixed(FCbHubGender, GenderChoices(), 0);
  if (FCbHubKind->count() == 0) RefillFixed(FCbHubKind, KindChoices(), FHubKind);
  if (FCbHubSort->count() == 0) RefillFixed(FCbHubSort, SortChoices(), 0);
}

void TSharePage::RetranslateHubCombos() {
  if (FCbHubGender->count() > 0) RefillFixed(FCbHubGender, GenderChoices(), -1);
  if (FCbHubKind->count() > 0) RefillFixed(FCbHubKind, KindChoices(), FHubKind);
  if (FCbHubSort->count() > 0) RefillFixed(FCbHubSort, SortChoices(), -1);
  if (FCbHubLang->count() > 0) FCbHubLang->setItemText(0, Tr("全部语言"));
  if (FCbHubUser->count() > 0) FCbHubUser->setItemText(0, Tr("全部上传者"));
  if (!FHubBusy && !FHubAll.empty()) RefreshHubList();
  ShowHubStatus(FHubStatus);
}

THubFilter TSharePage::CurrentFilter() const {
  THubFilter Filter;
  Filter.Text = StdStr(FEdtHubSearch->text().trimmed());
  if (FCbHubLang->currentIndex() > 0) Filter.Language = StdStr(FCbHubLang->currentText());
  if (FCbHubUser->currentIndex() > 0) Filter.UserId = StdStr(FCbHubUser->currentText());
  // The hub names genders in English whatever the interface language.
  if (FCbHubGender->currentIndex() == 1) Filter.Gender = "female";
  if (FCbHubGender->currentIndex() == 2) Filter.Gender = "male";
  return Filter;
}

void TSharePage::RefreshHubList() {
  const int Sort = std::clamp(FCbHubSort->currentIndex(), 0, static_cast<int>(hsUploader));
  FHubShown = HubArrange(FHubAll, CurrentFilter(), static_cast<THubSort>(Sort));
  QList<QTreeWidgetItem*> Rows;
  Rows.reserve(static_cast<qsizetype>(FHubShown.size()));
  for (const THubItem& Item : FHubShown)
    Rows << HubRow(Item);
  FLvHub->setUpdatesEnabled(false);
  FLvHub->clear();
  FLvHub->addTopLevelItems(Rows);
  FLvHub->setUpdatesEnabled(true);
  ShowHubStatus(FHubAll.empty() ? TLiveText()
                                : TLiveText::Of("%d / %d 条", static_cast<int>(FHubShown.size()),
                                                static_cast<int>(FHubAll.size())));
}

void TSharePage::ShowHubStatus(TLiveText AText) {
  FHubStatus = std::move(AText);
  FLblHubStatus->setText(QStr(FHubStatus.Text()));
}

void TSharePage::OnHubKindChange() {
  FHubKind = FCbHubKind->currentIndex() == hkBroadcasts ? hkBroadcasts : hkVoices;
  FHubAll.clear();
  FHubShown.clear();
  for (QComboBox* Combo : {FCbHubLang, FCbHubUser}) {
    const QSignalBlocker Quiet(Combo);
    Combo->clear();
  }
  FillHubFilters();
  RefreshHubList();
  OnHubRefreshClick();
}

bool TSharePage::SelectedHubItem(THubItem& AItem) const {
  const QList<QTreeWidgetItem*> Selected = FLvHub->selectedItems();
  if (Selected.isEmpty()) return false;
  const int Row = FLvHub->indexOfTopLevelItem(Selected.first());
  if (Row < 0 || Row >= static_cast<int>(FHubShown.size())) return false;
  AItem = FHubShown[static_cast<std::size_t>(Row)];
  return true;
}

void TSharePage::OnHubDownloadClick() {
  THubItem Item;
  if (!SelectedHubItem(Item)) {
    FForm.Warn(Translate("先在列表里选一条。"));
    return;
  }
  const std::string File = FForm.Config().CacheDir() + "hub-" + SafeFileStem(Item.Id) + ".cln";
  ShowHubStatus(TLiveText::Of("正在下载…"));
  QCoreApplication::processEvents();
  std::string Error;
  if (!HubDownload(Item, File, Error)) {
    ShowHubStatus({});
    FForm.Warn(Translate("下载失败:") + Error);
    return;
  }
  TPackSummary Summary;
  try {
    Summary = ImportPack(File, FForm.Service().VoiceLibrary(), FForm.Config());
  } catch (const ETtsError& E) {
    ShowHubStatus({});
    FForm.Warn(Translate("这个包导不进来:") + E.what());
    return;
  }
  std::error_code Ignored;
  std::filesystem::remove(File, Ignored);
  FForm.Config().Save();
  FForm.VoicesPage().RefreshVoicesList();
  FForm.TryOutPage().RefreshVoiceCombo();
  FForm.BroadcastPage().RefreshAirlinesPage();
  ShowHubStatus({});
  FForm.Dialogs().Plain(
      &FForm, Format(Translate("「%s」已导入。"), Item.Title) + "\r\n" + Summary.Describe());
  OnHubRefreshClick();
}

bool TSharePage::PackChoice(const TShareChoice& AChoice, const std::string& AFile,
                            std::string& ALanguage, std::string& AGender, int32_t& AVoices,
                            int32_t& ABindings) {
  const TVoiceLibrary& Library = FForm.Service().VoiceLibrary();
  const std::string& Picked = AChoice.Picked.front();
  try {
    std::filesystem::create_directories(FForm.Config().CacheDir());
    const TPackSummary Summary = AChoice.Kind == hkBroadcasts
                                     ? ExportPack(AFile, AChoice.Picked, Library, FForm.Config())
                                     : ExportVoicesPack(AFile, AChoice.Picked, Library);
    AVoices = Summary.Voices;
    ABindings = Summary.Bindings;
  } catch (const std::exception& E) {
    FForm.Warn(Translate("打包失败:") + E.what());
    return false;
  }
  if (AChoice.Kind == hkBroadcasts) {
    const QStringList Parts = QStr(Picked).split(':');
    if (Parts.size() >= 3) {
      ALanguage = StdStr(Parts[1]);
      AGender = StdStr(Parts[2]);
    }
  } else if (TVoiceInfo Voice; Library.Find(Picked, Voice)) {
    ALanguage = Voice.Language;
    AGender = GenderToStr(Voice.Gender);
  }
  return true;
}

void TSharePage::OnHubShareClick() {
  TShareChoice Choice;
  if (!FForm.Dialogs().AskShareChoice(&FForm, FHubKind, FForm.Config(),
                                      FForm.Service().VoiceLibrary(), Choice) ||
      Choice.Picked.size() != 1)
    return;
  const std::string File = FForm.Config().CacheDir() + "share-upload.cln";
  std::string Language, Gender;
  int32_t Voices = 0, Bindings = 0;
  if (!PackChoice(Choice, File, Language, Gender, Voices, Bindings)) return;
  FBtnHubShare->setEnabled(false);
  ShowHubStatus(TLiveText::Of("正在上传…"));
  QCoreApplication::processEvents();
  const bool Broadcast = Choice.Kind == hkBroadcasts;
  const std::string Fingerprint =
      PackFingerprint(Broadcast ? std::vector<std::string>() : Choice.Picked,
                      Broadcast ? Choice.Picked : std::vector<std::string>(),
                      FForm.Service().VoiceLibrary(), FForm.Config());
  const THubUploadResult Result =
      HubUpload(Choice.Kind, File, Choice.UserId, Choice.Title, Choice.Note, Language, Gender,
                Fingerprint, Voices, Bindings, FForm.HubUrl());
  std::error_code Ignored;
  std::filesystem::remove(File, Ignored);
  FBtnHubShare->setEnabled(true);
  ShowHubStatus({});
  ReportUpload(Choice, Result);
}

void TSharePage::ReportUpload(const TShareChoice& AChoice, const THubUploadResult& AResult) {
  TAppConfig& Config = FForm.Config();
  if (AResult.Duplicate) {
    StoreHubUserId(Config, AChoice.UserId);
    Config.Save();
    FForm.Dialogs().Plain(
        &FForm, AResult.DupMine
                    ? Format(Translate("这份内容你已经分享过了:「%s」"), AResult.DupTitle) +
                          "\r\n" + Translate("不用再传一次 —— 云上那份就是它。")
                    : Format(Translate("这份内容已经有人分享了:「%s」(@%s)"), AResult.DupTitle,
                             AResult.DupUser) +
                          "\r\n" + Translate("内容一模一样,就不重复占地方了。"));
    OnHubRefreshClick();
    return;
  }
  if (!AResult.Ok) {
    FForm.Warn(Translate("上传失败:") + AResult.Error);
    return;
  }
  StoreHubUserId(Config, AChoice.UserId);
  Config.AddHubShare(AResult.Id, AChoice.Title, AResult.DeleteKey);
  Config.Save();
  FForm.Dialogs().Plain(&FForm, Format(Translate("分享成功。分享 ID:%s"), AResult.Id) + "\r\n" +
                                    Translate("别人现在就能在云分享页看到它了。"));
  OnHubRefreshClick();
}

void TSharePage::OnHubUnshareClick() {
  THubItem Item;
  if (!SelectedHubItem(Item)) {
    FForm.Warn(Translate("先在列表里选中要撤下的那一条。"));
    return;
  }
  const std::string DeleteKey = FForm.Config().HubDeleteKey(Item.Id);
  if (DeleteKey.empty()) {
    FForm.Warn(Translate("这一条不是在这台机器上传的,撤不了。") + "\r\n" +
               Translate("只有上传时那台机器存着删除凭据。"));
    return;
  }
  if (!FForm.Dialogs().Confirm(&FForm, Format(Translate("把「%s」从云分享里撤下来?"), Item.Title)))
    return;
  std::string Error;
  if (!HubDelete(DeleteKey, Error, FForm.HubUrl())) {
    FForm.Warn(Translate("撤下失败:") + Error);
    return;
  }
  FForm.Config().RemoveHubShare(Item.Id);
  FForm.Config().Save();
  OnHubRefreshClick();
}

}  // namespace quavox
