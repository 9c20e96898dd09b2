// The bindings page against the real configuration and voice library: binding and
// re-binding, codes typed in lower case, unbinding, copies into the first free slot,
// bindings to voices that are gone, previews, and clone packs out and back in.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>

#include "GuiSupport.h"
#include "app/BroadcastPage.h"
#include "app/Combos.h"
#include "app/RadioGroup.h"
#include "app/TryOutPage.h"
#include "app/VoicesPage.h"
#include "audio/Wav.h"
#include "service/Service.h"
#include "state/Voices.h"

using namespace quavox;
using namespace quavox::test;

namespace {

struct TBroadcastFixture {
  TProgramFolder Folder;
  TFormUnderTest T{Folder};
  TBroadcastPage& Page = T.Form->BroadcastPage();
  TAppConfig& Config = T.Form->Config();

  TVoiceInfo Clone(const std::string& AName, const std::string& ALanguage, TTtsGender AGender) {
    TVoiceCloneSpec Recording;
    Recording.Display = AName;
    Recording.Language = ALanguage;
    Recording.Gender = AGender;
    Recording.Clips.push_back(
        {ReadFileBytes(WriteToneWav(Folder.Root(), AName + ".wav", 3000)), "A test clip."});
    const TVoiceInfo Voice = T.Form->Service().CloneVoice(Recording);
    Page.RefreshAirlinesPage();
    return Voice;
  }
  void Bind(const std::string& AAirline, const std::string& ALanguage, TTtsGender AGender,
            const std::string& AVoiceId) {
    Config.SetAirlineVoice(AAirline, ALanguage, AGender, AVoiceId);
    Page.RefreshAirlinesPage();
  }
  void Select(const std::string& AKey) {
    for (int i = 0; i < Page.FLvAirlines->topLevelItemCount(); ++i) {
      QTreeWidgetItem* Row = Page.FLvAirlines->topLevelItem(i);
      if (Row->data(0, Qt::UserRole).toString() == QString::fromStdString(AKey)) {
        Page.FLvAirlines->setCurrentItem(Row);
        return;
      }
    }
    QFAIL(("no row " + AKey).c_str());
  }
  // The keys of the list's rows, in their order.
  QStringList RowKeys() const {
    QStringList Keys;
    for (int i = 0; i < Page.FLvAirlines->topLevelItemCount(); ++i)
      Keys << Page.FLvAirlines->topLevelItem(i)->data(0, Qt::UserRole).toString();
    return Keys;
  }
  // The bindings as the file on disk holds them.
  TKeyValueList SavedBindings() const {
    TAppConfig Saved(Folder.Folders());
    Saved.Load();
    return Saved.AirlinesSnapshot();
  }
  QString Status() const { return T.Form->StatusMessage(); }
};

}  // namespace

class TBroadcastPageTest : public QObject {
  Q_OBJECT

 private slots:
  void RowsShowEveryBindingInTheConfigurationsOrder() {
    TBroadcastFixture F;
    const TVoiceInfo Anna = F.Clone("Anna", "en", tgFemale);
    F.Bind("MU", "zh", tgMale, Anna.Id);
    F.Bind("CCA", "", tgAuto, Anna.Id);
    F.Config.SetAirlineVoice("ANA", "ja", tgFemale, "v-gone");
    F.Page.RefreshAirlinesPage();
    QCOMPARE(F.RowKeys(), (QStringList{"ANA:ja:female", "CCA::default", "MU:zh:male"}));
    const QTreeWidgetItem* Gone = F.Page.FLvAirlines->topLevelItem(0);
    QCOMPARE(Gone->text(1), QStringLiteral("日本語 (ja)"));
    QCOMPARE(Gone->text(2), QStringLiteral("女声"));
    QCOMPARE(Gone->text(3), QStringLiteral("v-gone"));
    QCOMPARE(Gone->text(4), QStringLiteral("这个音色已经不在了"));
    const QTreeWidgetItem* Any = F.Page.FLvAirlines->topLevelItem(1);
    QCOMPARE(Any->text(1), QStringLiteral("自动 (auto)"));
    QCOMPARE(Any->text(3), QStringLiteral("Anna"));
    QVERIFY(Any->text(4).isEmpty());
    QCOMPARE(F.Page.FCbAirline->count(), 3);
    QCOMPARE(F.Page.FCbAirVoice->count(), 1);
    QVERIFY(F.Page.FCbAirline->currentText().isEmpty());
    QCOMPARE(F.Page.FCbAirline->lineEdit()->placeholderText(), QStringLiteral("ANA"));
  }

  void AirlineTypedInLowerCaseIsBoundInUpperCase() {
    TBroadcastFixture F;
    const TVoiceInfo Anna = F.Clone("Anna", "en", tgFemale);
    const TVoiceInfo Mia = F.Clone("Mia", "en", tgFemale);
    F.Page.FCbAirline->lineEdit()->clear();
    QTest::keyClicks(F.Page.FCbAirline->lineEdit(), "cca");
    QCOMPARE(F.Page.FCbAirline->currentText(), QStringLiteral("CCA"));
    F.Page.FCbAirline->setEditText(QStringLiteral(" cca "));
    SelectLanguage(F.Page.FCbAirLang, "en");
    SelectGender(F.Page.FCbAirGender, tgFemale);
    SelectVoice(F.Page.FCbAirVoice, Anna.Id);
    F.Page.OnBindAirlineClick();
    QCOMPARE(F.SavedBindings(), (TKeyValueList{{"CCA:en:female", Anna.Id}}));
    QCOMPARE(F.Status(), QStringLiteral("已新增 CCA · English · 女声"));
    QCOMPARE(F.Page.FCbAirline->currentText(), QStringLiteral(" cca "));

    SelectVoice(F.Page.FCbAirVoice, Mia.Id);
    F.Page.OnBindAirlineClick();
    QCOMPARE(F.SavedBindings(), (TKeyValueList{{"CCA:en:female", Mia.Id}}));
    QCOMPARE(F.Status(), QStringLiteral("CCA · English · 女声 换成了新音色"));
  }

  void BindingNeedsAnAirlineAndAVoice() {
    TBroadcastFixture F;
    F.Page.FCbAirline->setEditText(QStringLiteral("CCA"));
    F.Page.OnBindAirlineClick();
    F.Page.FCbAirline->setEditText(QStringLiteral("   "));
    F.Clone("Anna", "en", tgFemale);
    F.Page.OnBindAirlineClick();
    QCOMPARE(F.T.Dialogs.Warnings,
             (std::vector<std::string>{"先选一个音色。没有音色的话,去「音色」页克隆一个。",
                                       "先填航司代码(ICAO 三字码,比如 ANA、CCA、CES)。"}));
    QVERIFY(F.Config.AirlinesSnapshot().empty());
  }

  void SelectingARowFillsTheEditor() {
    TBroadcastFixture F;
    F.Clone("Anna", "en", tgFemale);
    const TVoiceInfo Kenji = F.Clone("Kenji", "ja", tgMale);
    F.Bind("ANA", "ja", tgMale, Kenji.Id);
    F.Select("ANA:ja:male");
    QCOMPARE(F.Page.FCbAirline->currentText(), QStringLiteral("ANA"));
    QCOMPARE(ComboLanguage(F.Page.FCbAirLang), std::string("ja"));
    QCOMPARE(ComboGender(F.Page.FCbAirGender), tgMale);
    QCOMPARE(ComboVoiceId(F.Page.FCbAirVoice), Kenji.Id);
  }

  void UnbindNeedsARowAndAsksNothing() {
    TBroadcastFixture F;
    const TVoiceInfo Anna = F.Clone("Anna", "en", tgFemale);
    F.Bind("CCA", "en", tgFemale, Anna.Id);
    F.Bind("CCA", "zh", tgFemale, Anna.Id);
    F.Page.OnUnbindAirlineClick();
    QCOMPARE(F.T.Dialogs.Warnings, std::vector<std::string>{"先在上面选一条。"});
    F.Select("CCA:zh:female");
    F.Page.OnUnbindAirlineClick();
    QVERIFY(F.T.Dialogs.Confirms.empty());
    QCOMPARE(F.SavedBindings(), (TKeyValueList{{"CCA:en:female", Anna.Id}}));
    QCOMPARE(F.RowKeys(), QStringList{"CCA:en:female"});
    QCOMPARE(F.Status(), QStringLiteral("已删除 CCA · 中文 · 女声"));
  }

  void CopyGoesToTheOtherGendersFirstThenTheLanguagesInTableOrder() {
    TBroadcastFixture F;
    const TVoiceInfo Hanako = F.Clone("Hanako", "ja", tgFemale);
    F.Bind("CCA", "ja", tgFemale, Hanako.Id);
    F.Select("CCA:ja:female");
    F.Page.OnCopyBindingClick();
    QCOMPARE(F.Config.AirlineVoice("CCA", "ja", tgAuto), Hanako.Id);
    QCOMPARE(F.Page.SelectedKey(), std::string("CCA:ja:default"));
    QCOMPARE(ComboGender(F.Page.FCbAirGender), tgAuto);
    QCOMPARE(F.Status(),
             QStringLiteral("已复制成 CCA · 日本語 · 默认 —— 要改成别的,改完点「新增」"));

    F.Select("CCA:ja:female");
    F.Page.OnCopyBindingClick();
    QCOMPARE(F.Config.AirlineVoice("CCA", "ja", tgMale), Hanako.Id);

    F.Select("CCA:ja:female");
    F.Page.OnCopyBindingClick();
    QCOMPARE(F.Config.AirlineVoice("CCA", "zh", tgFemale), Hanako.Id);
    QCOMPARE(F.Page.SelectedKey(), std::string("CCA:zh:female"));
    QCOMPARE(ComboLanguage(F.Page.FCbAirLang), std::string("zh"));
    QCOMPARE(ComboVoiceId(F.Page.FCbAirVoice), Hanako.Id);
    QCOMPARE(F.SavedBindings().size(), std::size_t{4});
    QVERIFY(F.T.Dialogs.Warnings.empty());
  }

  // A desktop program whose daemon follows a primary changes no binding of its own: each
  // button is refused with the primary's address, as the API refuses it, and nothing is saved.
  void AFollowerRefusesBindingChanges() {
    TBroadcastFixture F;
    const TVoiceInfo Anna = F.Clone("Anna", "en", tgFemale);
    F.Bind("CCA", "en", tgFemale, Anna.Id);
    F.Config.Save();
    TConfigSettings Settings = F.Config.Settings();
    Settings.ClusterPrimary = "http://127.0.0.2:17150";
    F.Config.SetSettings(Settings);
    const TKeyValueList Before = F.Config.AirlinesSnapshot();
    F.Page.FCbAirline->setEditText(QStringLiteral("ANA"));
    SelectVoice(F.Page.FCbAirVoice, Anna.Id);
    F.Page.OnBindAirlineClick();
    F.Select("CCA:en:female");
    F.Page.OnUnbindAirlineClick();
    F.Select("CCA:en:female");
    F.Page.OnCopyBindingClick();
    QCOMPARE(F.T.Dialogs.Warnings.size(), std::size_t{3});
    for (const std::string& Warning : F.T.Dialogs.Warnings)
      QVERIFY2(Warning.find("http://127.0.0.2:17150") != std::string::npos, Warning.c_str());
    QCOMPARE(F.Config.AirlinesSnapshot(), Before);
    QCOMPARE(F.SavedBindings(), Before);
  }

  void FreeSlotsFollowTheSearchOrder() {
    TBroadcastFixture F;
    const TVoiceInfo Anna = F.Clone("Anna", "en", tgFemale);
    struct TCase {
      const char* Label;
      std::vector<std::pair<std::string, TTtsGender>> Bound;
      std::string Language;
      TTtsGender Gender;
      std::string WantLanguage;
      TTtsGender WantGender;
    };
    const TCase Cases[] = {
        {"any language tries its genders first", {{"", tgFemale}}, "", tgFemale, "", tgAuto},
        {"any language never copies into itself",
         {{"", tgAuto}, {"", tgFemale}, {"", tgMale}},
         "",
         tgMale,
         "zh",
         tgMale},
        {"own language skipped",
         {{"zh", tgAuto}, {"zh", tgFemale}, {"zh", tgMale}, {"ja", tgFemale}},
         "zh",
         tgFemale,
         "en",
         tgFemale},
    };
    for (const TCase& Case : Cases) {
      F.Config.Reset();
      for (const auto& [Language, Gender] : Case.Bound)
        F.Config.SetAirlineVoice("CCA", Language, Gender, Anna.Id);
      const auto Slot = FreeCopySlot(F.Config, "CCA", Case.Language, Case.Gender);
      QVERIFY2(Slot.has_value(), Case.Label);
      QCOMPARE(Slot->Language, Case.WantLanguage);
      QCOMPARE(Slot->Gender, Case.WantGender);
    }
  }

  void CopyWarnsWhenEverySlotIsTaken() {
    TBroadcastFixture F;
    const TVoiceInfo Anna = F.Clone("Anna", "en", tgFemale);
    for (const TTtsGender Gender : {tgAuto, tgFemale, tgMale})
      F.Config.SetAirlineVoice("CCA", "en", Gender, Anna.Id);
    for (const std::string& Code : KnownLanguages())
      F.Config.SetAirlineVoice("CCA", Code, tgFemale, Anna.Id);
    F.Page.RefreshAirlinesPage();
    const std::size_t Before = F.Config.AirlinesSnapshot().size();
    F.Select("CCA:en:female");
    F.Page.OnCopyBindingClick();
    QCOMPARE(F.T.Dialogs.Warnings,
             std::vector<std::string>{"CCA 常用的语言和性别都绑满了,没地方放这条复制。\r\n"
                                      "想加别的语种的话,在下面直接敲语言代码再点「新增」。"});
    QCOMPARE(F.Config.AirlinesSnapshot().size(), Before);
  }

  void BindingToADeletedVoiceCanBeUnboundButNotCopied() {
    TBroadcastFixture F;
    F.Bind("CCA", "en", tgFemale, "v-gone");
    F.Config.Save();
    F.Select("CCA:en:female");
    F.Page.OnCopyBindingClick();
    QCOMPARE(F.T.Dialogs.Warnings,
             std::vector<std::string>{"这条绑的音色已经不在了,先给它选个音色再复制。"});
    QCOMPARE(F.Config.AirlinesSnapshot().size(), std::size_t{1});
    F.Page.OnUnbindAirlineClick();
    QVERIFY(F.SavedBindings().empty());
    QVERIFY(F.RowKeys().isEmpty());
  }

  void DeletingAVoiceOnTheVoicesPageRefreshesTheBindings() {
    TBroadcastFixture F;
    const TVoiceInfo Anna = F.Clone("Anna", "en", tgFemale);
    F.Bind("CCA", "en", tgFemale, Anna.Id);
    TVoicesPage& Voices = F.T.Form->VoicesPage();
    Voices.RefreshVoicesList();
    Voices.FLvVoices->setCurrentItem(Voices.FLvVoices->topLevelItem(0));
    F.T.Dialogs.ConfirmAnswers.push_back(true);
    Voices.OnDeleteVoiceClick();
    QVERIFY(F.RowKeys().isEmpty());
  }

  void PreviewSpeaksTheBindingOnTheTryOutPage() {
    TBroadcastFixture F;
    const TVoiceInfo Kenji = F.Clone("Kenji", "ja", tgMale);
    F.Bind("ANA", "ja", tgMale, Kenji.Id);
    F.Bind("CCA", "ja", tgMale, Kenji.Id);
    F.Page.OnPreviewAirlineClick();
    QCOMPARE(F.T.Dialogs.Warnings, std::vector<std::string>{"先在上面选一条。"});
    F.Select("CCA:ja:male");
    F.Page.OnPreviewAirlineClick();
    TTryOutPage& TryOut = F.T.Form->TryOutPage();
    QCOMPARE(F.T.Form->findChild<QTabWidget*>("FPages")->currentIndex(),
             static_cast<int>(TMainForm::piTryOut));
    QCOMPARE(TryOut.FRgVoiceMode->ItemIndex(), static_cast<int>(TTryOutPage::vmAirline));
    QCOMPARE(TryOut.PreviewAirline(), std::string("CCA"));
    QCOMPARE(ComboLanguage(TryOut.FCbLanguage), std::string("ja"));
    QCOMPARE(ComboGender(TryOut.FCbGender), tgMale);
    QVERIFY(!TryOut.LastWav().empty());
    QVERIFY(TryOut.FLblResult->text().contains(QString::fromStdString(" · 音色 " + Kenji.Display)));
    QCOMPARE(TryOut.FLblResult->toolTip(), QString::fromStdString(Kenji.Id));
  }

  void ExportWithoutBindingsWarns() {
    TBroadcastFixture F;
    F.Page.OnExportClnClick();
    QCOMPARE(F.T.Dialogs.Warnings, std::vector<std::string>{"还没有任何绑定,没什么可导的。"});
    QVERIFY(F.T.Dialogs.SaveProposals.empty());
  }

  void ExportTakesTheSelectedAirlineOrEverything() {
    TBroadcastFixture F;
    const TVoiceInfo Anna = F.Clone("Anna", "en", tgFemale);
    const TVoiceInfo Kenji = F.Clone("Kenji", "ja", tgMale);
    F.Bind("CCA", "en", tgFemale, Anna.Id);
    F.Bind("ANA", "ja", tgMale, Kenji.Id);
    F.Bind("ANA", "en", tgFemale, Anna.Id);
    QCOMPARE(F.Page.ExportKeys(),
             (std::vector<std::string>{"ANA:en:female", "ANA:ja:male", "CCA:en:female"}));
    const std::string All = F.Folder.Root() + "all.cln";
    F.T.Dialogs.SaveAnswers.push_back(All);
    F.Page.OnExportClnClick();
    QCOMPARE(F.T.Dialogs.SaveProposals, std::vector<std::string>{"broadcast.cln"});
    QVERIFY(std::filesystem::exists(All));
    QCOMPARE(F.T.Dialogs.Infos.size(), std::size_t{1});
    QVERIFY(QString::fromStdString(F.T.Dialogs.Infos[0]).startsWith("导出完成:\r\n音色 2 个"));
    QVERIFY(F.T.Dialogs.Infos[0].find("绑定 3 条") != std::string::npos);
    QCOMPARE(F.Status(), QStringLiteral("已导出 all.cln"));

    F.Select("ANA:ja:male");
    QCOMPARE(F.Page.ExportKeys(), (std::vector<std::string>{"ANA:en:female", "ANA:ja:male"}));
    F.Page.OnExportClnClick();
    QCOMPARE(F.T.Dialogs.SaveProposals.back(), std::string("ana.cln"));
    QCOMPARE(F.T.Dialogs.Infos.size(), std::size_t{1});
  }

  void ImportShowsTheSummaryAndRefreshesThePages() {
    const TTempDir Packs("quavox-packs");
    const std::string Pack = Packs.Path("cca.cln");
    {
      TBroadcastFixture Source;
      const TVoiceInfo Anna = Source.Clone("Anna", "en", tgFemale);
      Source.Bind("CCA", "en", tgFemale, Anna.Id);
      Source.T.Dialogs.SaveAnswers.push_back(Pack);
      Source.Page.OnExportClnClick();
    }
    TBroadcastFixture F;
    F.T.Dialogs.OpenAnswers.push_back({Pack});
    F.Page.OnImportClnClick();
    QVERIFY(F.T.Dialogs.Warnings.empty());
    QCOMPARE(F.RowKeys(), QStringList{"CCA:en:female"});
    QCOMPARE(F.T.Form->VoicesPage().FLvVoices->topLevelItemCount(), 1);
    QCOMPARE(F.Page.FCbAirVoice->count(), 1);
    QCOMPARE(F.T.Dialogs.Infos.size(), std::size_t{1});
    QVERIFY(QString::fromStdString(F.T.Dialogs.Infos[0]).startsWith("导入完成:\r\n音色 1 个"));
    QCOMPARE(F.Status(), QStringLiteral("导入完成"));
  }

  void ImportOfABrokenPackWarnsAndChangesNothing() {
    TBroadcastFixture F;
    const std::string Broken = F.Folder.Root() + "broken.cln";
    WriteFileBytes(Broken, TBytes{'P', 'K', 3, 4, 0, 0});
    F.T.Dialogs.OpenAnswers.push_back({Broken});
    F.Page.OnImportClnClick();
    QCOMPARE(F.T.Dialogs.Warnings.size(), std::size_t{1});
    QVERIFY(F.T.Dialogs.Infos.empty());
    QVERIFY(F.Config.AirlinesSnapshot().empty());
    F.Page.OnImportClnClick();
    QCOMPARE(F.T.Dialogs.Warnings.size(), std::size_t{1});
  }
};

QTEST_MAIN(TBroadcastPageTest)
#include "BroadcastPageTest.moc"
