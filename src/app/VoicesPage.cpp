#include "app/VoicesPage.h"
#include "app/Controls.h"

#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/BroadcastPage.h"
#include "app/Combos.h"
#include "app/Dialogs.h"
#include "app/MainForm.h"
#include "app/RadioGroup.h"
#include "app/TryOutPage.h"
#include "app/UiText.h"
#include "audio/Audio.h"
#include "audio/Wav.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "service/Service.h"
#include "state/Voices.h"

namespace quavox {

namespace {

struct TColumn {
  const char* Caption;
  int Width;
};

constexpr TColumn VoiceColumns[] = {{"名称", 180}, {"来源", 90},     {"语言", 70},
                                    {"性别", 60},  {"参考音频", 90}, {"转写", 360}};

constexpr int IdRole = Qt::UserRole;

QStringList VoiceRow(const TVoiceInfo& AVoice) {
  const bool Profile = AVoice.Kind == vkProfile;
  return {QStr(AVoice.Display),
          Tr(Profile ? "音色档" : "参考音频"),
          QStr(LanguageName(AVoice.Language)),
          QStr(GenderDisplay(AVoice.Gender)),
          Profile ? QStr(AVoice.ProfileFile)
                  : QStr(Format(Translate("%d 段"), static_cast<int>(AVoice.Clips.size()))),
          QStr(TVoiceLibrary::ReferenceText(AVoice))};
}

}  // namespace

TVoicesPage::TVoicesPage(TMainForm& AForm) : QWidget(&AForm), FForm(AForm) {
  setObjectName(QStringLiteral("FTabVoices"));
  FLvVoices = new QTreeWidget(this);
  FLvVoices->setObjectName(QStringLiteral("FLvVoices"));
  FLvVoices->setRootIsDecorated(false);
  FLvVoices->setUniformRowHeights(true);
  FLvVoices->setSelectionMode(QAbstractItemView::SingleSelection);
  FLvVoices->setSelectionBehavior(QAbstractItemView::SelectRows);
  FLvVoices->setEditTriggers(QAbstractItemView::NoEditTriggers);
  QStringList Captions;
  for (const TColumn& Column : VoiceColumns)
    Captions << QString::fromUtf8(Column.Caption);
  FLvVoices->setHeaderLabels(Captions);
  for (int i = 0; i < static_cast<int>(std::size(VoiceColumns)); ++i)
    FLvVoices->setColumnWidth(i, VoiceColumns[i].Width);
  NoScrollBarWhileEmpty(FLvVoices);
  connect(FLvVoices, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* ACurrent) { OnVoiceSelected(ACurrent, ACurrent != nullptr); });

  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(FLvVoices, 1);
  Layout->addWidget(CreateEditor());
}

QWidget* TVoicesPage::CreateEditor() {
  auto* Editor = new QWidget(this);
  FEdtVoiceName = new QLineEdit(Editor);
  FEdtVoiceName->setObjectName(QStringLiteral("FEdtVoiceName"));
  FCbVoiceLang = new QComboBox(Editor);
  FCbVoiceLang->setObjectName(QStringLiteral("FCbVoiceLang"));
  FCbVoiceGender = new QComboBox(Editor);
  FCbVoiceGender->setObjectName(QStringLiteral("FCbVoiceGender"));
  auto* Fields = new QHBoxLayout;
  const std::pair<const char*, QWidget*> Labelled[] = {
      {"名称", FEdtVoiceName}, {"语言", FCbVoiceLang}, {"性别", FCbVoiceGender}};
  int Index = 0;
  for (const auto& [Caption, Control] : Labelled) {
    auto* Label = new QLabel(QString::fromUtf8(Caption), Editor);
    Label->setObjectName(QStringLiteral("FLblVoiceField%1").arg(Index++));
    Label->setBuddy(Control);
    Fields->addWidget(Label);
    Fields->addWidget(Control, 1);
  }
  auto* Hint1 = new QLabel(
      QStringLiteral("参考音频 WAV / MP3 / Ogg 都行,官方建议每段 5~30 秒,每段都要填它的原话。"),
      Editor);
  Hint1->setObjectName(QStringLiteral("FLblCloneHint1"));
  auto* Hint2 = new QLabel(
      QStringLiteral("可以一次选多个文件 —— 引擎只收一条,服务端会自动拼成一条再送过去。"), Editor);
  Hint2->setObjectName(QStringLiteral("FLblCloneHint2"));
  for (QLabel* Hint : {Hint1, Hint2})
    Hint->setWordWrap(true);

  FBtnClone = NewButton(Editor, "FBtnClone", "选音频克隆…");
  FBtnAddClip = NewButton(Editor, "FBtnAddClip", "给选中的加一段");
  FBtnDeleteVoice = NewButton(Editor, "FBtnDeleteVoice", "删除选中");
  FBtnSaveVoice = NewButton(Editor, "FBtnSaveVoice", "保存修改");
  FBtnPreviewVoice = NewButton(Editor, "FBtnPreviewVoice", "试听选中");
  connect(FBtnClone, &QPushButton::clicked, this, &TVoicesPage::OnCloneClick);
  connect(FBtnAddClip, &QPushButton::clicked, this, &TVoicesPage::OnAddClipClick);
  connect(FBtnDeleteVoice, &QPushButton::clicked, this, &TVoicesPage::OnDeleteVoiceClick);
  connect(FBtnSaveVoice, &QPushButton::clicked, this, &TVoicesPage::OnSaveVoiceClick);
  connect(FBtnPreviewVoice, &QPushButton::clicked, this, &TVoicesPage::OnPreviewVoiceClick);
  auto* Buttons = new QHBoxLayout;
  for (QPushButton* Button :
       {FBtnClone, FBtnAddClip, FBtnDeleteVoice, FBtnSaveVoice, FBtnPreviewVoice})
    Buttons->addWidget(Button);
  Buttons->addStretch(1);

  auto* Layout = new QVBoxLayout(Editor);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addLayout(Fields);
  Layout->addWidget(Hint1);
  Layout->addWidget(Hint2);
  Layout->addLayout(Buttons);
  return Editor;
}

// A refill in another interface language keeps what the editor shows.
void TVoicesPage::FillCombos() {
  const std::string Language = ComboLanguage(FCbVoiceLang);
  const TTtsGender Gender = ComboGender(FCbVoiceGender);
  FillLanguageCombo(FCbVoiceLang);
  FillAllGenders(FCbVoiceGender);
  if (!Language.empty()) SelectLanguage(FCbVoiceLang, Language);
  SelectGender(FCbVoiceGender, Gender);
}

// The selected voice stays selected when it is still in the library.
void TVoicesPage::RefreshVoicesList() {
  const QString Selected = QStr(SelectedVoiceId());
  const std::vector<TVoiceInfo> Voices = FForm.Service().VoiceLibrary().All();
  QList<QTreeWidgetItem*> Rows;
  Rows.reserve(static_cast<qsizetype>(Voices.size()));
  QTreeWidgetItem* Reselect = nullptr;
  for (const TVoiceInfo& Voice : Voices) {
    auto* Row = new QTreeWidgetItem(VoiceRow(Voice));
    Row->setData(0, IdRole, QStr(Voice.Id));
    if (!Selected.isEmpty() && QStr(Voice.Id) == Selected) Reselect = Row;
    Rows << Row;
  }
  const QSignalBlocker Quiet(FLvVoices);
  FLvVoices->setUpdatesEnabled(false);
  FLvVoices->clear();
  FLvVoices->addTopLevelItems(Rows);
  if (Reselect != nullptr) FLvVoices->setCurrentItem(Reselect);
  FLvVoices->setUpdatesEnabled(true);
}

std::string TVoicesPage::SelectedVoiceId() const {
  const QList<QTreeWidgetItem*> Selected = FLvVoices->selectedItems();
  if (Selected.isEmpty()) return {};
  return StdStr(Selected.first()->data(0, IdRole).toString());
}

bool TVoicesPage::NeedSelection() {
  if (!SelectedVoiceId().empty()) return true;
  FForm.Warn(Translate("先在上面选一个音色。"));
  return false;
}

void TVoicesPage::OnVoiceSelected(QTreeWidgetItem* AItem, bool ASelected) {
  if (AItem == nullptr || !ASelected) return;
  TVoiceInfo Voice;
  if (!FForm.Service().VoiceLibrary().Find(StdStr(AItem->data(0, IdRole).toString()), Voice))
    return;
  FEdtVoiceName->setText(QStr(Voice.Display));
  SelectLanguage(FCbVoiceLang, Voice.Language);
  SelectGender(FCbVoiceGender, Voice.Gender);
}

bool TVoicesPage::PickClips(std::vector<TVoiceClipInput>& AClips) {
  const std::vector<std::string> Files = FForm.Dialogs().OpenFiles(
      &FForm,
      Translate(
          "音频文件 (*.wav;*.mp3;*.ogg)|*.wav;*.mp3;*.ogg|WAV|*.wav|MP3|*.mp3|Ogg Vorbis|*.ogg"),
      true);
  if (Files.empty()) return false;
  std::vector<TVoiceClipInput> Picked;
  for (const std::string& File : Files) {
    TBytes Audio = ReadFileBytes(File);
    TClipQuestion Question;
    Question.FileName = StdStr(QFileInfo(QStr(File)).fileName());
    Question.Number = static_cast<int>(Picked.size()) + 1;
    Question.Count = static_cast<int>(Files.size());
    Question.Play = ClipPlayer(Audio);
    std::string Text;
    if (!FForm.Dialogs().AskClipText(&FForm, Question, Text)) return false;
    Picked.push_back({std::move(Audio), StdStr(QStr(Text).trimmed())});
  }
  AClips = std::move(Picked);
  return !AClips.empty();
}

// Plays a chosen recording as the operator writes down what it says; nothing to play when
// it cannot be decoded.
std::function<void()> TVoicesPage::ClipPlayer(const TBytes& AAudio) {
  TPcmBuffer Pcm;
  if (!DecodeAudio(AAudio, Pcm)) return {};
  return [this, Wav = PcmToWav(Pcm), Ms = Pcm.DurationMs()] { FForm.Player().Play(Wav, Ms); };
}

void TVoicesPage::OnCloneClick() {
  const std::string Name = StdStr(FEdtVoiceName->text().trimmed());
  if (Name.empty()) {
    FForm.Warn(Translate("先给这个音色起个名字。"));
    return;
  }
  TVoiceCloneSpec Clone;
  if (!PickClips(Clone.Clips)) return;
  Clone.Display = Name;
  Clone.Language = ComboLanguage(FCbVoiceLang);
  Clone.Gender = ComboGender(FCbVoiceGender);
  TVoiceInfo Voice;
  try {
    Voice = FForm.Service().CloneVoice(Clone);
  } catch (const ETtsError& E) {
    FForm.Warn(E.what());
    return;
  }
  AfterLibraryChange();
  SelectVoice(Voice.Id);
  FForm.ShowStatus(CloneOutcome(Voice));
}

// The clone's confirmation; a clip under the recommended length is named, as the imitation
// may then waver.
std::string TVoicesPage::CloneOutcome(const TVoiceInfo& AVoice) {
  const std::string Done = Format(Translate("已克隆「%s」"), AVoice.Display);
  const bool Short = std::any_of(AVoice.Clips.begin(), AVoice.Clips.end(), [](const auto& AClip) {
    return AClip.DurationMs > 0 && AClip.DurationMs < TVoiceLibrary::RecommendedMinClipMs;
  });
  return Short ? Done + " —— " + Translate("参考音频不到 5 秒,克隆出来的声音可能不稳定") : Done;
}

void TVoicesPage::SelectVoice(const std::string& AVoiceId) {
  for (int i = 0; i < FLvVoices->topLevelItemCount(); ++i) {
    QTreeWidgetItem* Row = FLvVoices->topLevelItem(i);
    if (Row->data(0, IdRole).toString() != QStr(AVoiceId)) continue;
    FLvVoices->setCurrentItem(Row);
    FLvVoices->scrollToItem(Row);
    return;
  }
}

void TVoicesPage::OnAddClipClick() {
  if (!NeedSelection()) return;
  const std::string Id = SelectedVoiceId();
  std::vector<TVoiceClipInput> Clips;
  if (!PickClips(Clips)) return;
  try {
    for (const TVoiceClipInput& Clip : Clips)
      FForm.Service().VoiceLibrary().AddClip(Id, Clip);
  } catch (const ETtsError& E) {
    FForm.Warn(E.what());
    return;
  }
  RefreshVoicesList();
}

void TVoicesPage::OnDeleteVoiceClick() {
  if (!NeedSelection()) return;
  const QString Name = FLvVoices->selectedItems().first()->text(0);
  if (!FForm.Dialogs().Confirm(
          &FForm, Format(Translate("删掉音色「%s」?参考音频也会一起删。"), StdStr(Name))))
    return;
  // A removal that cannot be saved is refused (or half done when the bindings could not be
  // saved); either way the user hears of it.
  try {
    FForm.Service().VoiceLibrary().Remove(SelectedVoiceId());
  } catch (const std::exception& E) {
    FForm.Warn(E.what());
  }
  AfterLibraryChange();
}

void TVoicesPage::OnSaveVoiceClick() {
  if (!NeedSelection()) return;
  TVoiceLibrary& Library = FForm.Service().VoiceLibrary();
  TVoiceInfo Voice;
  if (!Library.Find(SelectedVoiceId(), Voice)) return;
  const std::string Name = StdStr(FEdtVoiceName->text().trimmed());
  if (Name.empty()) {
    FForm.Warn(Translate("名字不能是空的。"));
    return;
  }
  Voice.Display = Name;
  Voice.Language = ComboLanguage(FCbVoiceLang);
  Voice.Gender = ComboGender(FCbVoiceGender);
  try {
    Library.Update(Voice);
    Library.Save();
  } catch (const std::exception& E) {
    FForm.Warn(E.what());
    AfterLibraryChange();
    return;
  }
  AfterLibraryChange();
  FForm.ShowStatus(Format(Translate("「%s」已更新"), Name));
}

void TVoicesPage::OnPreviewVoiceClick() {
  if (!NeedSelection()) return;
  const QTreeWidgetItem* Row = FLvVoices->selectedItems().first();
  TTryOutPage& TryOut = FForm.TryOutPage();
  FForm.ShowPage(TMainForm::piTryOut);
  TryOut.FRgVoiceMode->SetItemIndex(TTryOutPage::vmNamed);
  TryOut.OnVoiceModeChange();
  const QString Item = Row->text(0) + "  [" + Row->data(0, IdRole).toString() + "]";
  TryOut.FCbVoice->setCurrentIndex(std::max(TryOut.FCbVoice->findText(Item), 0));
  TryOut.SynthesizePreview(true);
}

// The list and every voice combo show the library as it is now.
void TVoicesPage::AfterLibraryChange() {
  RefreshVoicesList();
  FForm.TryOutPage().RefreshVoiceCombo();
  FForm.BroadcastPage().RefreshAirlinesPage();
}

}  // namespace quavox
