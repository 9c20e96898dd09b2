// The cache page against the real cache: newest first, the filter and the voice choice,
// playing, deleting several rows, clearing with its question, files that vanished behind
// the program's back, the cache folder; and the log page's "清空".
#include <QComboBox>
#include <QDesktopServices>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <filesystem>

#include "GuiSupport.h"
#include "app/CacheListModel.h"
#include "app/CachePage.h"
#include "app/LogPage.h"
#include "audio/Wav.h"
#include "core/Log.h"
#include "service/Service.h"
#include "state/Cache.h"

using namespace quavox;
using namespace quavox::test;

// Takes the URLs the page asks the desktop to open.
class TUrlCatcher : public QObject {
  Q_OBJECT

 public:
  explicit TUrlCatcher(const QString& AScheme) : FScheme(AScheme) {
    QDesktopServices::setUrlHandler(FScheme, this, "Open");
  }
  ~TUrlCatcher() override { QDesktopServices::unsetUrlHandler(FScheme); }

  QList<QUrl> Opened;

 public slots:
  void Open(const QUrl& AUrl) { Opened << AUrl; }

 private:
  QString FScheme;
};

namespace {

struct TSample {
  const char* Voice;
  const char* Language;
  const char* Text;
};

// Put in this order, so the last one is the newest.
const TSample Samples[] = {
    {"v-anna", "en", "Flight CA1234 is now boarding"},
    {"v-kenji", "ja", "Final call for NH960"},
    {"v-anna", "zh", "请各位旅客\r\n前往登机口"},
    {"v-mia", "en", "Gate change for MU5101"},
};

struct TCacheFixture {
  TProgramFolder Folder;
  TFormUnderTest T{Folder};
  TCachePage& Page = T.Form->CachePage();
  TWavCache& Cache = T.Form->Service().Cache();
  std::vector<std::string> Keys;

  TCacheFixture() {
    T.Form->ShowPage(TMainForm::piCache);
    TPcmBuffer Pcm;
    Pcm.SampleRate = 24000;
    Pcm.Data.assign(24000, 0.1f);
    for (const TSample& Sample : Samples) {
      TTtsResult Result;
      Result.Wav = PcmToWav(Pcm);
      Result.SampleRate = 24000;
      Result.DurationMs = 1000;
      Result.VoiceId = Sample.Voice;
      Result.Language = Sample.Language;
      Keys.push_back(Sha256Hex(std::string_view(Sample.Text)));
      Cache.Put(Keys.back(), Result, Sample.Text);
    }
    // Clips reach their files in the background; the tests work on the files.
    Cache.Flush();
    Page.RefreshCachePage();
  }
  TCacheListModel& Model() const { return Page.CacheModel(); }
  QStringList ShownTexts() const {
    QStringList Texts;
    for (int i = 0; i < Model().rowCount(); ++i)
      Texts << Model().index(i, TCacheListModel::ccText).data().toString();
    return Texts;
  }
  void SelectRows(std::initializer_list<int> ARows) {
    QItemSelectionModel* Selection = Page.FLvCache->selectionModel();
    Selection->clearSelection();
    for (int Row : ARows)
      Selection->select(Model().index(Row, 0),
                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
};

}  // namespace

class TCacheAndLogPagesTest : public QObject {
  Q_OBJECT

 private slots:
  void RowsComeNewestFirstWithTheirColumns() {
    TCacheFixture F;
    QCOMPARE(F.ShownTexts(),
             (QStringList{"Gate change for MU5101", "请各位旅客 前往登机口", "Final call for NH960",
                          "Flight CA1234 is now boarding"}));
    const auto Cell = [&](int AColumn) { return F.Model().index(2, AColumn).data().toString(); };
    QCOMPARE(Cell(TCacheListModel::ccVoice), QStringLiteral("v-kenji"));
    QCOMPARE(Cell(TCacheListModel::ccLanguage), QStringLiteral("日本語"));
    QCOMPARE(Cell(TCacheListModel::ccSpeed), QStringLiteral("1.00 x"));
    QCOMPARE(Cell(TCacheListModel::ccDuration), QStringLiteral("1.00 s"));
    QCOMPARE(Cell(TCacheListModel::ccSize), QStringLiteral("47 KB"));
    QCOMPARE(F.Model().index(2, 0).data(TCacheListModel::KeyRole).toString().toStdString(),
             F.Keys[1]);
    QCOMPARE(F.Page.FCbCacheVoice->count(), 4);
    QCOMPARE(F.Page.FCbCacheVoice->itemText(0), QStringLiteral("(全部音色)"));
    QCOMPARE(F.Page.FCbCacheVoice->itemText(1), QStringLiteral("v-anna"));
    const QString Stats = F.Page.FLblCacheStats->text();
    QVERIFY2(Stats.startsWith("4 条(显示 4) · 0.2 MB / 不限上限 · 命中 0 / 未命中 0(0%) · "),
             qPrintable(Stats));
    QVERIFY(Stats.endsWith(QString::fromStdString(F.Cache.Directory())));
  }

  void FilterMatchesVoiceTextAndLanguageIgnoringCase_data() {
    QTest::addColumn<QString>("Filter");
    QTest::addColumn<QStringList>("Shown");
    QTest::newRow("voice id") << "KENJI" << QStringList{"Final call for NH960"};
    QTest::newRow("text") << "  flight ca" << QStringList{"Flight CA1234 is now boarding"};
    QTest::newRow("language code") << "zh" << QStringList{"请各位旅客 前往登机口"};
    QTest::newRow("nothing") << "xyz" << QStringList{};
  }
  void FilterMatchesVoiceTextAndLanguageIgnoringCase() {
    QFETCH(QString, Filter);
    QFETCH(QStringList, Shown);
    TCacheFixture F;
    F.Page.FEdtCacheFilter->setText(Filter);
    QCOMPARE(F.ShownTexts(), Shown);
    QVERIFY(F.Page.FLblCacheStats->text().startsWith(
        QStringLiteral("4 条(显示 %1)").arg(Shown.size())));
  }

  void VoiceChoiceNarrowsToExactlyThatVoice() {
    TCacheFixture F;
    F.Page.FCbCacheVoice->setCurrentIndex(F.Page.FCbCacheVoice->findText("v-anna"));
    QCOMPARE(F.ShownTexts(),
             (QStringList{"请各位旅客 前往登机口", "Flight CA1234 is now boarding"}));
    F.Page.FEdtCacheFilter->setText(QStringLiteral("ZH"));
    QCOMPARE(F.ShownTexts(), QStringList{"请各位旅客 前往登机口"});
    QCOMPARE(F.Page.FCbCacheVoice->currentText(), QStringLiteral("v-anna"));
    F.Page.FCbCacheVoice->setCurrentIndex(0);
    QCOMPARE(F.ShownTexts().size(), 1);
    F.Page.FEdtCacheFilter->clear();
    QCOMPARE(F.ShownTexts().size(), 4);
  }

  void DeleteRemovesEverySelectedRow() {
    TCacheFixture F;
    F.Page.OnCacheDeleteClick();
    QCOMPARE(F.T.Dialogs.Warnings, std::vector<std::string>{"先在上面选一条。"});
    F.SelectRows({0, 1, 3});
    F.Page.OnCacheDeleteClick();
    QCOMPARE(F.ShownTexts(), QStringList{"Final call for NH960"});
    QCOMPARE(F.Cache.Stats().Count, 1);
    QVERIFY(F.Cache.Contains(F.Keys[1]));
    QCOMPARE(F.T.Form->StatusMessage(), QStringLiteral("已删掉 3 条缓存"));
    QVERIFY(F.T.Dialogs.Confirms.empty() && F.T.Dialogs.WarningConfirms.empty());
  }

  void DeleteCountsOnlyWhatWasRemoved() {
    TCacheFixture F;
    F.SelectRows({0, 1, 2});
    F.Cache.Remove(F.Keys[3]);
    F.Page.OnCacheDeleteClick();
    QCOMPARE(F.T.Form->StatusMessage(), QStringLiteral("已删掉 2 条缓存"));
    QCOMPARE(F.ShownTexts(), QStringList{"Flight CA1234 is now boarding"});
  }

  void PlayingAFileThatVanishedDropsItsEntry() {
    TCacheFixture F;
    F.SelectRows({2, 1});
    std::filesystem::remove(F.Cache.Directory() + F.Keys[2] + ".wav");
    F.Page.OnCachePlayClick();
    QCOMPARE(F.T.Dialogs.Warnings,
             std::vector<std::string>{"这条缓存的文件读不出来了,已经把它从索引里去掉。"});
    QVERIFY(!F.Cache.Contains(F.Keys[2]));
    QCOMPARE(F.ShownTexts().size(), 3);
  }

  void PlayingAReadableEntryKeepsIt() {
    TCacheFixture F;
    F.Page.OnCachePlayClick();
    QCOMPARE(F.T.Dialogs.Warnings, std::vector<std::string>{"先在上面选一条。"});
    F.SelectRows({1});
    F.Page.FLvCache->doubleClicked(F.Model().index(1, 0));
    QCOMPARE(F.T.Dialogs.Warnings.size(), std::size_t{1});
    QCOMPARE(F.ShownTexts().size(), 4);
    F.Page.OnStopPlayClick();
    QVERIFY(!F.T.Form->Player().Playing());
  }

  void ClearAsksWithTheMinutesOfSynthesis() {
    TCacheFixture F;
    TTtsService& Service = F.T.Form->Service();
    for (int i = 0; i < 50 && Service.Stats().TotalSynthMs == 0; ++i)
      Service.Synthesize(TTtsRequest::Make(
          "Ladies and gentlemen, flight " + std::to_string(i) + " is now boarding at gate 12.",
          "en", tgFemale, 1.0f));
    const TServiceStats Stats = Service.Stats();
    QVERIFY(Stats.TotalSynthMs > 0);
    F.Page.OnCacheClearClick();
    QCOMPARE(F.T.Dialogs.WarningConfirms.size(), std::size_t{1});
    const std::string Asked = F.T.Dialogs.WarningConfirms[0];
    QVERIFY2(
        Asked.starts_with("要清空缓存吗?现在有 " + std::to_string(Stats.CacheCount) + " 条,占 "),
        Asked.c_str());
    QVERIFY(Asked.find(" MB。\r\n这些当初一共算了约 0 分钟,清掉之后要重新算一遍。\r\n\r\n"
                       "音色和广播绑定不受影响,只清合成好的音频。") != std::string::npos);
    QCOMPARE(F.Cache.Stats().Count, Stats.CacheCount);

    F.T.Dialogs.ConfirmAnswers.push_back(true);
    F.Page.OnCacheClearClick();
    QCOMPARE(F.Cache.Stats().Count, 0);
    QVERIFY(F.ShownTexts().isEmpty());
    QCOMPARE(F.T.Form->StatusMessage(), QStringLiteral("缓存已清空"));
    F.Page.OnCacheClearClick();
    QCOMPARE(F.T.Dialogs.WarningConfirms.size(), std::size_t{2});
  }

  void ClearWithoutSynthesisLeavesTheMinutesOut() {
    TCacheFixture F;
    F.Page.OnCacheClearClick();
    QCOMPARE(F.T.Dialogs.WarningConfirms.size(), std::size_t{1});
    QVERIFY(F.T.Dialogs.WarningConfirms[0].find("分钟") == std::string::npos);
  }

  void OpenDirOpensTheCacheFolder() {
    TCacheFixture F;
    TUrlCatcher Catcher(QStringLiteral("file"));
    F.Page.OnCacheOpenDirClick();
    QCOMPARE(Catcher.Opened.size(), 1);
    QCOMPARE(Catcher.Opened[0].toLocalFile().toStdString(), F.T.Form->Config().CacheDir());
    QVERIFY(std::filesystem::is_directory(F.T.Form->Config().CacheDir()));
  }

  void BudgetShowsInTheStatistics() {
    TProgramFolder Folder(TJson{{"cache", {{"budgetMB", 32}}}});
    TFormUnderTest T(Folder);
    T.Form->ShowPage(TMainForm::piCache);
    QVERIFY(T.Form->CachePage().FLblCacheStats->text().contains(QStringLiteral("/ 上限 32 MB ·")));
  }

  void ClearLogEmptiesBothViewsAndTheLog() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    TLogPage& Page = T.Form->LogPage();
    QVERIFY(WaitFor([&] { return !Page.FMemoLog->toPlainText().isEmpty(); }, 5000));
    T.Form->OnRequestLogged(TRequestLog{});
    Page.OnClearLogClick();
    QVERIFY(Page.FMemoLog->toPlainText().isEmpty());
    QCOMPARE(Page.FLvRequests->topLevelItemCount(), 0);
    for (const TLogEntry& Entry : TAppLog::Entries())
      QVERIFY(Entry.Text.find("started; data folder") == std::string::npos);
  }
};

QTEST_MAIN(TCacheAndLogPagesTest)
#include "CacheAndLogPagesTest.moc"
