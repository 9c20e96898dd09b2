// The voices page against the real voice library: cloning from several files with their
// transcripts, cancelling, adding clips, renaming, deleting and previewing.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>

#include "GuiSupport.h"
#include "app/ClipTextForm.h"
#include "app/Combos.h"
#include "app/Dialogs.h"
#include "app/RadioGroup.h"
#include "app/TryOutPage.h"
#include "app/VoicesPage.h"
#include "audio/Wav.h"
#include "http/Http.h"
#include "service/Service.h"
#include "state/Voices.h"
#include "support/ReadOnlyFolder.h"

using namespace quavox;
using namespace quavox::test;

namespace {

struct TVoicesFixture {
  TProgramFolder Folder;
  TFormUnderTest T{Folder};
  TVoicesPage& Page = T.Form->VoicesPage();
  TVoiceLibrary& Library = T.Form->Service().VoiceLibrary();

  std::string Tone(const std::string& AName, int AMs = 3000) {
    return WriteToneWav(Folder.Root(), AName, AMs);
  }
  // Clones "Anna" from two clips and selects her row.
  TVoiceInfo CloneAnna() {
    Page.FEdtVoiceName->setText(QStringLiteral("  Anna  "));
    SelectLanguage(Page.FCbVoiceLang, "en");
    SelectGender(Page.FCbVoiceGender, tgFemale);
    T.Dialogs.OpenAnswers.push_back({Tone("one.wav"), Tone("two.wav")});
    T.Dialogs.ClipTexts = {" First line. ", "Second\nline."};
    Page.OnCloneClick();
    const std::vector<TVoiceInfo> All = Library.All();
    if (All.size() != 1) return {};
    Page.FLvVoices->setCurrentItem(Page.FLvVoices->topLevelItem(0));
    return All[0];
  }
};

}  // namespace

class TVoicesPageTest : public QObject {
  Q_OBJECT

 private slots:
  void CloneFromSeveralFiles() {
    TVoicesFixture F;
    const TVoiceInfo Anna = F.CloneAnna();
    QVERIFY(F.T.Dialogs.Warnings.empty());
    QCOMPARE(Anna.Display, std::string("Anna"));
    QCOMPARE(Anna.Language, std::string("en"));
    QCOMPARE(Anna.Gender, tgFemale);
    QCOMPARE(Anna.Clips.size(), std::size_t{2});
    QCOMPARE(Anna.Clips[0].Text, std::string("First line."));
    QCOMPARE(Anna.Clips[1].Text, std::string("Second\nline."));
    QCOMPARE(F.T.Dialogs.AskedClips, (std::vector<std::string>{"one.wav", "two.wav"}));
    QCOMPARE(F.T.Dialogs.AskedPlaces, (std::vector<std::string>{"1/2", "2/2"}));
    QCOMPARE(F.T.Dialogs.AskedPlayable, (std::vector<bool>{true, true}));
    const QTreeWidgetItem* Row = F.Page.FLvVoices->topLevelItem(0);
    QCOMPARE(Row->text(0), QStringLiteral("Anna"));
    QCOMPARE(Row->text(1), QStringLiteral("参考音频"));
    QCOMPARE(Row->text(3), QStringLiteral("女声"));
    QCOMPARE(Row->text(4), QStringLiteral("2 段"));
    QComboBox* Voices = F.T.Form->TryOutPage().FCbVoice;
    QCOMPARE(Voices->count(), 2);
    QCOMPARE(Voices->itemText(1), QString::fromStdString("Anna  [" + Anna.Id + "]"));
  }

  // The window confirms a clone, names a clip too short to imitate steadily, and selects
  // the new voice.
  void CloneIsConfirmedAndSelected() {
    TVoicesFixture F;
    F.CloneAnna();
    QCOMPARE(F.T.Form->StatusMessage(),
             QStringLiteral("已克隆「Anna」 —— 参考音频不到 5 秒,克隆出来的声音可能不稳定"));
    F.Page.FEdtVoiceName->setText(QStringLiteral("Bob"));
    F.T.Dialogs.OpenAnswers.push_back({F.Tone("long.wav", 6000)});
    F.T.Dialogs.ClipTexts = {"A longer line."};
    F.Page.OnCloneClick();
    QCOMPARE(F.T.Form->StatusMessage(), QStringLiteral("已克隆「Bob」"));
    TVoiceInfo Bob;
    QVERIFY(F.Library.FindByDisplay("Bob", Bob));
    QCOMPARE(F.Page.SelectedVoiceId(), Bob.Id);
  }

  void CloneNeedsANameBeforeAnyDialog() {
    TVoicesFixture F;
    F.T.Dialogs.OpenAnswers.push_back({F.Tone("one.wav")});
    F.Page.OnCloneClick();
    QCOMPARE(F.T.Dialogs.Warnings, std::vector<std::string>{"先给这个音色起个名字。"});
    QCOMPARE(F.T.Dialogs.OpenAnswers.size(), std::size_t{1});
  }

  void CancellingAnyTranscriptClonesNothing() {
    TVoicesFixture F;
    F.Page.FEdtVoiceName->setText(QStringLiteral("Bob"));
    F.T.Dialogs.OpenAnswers.push_back({F.Tone("a.wav"), F.Tone("b.wav"), F.Tone("c.wav")});
    F.T.Dialogs.ClipTexts = {"Alpha.", std::nullopt, "Charlie."};
    F.Page.OnCloneClick();
    QCOMPARE(F.T.Dialogs.AskedClips.size(), std::size_t{2});
    QCOMPARE(F.Library.Count(), std::size_t{0});
    QCOMPARE(F.Page.FLvVoices->topLevelItemCount(), 0);
    QVERIFY(F.T.Dialogs.Warnings.empty());
  }

  void AddClipToTheSelectedVoice() {
    TVoicesFixture F;
    const TVoiceInfo Anna = F.CloneAnna();
    F.T.Dialogs.OpenAnswers.push_back({F.Tone("three.wav")});
    F.T.Dialogs.ClipTexts = {"Third line."};
    F.Page.OnAddClipClick();
    TVoiceInfo Now;
    QVERIFY(F.Library.Find(Anna.Id, Now));
    QCOMPARE(Now.Clips.size(), std::size_t{3});
    QCOMPARE(F.Page.FLvVoices->topLevelItem(0)->text(4), QStringLiteral("3 段"));
  }

  void CommandsNeedASelectedRow() {
    TVoicesFixture F;
    F.Page.OnAddClipClick();
    F.Page.OnDeleteVoiceClick();
    F.Page.OnSaveVoiceClick();
    F.Page.OnPreviewVoiceClick();
    QCOMPARE(F.T.Dialogs.Warnings, std::vector<std::string>(4, "先在上面选一个音色。"));
  }

  void SelectingARowFillsTheEditor() {
    TVoicesFixture F;
    F.CloneAnna();
    F.Page.FEdtVoiceName->clear();
    F.Page.FLvVoices->setCurrentItem(nullptr);
    F.Page.FLvVoices->setCurrentItem(F.Page.FLvVoices->topLevelItem(0));
    QCOMPARE(F.Page.FEdtVoiceName->text(), QStringLiteral("Anna"));
    QCOMPARE(ComboLanguage(F.Page.FCbVoiceLang), std::string("en"));
    QCOMPARE(ComboGender(F.Page.FCbVoiceGender), tgFemale);
  }

  void RenameUpdatesCombosButKeepsBindings() {
    TVoicesFixture F;
    const TVoiceInfo Anna = F.CloneAnna();
    F.T.Form->Config().SetAirlineVoice("CCA", "en", tgFemale, Anna.Id);
    F.Page.FEdtVoiceName->setText(QStringLiteral("Anna Lee"));
    SelectLanguage(F.Page.FCbVoiceLang, "ja");
    F.Page.OnSaveVoiceClick();
    TVoiceInfo Now;
    QVERIFY(F.Library.Find(Anna.Id, Now));
    QCOMPARE(Now.Display, std::string("Anna Lee"));
    QCOMPARE(Now.Language, std::string("ja"));
    QCOMPARE(Now.Clips.size(), std::size_t{2});
    QCOMPARE(F.T.Form->TryOutPage().FCbVoice->itemText(1),
             QString::fromStdString("Anna Lee  [" + Anna.Id + "]"));
    QCOMPARE(F.T.Form->Config().AirlineVoice("CCA", "en", tgFemale), Anna.Id);
    QCOMPARE(F.T.Form->StatusMessage(), QStringLiteral("「Anna Lee」已更新"));

    F.Page.FEdtVoiceName->setText(QStringLiteral("  "));
    F.Page.OnSaveVoiceClick();
    QCOMPARE(F.T.Dialogs.Warnings, std::vector<std::string>{"名字不能是空的。"});
  }

  void DeleteAsksFirst() {
    TVoicesFixture F;
    const TVoiceInfo Anna = F.CloneAnna();
    F.T.Dialogs.ConfirmAnswers = {false, true};
    F.Page.OnDeleteVoiceClick();
    QCOMPARE(F.Library.Count(), std::size_t{1});
    F.Page.OnDeleteVoiceClick();
    QCOMPARE(F.T.Dialogs.Confirms,
             std::vector<std::string>(2, "删掉音色「Anna」?参考音频也会一起删。"));
    QCOMPARE(F.Library.Count(), std::size_t{0});
    QCOMPARE(F.Page.FLvVoices->topLevelItemCount(), 0);
    QCOMPARE(F.T.Form->TryOutPage().FCbVoice->count(), 1);
  }

  void ChangesThatCannotBeSavedWarnAndChangeNothing() {
    TVoicesFixture F;
    const TVoiceInfo Anna = F.CloneAnna();
    TReadOnlyFolder ReadOnly(F.Folder.Root() + "data");
    if (!ReadOnly.Works()) QSKIP("cannot make a folder read-only here");
    F.Page.FEdtVoiceName->setText(QStringLiteral("Anna Lee"));
    F.Page.OnSaveVoiceClick();
    F.T.Dialogs.ConfirmAnswers = {true};
    F.Page.OnDeleteVoiceClick();
    F.Page.FEdtVoiceName->setText(QStringLiteral("Bob"));
    F.T.Dialogs.OpenAnswers.push_back({F.Tone("bob.wav")});
    F.T.Dialogs.ClipTexts = {"Bob speaking."};
    F.Page.OnCloneClick();
    QCOMPARE(F.T.Dialogs.Warnings.size(), std::size_t{3});
    const std::vector<TVoiceInfo> All = F.Library.All();
    QCOMPARE(All.size(), std::size_t{1});
    QCOMPARE(All[0].Display, std::string("Anna"));
    QCOMPARE(F.Page.FLvVoices->topLevelItemCount(), 1);
    QCOMPARE(F.Page.FLvVoices->topLevelItem(0)->text(0), QStringLiteral("Anna"));
    QVERIFY(!F.T.Form->StatusMessage().contains(QStringLiteral("已更新")));
    QVERIFY(Anna.Id == All[0].Id);
  }

  // A desktop program whose service follows a primary changes no voice of its own: cloning,
  // adding a clip, renaming and deleting are each refused in the window's language with the
  // primary's address, and the library stays as it was.
  void AFollowerRefusesVoiceChangesInTheWindowsLanguage() {
    TVoicesFixture F;
    const TVoiceInfo Anna = F.CloneAnna();
    TConfigSettings Settings = F.T.Form->Config().Settings();
    Settings.ClusterPrimary = "http://127.0.0.2:17150";
    F.T.Form->Config().SetSettings(Settings);
    F.T.Form->OnUiLangChange(ulJa);
    F.Page.FEdtVoiceName->setText(QStringLiteral("Bob"));
    F.T.Dialogs.OpenAnswers.push_back({F.Tone("bob.wav")});
    F.T.Dialogs.ClipTexts = {"Bob speaking."};
    F.Page.OnCloneClick();
    F.Page.FLvVoices->setCurrentItem(F.Page.FLvVoices->topLevelItem(0));
    F.T.Dialogs.OpenAnswers.push_back({F.Tone("three.wav")});
    F.T.Dialogs.ClipTexts = {"Third line."};
    F.Page.OnAddClipClick();
    F.Page.FEdtVoiceName->setText(QStringLiteral("Anna Lee"));
    F.Page.OnSaveVoiceClick();
    F.T.Dialogs.ConfirmAnswers = {true};
    F.Page.OnDeleteVoiceClick();
    F.T.Form->OnUiLangChange(ulZh);
    const std::string Refusal = "このノードは http://127.0.0.2:17150 に従っています";
    QCOMPARE(F.T.Dialogs.Warnings.size(), std::size_t{4});
    for (const std::string& Warning : F.T.Dialogs.Warnings)
      QVERIFY2(Warning.find(Refusal) != std::string::npos, Warning.c_str());
    const std::vector<TVoiceInfo> All = F.Library.All();
    QCOMPARE(All.size(), std::size_t{1});
    QCOMPARE(All[0].Display, std::string("Anna"));
    QCOMPARE(All[0].Clips.size(), Anna.Clips.size());
    QCOMPARE(F.Page.FLvVoices->topLevelItem(0)->text(0), QStringLiteral("Anna"));
  }

  // A desktop program whose settings name a primary takes the primary's voices by itself, and
  // its voices page shows them without a click.
  void ADesktopFollowerTakesThePrimarysVoices() {
    TProgramFolder PrimaryFolder;
    TAppConfig PrimaryConfig(PrimaryFolder.Folders());
    PrimaryConfig.Load();
    TTtsService PrimaryService(PrimaryConfig);
    TTtsHttpServer PrimaryHttp(PrimaryService);
    PrimaryHttp.Start();
    const std::string Tone = WriteToneWav(PrimaryFolder.Root(), "captain.wav", 3000);
    PrimaryService.VoiceLibrary().AddClone(
        {"Captain", "en", tgMale, {{ReadFileBytes(Tone), "A test tone."}}, "", ""});
    const std::string Primary = "http://127.0.0.1:" + std::to_string(PrimaryFolder.Port());
    const TJson Cluster = {{"primary", Primary}, {"followSeconds", 0.1}};
    TProgramFolder Folder(TJson{{"cluster", Cluster}});
    TFormUnderTest T(Folder);
    const QTreeWidget* List = T.Form->VoicesPage().FLvVoices;
    QVERIFY(WaitFor(
        [&] {
          return List->topLevelItemCount() == 1 &&
                 List->topLevelItem(0)->text(0) == QStringLiteral("Captain");
        },
        20000));
    QVERIFY(T.Form->Service().FollowState().Reachable);
  }

  void TranscriptDialogWantsText() {
    TClipTextForm Form(nullptr);
    int Played = 0;
    Form.SetClip(
        {"/very/long/folder/name/for/the/clip/recorded-at-the-gate.wav", 1, 2, [&] { ++Played; }},
        "");
    QCOMPARE(Form.findChild<QLabel*>(QStringLiteral("LblPlace"))->text(),
             QStringLiteral("第 1 段,共 2 段"));
    Form.findChild<QPushButton*>(QStringLiteral("BtnPlay"))->click();
    QCOMPARE(Played, 1);
    auto* Ok = Form.findChild<QPushButton*>(QStringLiteral("BtnOk"));
    auto* Editor = Form.findChild<QTextEdit*>(QStringLiteral("RichText"));
    QVERIFY(!Ok->isEnabled());
    Editor->setPlainText(QStringLiteral(" \n "));
    QVERIFY(!Ok->isEnabled());
    Editor->setHtml(QStringLiteral("<b>Boarding</b> now<br>at gate 12  "));
    QVERIFY(Ok->isEnabled());
    QCOMPARE(Form.Transcript(), std::string("Boarding now\nat gate 12"));
  }

  void FileFiltersBecomeQtFilters() {
    QCOMPARE(QtFileFilter("WAV 文件|*.wav"), QStringLiteral("WAV 文件 (*.wav)"));
    QCOMPARE(QtFileFilter("音频文件 (*.wav;*.mp3)|*.wav;*.mp3|MP3|*.mp3"),
             QStringLiteral("音频文件 (*.wav *.mp3);;MP3 (*.mp3)"));
  }

  void PreviewSpeaksTheSelectedVoiceOnTheTryOutPage() {
    TVoicesFixture F;
    const TVoiceInfo Anna = F.CloneAnna();
    F.Page.OnPreviewVoiceClick();
    TTryOutPage& TryOut = F.T.Form->TryOutPage();
    QCOMPARE(F.T.Form->findChild<QTabWidget*>(QStringLiteral("FPages"))->currentIndex(),
             static_cast<int>(TMainForm::piTryOut));
    QCOMPARE(TryOut.FRgVoiceMode->ItemIndex(), static_cast<int>(TTryOutPage::vmNamed));
    QCOMPARE(ComboVoiceId(TryOut.FCbVoice), Anna.Id);
    QVERIFY(!TryOut.LastWav().empty());
    QVERIFY(TryOut.FLblResult->text().contains(QStringLiteral(" · 音色 Anna · ")));
    QCOMPARE(TryOut.FLblResult->toolTip(), QString::fromStdString(Anna.Id));
  }
};

QTEST_MAIN(TVoicesPageTest)
#include "VoicesPageTest.moc"
