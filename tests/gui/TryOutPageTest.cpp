// The try-out page against the real service: the request each voice-choice mode builds, the
// speed bar, synthesis, failures that keep the last good WAV, and saving it unchanged.
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSlider>
#include <QTest>

#include "GuiSupport.h"
#include "app/Combos.h"
#include "app/RadioGroup.h"
#include "app/TryOutPage.h"
#include "audio/Wav.h"
#include "core/I18n.h"
#include "service/Service.h"
#include "state/Voices.h"

using namespace quavox;
using namespace quavox::test;

namespace {

TVoiceInfo CloneTone(TMainForm& AForm, const std::string& ADir, const std::string& AName,
                     const std::string& ALanguage, TTtsGender AGender) {
  TVoiceCloneSpec Clone;
  Clone.Display = AName;
  Clone.Language = ALanguage;
  Clone.Gender = AGender;
  Clone.Clips.push_back({ReadFileBytes(WriteToneWav(ADir, AName + ".wav", 3000)), "A test clip."});
  return AForm.Service().CloneVoice(Clone);
}

void ChooseMode(TTryOutPage& APage, int AMode) {
  APage.FRgVoiceMode->SetItemIndex(AMode);
  APage.OnVoiceModeChange();
}

}  // namespace

class TTryOutPageTest : public QObject {
  Q_OBJECT

 private slots:
  void LanguageComboReadsTheCodeInBrackets_data() {
    QTest::addColumn<QString>("Typed");
    QTest::addColumn<QString>("Code");
    QTest::newRow("automatic item") << QString::fromStdString(LanguageLabel("")) << "";
    QTest::newRow("listed item") << "日本語 (ja)"
                                 << "ja";
    QTest::newRow("typed code") << " ko "
                                << "ko";
    QTest::newRow("brackets reversed") << ")zh(" << NormalizeLanguage(")zh(").c_str();
  }
  void LanguageComboReadsTheCodeInBrackets() {
    QFETCH(QString, Typed);
    QFETCH(QString, Code);
    QComboBox Combo;
    FillLanguageCombo(&Combo);
    Combo.setEditText(Typed);
    QCOMPARE(QString::fromStdString(ComboLanguage(&Combo)), Code);
  }

  void EachModeBuildsItsRequest() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    TTryOutPage& Page = T.Form->TryOutPage();
    const TVoiceInfo Anna = CloneTone(*T.Form, Folder.Root(), "Anna", "en", tgFemale);
    T.Form->Config().SetAirlineVoice("CCA", "en", tgFemale, Anna.Id);
    T.Form->Config().SetDefaultVoice("en", tgFemale, Anna.Id);
    Page.RefreshVoiceCombo();
    SelectLanguage(Page.FCbLanguage, "en");

    ChooseMode(Page, TTryOutPage::vmDefault);
    SelectGender(Page.FCbGender, tgFemale);
    TTtsRequest Req = Page.BuildPreviewRequest();
    QCOMPARE(Req.Language, std::string("en"));
    QCOMPARE(Req.Gender, tgFemale);
    QVERIFY(Req.Airline.empty() && Req.VoiceId.empty());
    QCOMPARE(Req.Priority, tpHigh);
    QVERIFY(!Page.FCbPvAirline->isEnabled() && !Page.FCbVoice->isEnabled());

    ChooseMode(Page, TTryOutPage::vmAirline);
    QVERIFY(Page.FCbPvAirline->isEnabled());
    QCOMPARE(Page.FCbPvAirline->currentText(), QStringLiteral("CCA"));
    Req = Page.BuildPreviewRequest();
    QCOMPARE(Req.Airline, std::string("CCA"));
    QCOMPARE(Req.Language, std::string("en"));

    ChooseMode(Page, TTryOutPage::vmNamed);
    QVERIFY(!Page.FCbLanguage->isEnabled() && !Page.FCbGender->isEnabled());
    QVERIFY(Page.FCbVoice->isEnabled());
    Req = Page.BuildPreviewRequest();
    QCOMPARE(Req.VoiceId, Anna.Id);
    QVERIFY(Req.Language.empty() && Req.Airline.empty());
    QCOMPARE(Req.Gender, tgAuto);
  }

  void WithoutBindingsOrVoicesTheChoicesStayEmpty() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    TTryOutPage& Page = T.Form->TryOutPage();
    ChooseMode(Page, TTryOutPage::vmAirline);
    QCOMPARE(Page.FCbPvAirline->count(), 1);
    QCOMPARE(Page.FCbPvAirline->currentText(), QStringLiteral("(先去广播页绑定航司)"));
    QVERIFY(!Page.FCbPvAirline->isEnabled());
    QVERIFY(Page.BuildPreviewRequest().Airline.empty());
    ChooseMode(Page, TTryOutPage::vmNamed);
    QCOMPARE(Page.FCbVoice->count(), 1);
    QVERIFY(Page.BuildPreviewRequest().VoiceId.empty());
  }

  void GenderComboOffersWhatCanBeServed() {
    TProgramFolder Folder(TJson{{"synthesis", {{"autoDefaultVoice", false}}}});
    TFormUnderTest T(Folder);
    TTryOutPage& Page = T.Form->TryOutPage();
    const TVoiceInfo Bob = CloneTone(*T.Form, Folder.Root(), "Bob", "de", tgMale);
    T.Form->Config().SetDefaultVoice("de", tgMale, Bob.Id);
    SelectLanguage(Page.FCbLanguage, "de");
    Page.RefreshPreviewChoices();
    const TTtsGenderSet Served = T.Form->Service().VoiceLibrary().AvailableGenders("", "de");
    int Listed = 0;
    for (const TTtsGender Gender : {tgAuto, tgFemale, tgMale})
      Listed += Served.Contains(Gender) ? 1 : 0;
    QCOMPARE(Page.FCbGender->count(), Listed);
    QVERIFY(Page.FCbGender->findData(static_cast<int>(tgMale)) >= 0);
  }

  void SpeedBarEndsGiveHalfAndDoubleSpeed_data() {
    QTest::addColumn<int>("Position");
    QTest::addColumn<float>("Speed");
    QTest::addColumn<QString>("Label");
    QTest::newRow("slowest") << 50 << 0.5f << "0.50 ×";
    QTest::newRow("normal") << 100 << 1.0f << "1.00 ×";
    QTest::newRow("fastest") << 200 << 2.0f << "2.00 ×";
  }
  void SpeedBarEndsGiveHalfAndDoubleSpeed() {
    QFETCH(int, Position);
    QFETCH(float, Speed);
    QFETCH(QString, Label);
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    TTryOutPage& Page = T.Form->TryOutPage();
    Page.FTrkSpeed->setValue(Position);
    QCOMPARE(Page.FLblSpeed->text(), Label);
    QCOMPARE(Page.BuildPreviewRequest().Speed, Speed);
  }

  void SynthesisShowsTheResultAndSavesItUnchanged() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    TTryOutPage& Page = T.Form->TryOutPage();
    Page.OnSynthClick();
    QVERIFY(T.Dialogs.Warnings.empty());
    const QString Line = Page.FLblResult->text();
    QVERIFY(Line.startsWith(QStringLiteral("引擎 ")));
    QVERIFY(Line.contains(QStringLiteral(" · 现算 · ")));
    // The voice by name, its id in the tooltip.
    TVoiceInfo Used;
    QVERIFY(T.Form->Service().VoiceLibrary().Find(Page.FLblResult->toolTip().toStdString(), Used));
    QVERIFY(Line.contains(QString::fromStdString(" · 音色 " + Used.Display + " · ")));
    // No sound server is reachable in these tests.
    QVERIFY(Line.endsWith(QStringLiteral(" —— 但是播不出来")));
    QVERIFY(!Page.LastWav().empty());

    const TTtsResult Again = T.Form->Service().Synthesize(Page.BuildPreviewRequest());
    QVERIFY(Again.FromCache);
    QVERIFY(Again.Wav == Page.LastWav());
    T.Dialogs.SaveAnswers = {Folder.Root() + "saved.wav"};
    Page.OnSaveWavClick();
    QCOMPARE(T.Dialogs.SaveProposals, std::vector<std::string>{"quavox.wav"});
    QVERIFY(ReadFileBytes(Folder.Root() + "saved.wav") == Page.LastWav());
    QCOMPARE(T.Form->StatusMessage(),
             QString::fromStdString("已保存 " + Folder.Root() + "saved.wav"));
    T.Dialogs.SaveAnswers = {Folder.Root() + "saved.wav/inside.wav"};
    Page.OnSaveWavClick();
    QCOMPARE(T.Dialogs.Warnings.size(), std::size_t{1});
    QVERIFY(T.Dialogs.Warnings[0].starts_with("WAV 没存下来:"));
  }

  // The result line wraps in the smallest window; the text box above it keeps its height.
  void WrappedResultLeavesTheTextBoxItsHeight_data() { AddInterfaceLanguageRows(); }
  void WrappedResultLeavesTheTextBoxItsHeight() {
    QFETCH(int, Lang);
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    TTryOutPage& Page = T.Form->TryOutPage();
    T.Form->OnUiLangChange(Lang);
    T.Form->resize(T.Form->minimumSize());
    T.Form->ShowPage(TMainForm::piTryOut);
    T.Form->show();
    QVERIFY(QTest::qWaitForWindowExposed(T.Form.get()));
    QTest::qWait(0);
    const int Before = Page.FMemoText->height();

    Page.OnSynthClick();
    QVERIFY(T.Dialogs.Warnings.empty());
    QTest::qWait(0);
    const QLabel* Result = Page.FLblResult;
    const int OneLine = Result->fontMetrics().lineSpacing();
    QVERIFY2(Result->heightForWidth(Result->width()) >= 2 * OneLine, qPrintable(Result->text()));
    QCOMPARE(Page.FMemoText->height(), Before);
  }

  void FailureKeepsTheLastGoodWav() {
    TProgramFolder Folder(TJson{{"synthesis", {{"maxTextLength", 40}}}});
    TFormUnderTest T(Folder);
    TTryOutPage& Page = T.Form->TryOutPage();
    Page.FMemoText->setPlainText(QStringLiteral("Gate two"));
    Page.SynthesizePreview(false);
    const TBytes Good = Page.LastWav().Bytes();
    QVERIFY(!Good.empty());

    Page.FMemoText->setPlainText(QString(60, QChar('a')));
    Page.SynthesizePreview(false);
    QCOMPARE(T.Dialogs.Warnings.size(), std::size_t{1});
    QVERIFY(Page.FLblResult->text().startsWith(QStringLiteral("合成失败:")));
    QVERIFY(Page.FLblResult->text().endsWith(QString::fromStdString(T.Dialogs.Warnings[0])));
    QVERIFY(Page.LastWav() == Good);
    T.Dialogs.SaveAnswers = {Folder.Root() + "kept.wav"};
    Page.OnSaveWavClick();
    QVERIFY(ReadFileBytes(Folder.Root() + "kept.wav") == Good);
  }

  void NothingToSayOrSaveWarns() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    TTryOutPage& Page = T.Form->TryOutPage();
    Page.OnSaveWavClick();
    Page.FMemoText->setPlainText(QStringLiteral("   "));
    Page.OnSynthClick();
    QCOMPARE(T.Dialogs.Warnings,
             (std::vector<std::string>{"还没有合成过任何音频。", "先写点要念的字。"}));
    QVERIFY(T.Dialogs.SaveProposals.empty());
    QCOMPARE(Page.FLblResult->text(), QStringLiteral("还没有合成过。"));
  }
};

QTEST_MAIN(TTryOutPageTest)
#include "TryOutPageTest.moc"
