#include "app/BroadcastPage.h"

#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <tuple>
#include <unordered_map>

#include "app/Combos.h"
#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/MainForm.h"
#include "app/RadioGroup.h"
#include "app/TryOutPage.h"
#include "app/UiText.h"
#include "app/VoicesPage.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Text.h"
#include "service/Service.h"
#include "state/ClonePack.h"
#include "state/Voices.h"

namespace quavox {

namespace {

constexpr TListColumn AirlineColumns[] = {
    {"航司", 90}, {"语言", 130}, {"性别", 80}, {"音色", 260}, {"状态", 200}};
enum TAirlineColumn : int { acAirline, acLanguage, acGender, acVoice, acStatus };

constexpr int KeyRole = Qt::UserRole;
constexpr const char* PackFilter = "克隆包 (*.cln)|*.cln";

QTreeWidgetItem* NewBindingRow(const std::vector<std::string>& AParts, const std::string& AKey,
                               const std::string& AVoiceId, const TDisplayById& ANames) {
  const auto Voice = Trim(AVoiceId).empty() ? ANames.end() : ANames.find(LowerAscii(AVoiceId));
  const bool Exists = Voice != ANames.end();
  auto* Row = new QTreeWidgetItem(QStringList{
      QStr(AParts[0]), QStr(LanguageLabel(AParts[1])), QStr(GenderDisplay(ParseGender(AParts[2]))),
      QStr(Exists ? Voice->second : AVoiceId), Exists ? QString() : Tr("这个音色已经不在了")});
  Row->setData(acAirline, KeyRole, QStr(AKey));
  return Row;
}

// Codes are typed in upper case, as the bindings store them.
void UpperCaseWhileTyping(QComboBox* ACombo) {
  QLineEdit* Edit = ACombo->lineEdit();
  QObject::connect(Edit, &QLineEdit::textEdited, Edit, [Edit](const QString& AText) {
    const QString Upper = AText.toUpper();
    if (Upper == AText) return;
    const int Cursor = Edit->cursorPosition();
    Edit->setText(Upper);
    Edit->setCursorPosition(Cursor);
  });
}

}  // namespace

std::optional<TBindingSlot> FreeCopySlot(const TAppConfig& AConfig, const std::string& AAirline,
                                         const std::string& ALanguage, TTtsGender AGender) {
  for (const TTtsGender Gender : {tgAuto, tgFemale, tgMale})
    if (Gender != AGender && AConfig.AirlineVoice(AAirline, ALanguage, Gender).empty())
      return TBindingSlot{ALanguage, Gender};
  for (const std::string& Code : KnownLanguages())
    if (Code != ALanguage && AConfig.AirlineVoice(AAirline, Code, AGender).empty())
      return TBindingSlot{Code, AGender};
  return std::nullopt;
}

TBroadcastPage::TBroadcastPage(TMainForm& AForm) : QWidget(&AForm), FForm(AForm) {
  setObjectName(QStringLiteral("FTabBroadcast"));
  FLvAirlines = NewReportList(this, "FLvAirlines", AirlineColumns);
  connect(FLvAirlines, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* ACurrent) { OnAirlineSelected(ACurrent, ACurrent != nullptr); });
  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(FLvAirlines, 1);
  Layout->addWidget(CreateEditor());
}

QWidget* TBroadcastPage::CreateEditor() {
  auto* Editor = new QWidget(this);
  FCbAirline = NewCombo(Editor, "FCbAirline");
  FCbAirline->setEditable(true);
  FCbAirline->setInsertPolicy(QComboBox::NoInsert);
  FCbAirline->lineEdit()->setPlaceholderText(QStringLiteral("ANA"));
  UpperCaseWhileTyping(FCbAirline);
  FCbAirLang = NewCombo(Editor, "FCbAirLang");
  FCbAirGender = NewCombo(Editor, "FCbAirGender");
  FCbAirVoice = NewCombo(Editor, "FCbAirVoice");
  FCbAirVoice->setMinimumContentsLength(16);
  auto* Fields = new QGridLayout;
  const std::tuple<const char*, const char*, QComboBox*> Labelled[] = {
      {"FLblAirline", "航司", FCbAirline},
      {"FLblAirLang", "语言", FCbAirLang},
      {"FLblAirGender", "性别", FCbAirGender},
      {"FLblAirVoice", "音色", FCbAirVoice}};
  int Column = 0;
  for (const auto& [Name, Caption, Combo] : Labelled) {
    QLabel* Label = NewLabel(Editor, Name, Caption);
    Label->setBuddy(Combo);
    Fields->addWidget(Label, 0, Column);
    Fields->addWidget(Combo, 0, Column + 1);
    Column += 2;
  }
  Fields->setColumnStretch(1, 1);
  Fields->setColumnStretch(3, 2);
  Fields->setColumnStretch(5, 1);
  Fields->setColumnStretch(7, 3);

  FBtnBindAirline = NewButton(Editor, "FBtnBindAirline", "新增");
  FBtnUnbindAirline = NewButton(Editor, "FBtnUnbindAirline", "删除");
  FBtnCopyBinding = NewButton(Editor, "FBtnCopyBinding", "复制");
  FBtnPreviewAirline = NewButton(Editor, "FBtnPreviewAirline", "试听选中");
  FBtnExportCln = NewButton(Editor, "FBtnExportCln", "导出 .cln…");
  FBtnImportCln = NewButton(Editor, "FBtnImportCln", "导入 .cln…");
  connect(FBtnBindAirline, &QPushButton::clicked, this, &TBroadcastPage::OnBindAirlineClick);
  connect(FBtnUnbindAirline, &QPushButton::clicked, this, &TBroadcastPage::OnUnbindAirlineClick);
  connect(FBtnCopyBinding, &QPushButton::clicked, this, &TBroadcastPage::OnCopyBindingClick);
  connect(FBtnPreviewAirline, &QPushButton::clicked, this, &TBroadcastPage::OnPreviewAirlineClick);
  connect(FBtnExportCln, &QPushButton::clicked, this, &TBroadcastPage::OnExportClnClick);
  connect(FBtnImportCln, &QPushButton::clicked, this, &TBroadcastPage::OnImportClnClick);
  auto* Buttons = new QHBoxLayout;
  for (QPushButton* Button :
       {FBtnBindAirline, FBtnUnbindAirline, FBtnCopyBinding, FBtnPreviewAirline})
    Buttons->addWidget(Button);
  Buttons->addStretch(1);
  Buttons->addWidget(FBtnExportCln);
  Buttons->addWidget(FBtnImportCln);

  auto* Layout = new QVBoxLayout(Editor);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addLayout(Fields);
  Layout->addLayout(Buttons);
  return Editor;
}

void TBroadcastPage::FillCombos() {
  FillLanguageCombo(FCbAirLang);
  FillAllGenders(FCbAirGender);
}

void TBroadcastPage::RefreshAirlinesPage() {
  const std::vector<TVoiceInfo> Voices = FForm.Service().VoiceLibrary().All();
  RefillBindingList(DisplayNames(Voices));
  RefillAirlineCombo();
  FillVoiceCombo(FCbAirVoice, Voices, false);
  FForm.TryOutPage().RefreshPreviewChoices();
}

// Rows come in the configuration's order; the selected binding stays selected when it is
// still there.
void TBroadcastPage::RefillBindingList(const TDisplayById& ANames) {
  const QString Selected = QStr(SelectedKey());
  QList<QTreeWidgetItem*> Rows;
  QTreeWidgetItem* Reselect = nullptr;
  for (const auto& [Key, VoiceId] : FForm.Config().AirlinesSnapshot()) {
    const std::vector<std::string> Parts = SplitAirlineKey(Key);
    if (Parts.size() < 3) continue;
    QTreeWidgetItem* Row = NewBindingRow(Parts, Key, VoiceId, ANames);
    if (!Selected.isEmpty() && QStr(Key) == Selected) Reselect = Row;
    Rows << Row;
  }
  const QSignalBlocker Quiet(FLvAirlines);
  FLvAirlines->setUpdatesEnabled(false);
  FLvAirlines->clear();
  FLvAirlines->addTopLevelItems(Rows);
  if (Reselect != nullptr) FLvAirlines->setCurrentItem(Reselect);
  FLvAirlines->setUpdatesEnabled(true);
}

// A typed code that is not bound yet survives the refill.
void TBroadcastPage::RefillAirlineCombo() {
  const QString Typed = FCbAirline->currentText();
  QStringList Airlines;
  for (const std::string& Code : FForm.Config().KnownAirlines())
    Airlines << QStr(Code);
  const QSignalBlocker Quiet(FCbAirline);
  FCbAirline->clear();
  FCbAirline->addItems(Airlines);
  FCbAirline->setCurrentIndex(-1);
  FCbAirline->setEditText(Typed);
}

std::string TBroadcastPage::SelectedKey() const {
  const QList<QTreeWidgetItem*> Selected = FLvAirlines->selectedItems();
  if (Selected.isEmpty()) return {};
  return StdStr(Selected.first()->data(acAirline, KeyRole).toString());
}

std::optional<std::vector<std::string>> TBroadcastPage::SelectedParts() {
  const std::string Key = SelectedKey();
  if (Key.empty()) {
    FForm.Warn(Translate("先在上面选一条。"));
    return std::nullopt;
  }
  std::vector<std::string> Parts = SplitAirlineKey(Key);
  if (Parts.size() < 3) return std::nullopt;
  return Parts;
}

std::string TBroadcastPage::RowVoiceId(const QTreeWidgetItem* ARow,
                                       const std::vector<std::string>& AParts) {
  const TVoiceLibrary& Library = FForm.Service().VoiceLibrary();
  TVoiceInfo Voice;
  const std::string Bound =
      FForm.Config().AirlineVoice(AParts[0], AParts[1], ParseGender(AParts[2]));
  if (!Bound.empty() && Library.Find(Bound, Voice)) return Voice.Id;
  if (Library.FindByDisplay(StdStr(ARow->text(acVoice)), Voice)) return Voice.Id;
  return {};
}

void TBroadcastPage::ShowBinding(const std::string& AAirline, const std::string& ALanguage,
                                 TTtsGender AGender, const std::string& AVoiceId) {
  FCbAirline->setEditText(QStr(AAirline));
  SelectLanguage(FCbAirLang, ALanguage);
  SelectGender(FCbAirGender, AGender);
  if (!AVoiceId.empty()) SelectVoice(FCbAirVoice, AVoiceId);
}

void TBroadcastPage::OnAirlineSelected(QTreeWidgetItem* AItem, bool ASelected) {
  if (AItem == nullptr || !ASelected) return;
  const std::vector<std::string> Parts =
      SplitAirlineKey(StdStr(AItem->data(acAirline, KeyRole).toString()));
  if (Parts.size() < 3) return;
  ShowBinding(Parts[0], Parts[1], ParseGender(Parts[2]), RowVoiceId(AItem, Parts));
}

void TBroadcastPage::OnBindAirlineClick() {
  const std::string Airline = NormalizeAirline(StdStr(FCbAirline->currentText()));
  if (Airline.empty()) {
    FForm.Warn(Translate("先填航司代码(ICAO 三字码,比如 ANA、CCA、CES)。"));
    return;
  }
  const std::string Voice = ComboVoiceId(FCbAirVoice);
  if (Voice.empty()) {
    FForm.Warn(Translate("先选一个音色。没有音色的话,去「音色」页克隆一个。"));
    return;
  }
  const std::string Language = ComboLanguage(FCbAirLang);
  const TTtsGender Gender = ComboGender(FCbAirGender);
  TAppConfig& Config = FForm.Config();
  const std::string Previous = Config.AirlineVoice(Airline, Language, Gender);
  if (!CommitAirlineVoice(Airline, Language, Gender, Voice)) return;
  RefreshAirlinesPage();
  FForm.ShowStatus(Format(
      Previous.empty() ? Translate("已新增 %s · %s · %s") : Translate("%s · %s · %s 换成了新音色"),
      Airline, LanguageName(Language), GenderDisplay(Gender)));
}

void TBroadcastPage::OnUnbindAirlineClick() {
  const auto Parts = SelectedParts();
  if (!Parts) return;
  const TTtsGender Gender = ParseGender((*Parts)[2]);
  if (!CommitAirlineVoice((*Parts)[0], (*Parts)[1], Gender, "")) return;
  RefreshAirlinesPage();
  FForm.ShowStatus(Format(Translate("已删除 %s · %s · %s"), (*Parts)[0], LanguageName((*Parts)[1]),
                          GenderDisplay(Gender)));
}

void TBroadcastPage::OnCopyBindingClick() {
  const auto Parts = SelectedParts();
  if (!Parts) return;
  const std::string& Airline = (*Parts)[0];
  const std::string& Language = (*Parts)[1];
  const std::string VoiceId = RowVoiceId(FLvAirlines->selectedItems().first(), *Parts);
  if (VoiceId.empty()) {
    FForm.Warn(Translate("这条绑的音色已经不在了,先给它选个音色再复制。"));
    return;
  }
  TAppConfig& Config = FForm.Config();
  const std::optional<TBindingSlot> Slot =
      FreeCopySlot(Config, Airline, Language, ParseGender((*Parts)[2]));
  if (!Slot) {
    FForm.Warn(Format(Translate("%s 常用的语言和性别都绑满了,没地方放这条复制。"), Airline) +
               "\r\n" + Translate("想加别的语种的话,在下面直接敲语言代码再点「新增」。"));
    return;
  }
  if (!CommitAirlineVoice(Airline, Slot->Language, Slot->Gender, VoiceId)) return;
  RefreshAirlinesPage();
  SelectRowOfKey(Format("%s:%s:%s", NormalizeAirline(Airline), NormalizeLanguage(Slot->Language),
                        GenderToStr(Slot->Gender)));
  ShowBinding(Airline, Slot->Language, Slot->Gender, VoiceId);
  FForm.ShowStatus(Format(Translate("已复制成 %s · %s · %s —— 要改成别的,改完点「新增」"), Airline,
                          LanguageName(Slot->Language), GenderDisplay(Slot->Gender)));
}

bool TBroadcastPage::CommitAirlineVoice(const std::string& AAirline, const std::string& ALanguage,
                                        TTtsGender AGender, const std::string& AVoiceId) {
  try {
    if (FForm.Service().VoiceLibrary().CommitBinding({AVoiceId}, [&](TVoiceMaps& AMaps) {
          AMaps.SetAirline(AAirline, ALanguage, AGender, AVoiceId);
        }))
      return true;
    FForm.Warn(Translate("这个音色已经不在了"));
  } catch (const ETtsError& E) {
    FForm.Warn(E.what());
  } catch (const std::exception& E) {
    FForm.Warn(Translate("数据文件夹写不进去,改动没有保存:") + E.what());
  }
  return false;
}

void TBroadcastPage::SelectRowOfKey(const std::string& AKey) {
  const QString Key = QStr(AKey);
  for (int i = 0; i < FLvAirlines->topLevelItemCount(); ++i) {
    QTreeWidgetItem* Row = FLvAirlines->topLevelItem(i);
    if (Row->data(acAirline, KeyRole).toString().compare(Key, Qt::CaseInsensitive) != 0) continue;
    const QSignalBlocker Quiet(FLvAirlines);
    FLvAirlines->setCurrentItem(Row);
    FLvAirlines->scrollToItem(Row);
    FLvAirlines->setFocus();
    return;
  }
}

void TBroadcastPage::OnPreviewAirlineClick() {
  const auto Parts = SelectedParts();
  if (!Parts) return;
  TTryOutPage& TryOut = FForm.TryOutPage();
  FForm.ShowPage(TMainForm::piTryOut);
  TryOut.FRgVoiceMode->SetItemIndex(TTryOutPage::vmAirline);
  TryOut.OnVoiceModeChange();
  TryOut.RefreshPreviewChoices();
  TryOut.FCbPvAirline->setCurrentIndex(
      std::max(TryOut.FCbPvAirline->findText(QStr((*Parts)[0])), 0));
  SelectLanguage(TryOut.FCbLanguage, (*Parts)[1]);
  TryOut.RefreshPreviewChoices();
  SelectGender(TryOut.FCbGender, ParseGender((*Parts)[2]));
  TryOut.SynthesizePreview(true);
}

std::vector<std::string> TBroadcastPage::ExportKeys() const {
  const std::vector<std::string> SelectedParts = SplitAirlineKey(SelectedKey());
  const std::string& Airline = SelectedParts.front();
  std::vector<std::string> Keys;
  for (const auto& [Key, VoiceId] : FForm.Config().AirlinesSnapshot()) {
    if (Airline.empty() || SameTextAscii(SplitAirlineKey(Key).front(), Airline))
      Keys.push_back(Key);
  }
  return Keys;
}

void TBroadcastPage::OnExportClnClick() {
  if (FLvAirlines->topLevelItemCount() == 0) {
    FForm.Warn(Translate("还没有任何绑定,没什么可导的。"));
    return;
  }
  const std::vector<std::string> Keys = ExportKeys();
  if (Keys.empty()) return;
  const std::string Airline = SplitAirlineKey(SelectedKey()).front();
  const std::string File = FForm.Dialogs().SaveFile(
      &FForm, Translate(PackFilter), "cln",
      (Airline.empty() ? std::string("broadcast") : LowerAscii(Airline)) + ".cln");
  if (File.empty()) return;
  TPackSummary Summary;
  try {
    const TBusyCursor Busy;
    Summary = ExportPack(File, Keys, FForm.Service().VoiceLibrary(), FForm.Config());
  } catch (const std::exception& E) {
    FForm.Warn(E.what());
    return;
  }
  FForm.Dialogs().Inform(&FForm, Translate("导出完成:") + "\r\n" + Summary.Describe());
  FForm.ShowStatus(Translate("已导出 ") + StdStr(QFileInfo(QStr(File)).fileName()));
}

void TBroadcastPage::OnImportClnClick() {
  const std::vector<std::string> Files =
      FForm.Dialogs().OpenFiles(&FForm, Translate(PackFilter), false);
  if (Files.empty()) return;
  TPackSummary Summary;
  try {
    const TBusyCursor Busy;
    Summary = ImportPack(Files.front(), FForm.Service().VoiceLibrary(), FForm.Config());
  } catch (const std::exception& E) {
    FForm.Warn(E.what());
    return;
  }
  FForm.VoicesPage().RefreshVoicesList();
  FForm.TryOutPage().RefreshVoiceCombo();
  RefreshAirlinesPage();
  FForm.Dialogs().Inform(&FForm, Translate("导入完成:") + "\r\n" + Summary.Describe());
  FForm.ShowStatus(Translate("导入完成"));
}

}  // namespace quavox
