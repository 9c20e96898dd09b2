// The settings page against the real configuration, service and HTTP server: every field
// read back with its parsing, clamping and default, the port that refuses the whole save,
// the reset, the advanced panel, and the release check against a local release API.
#include <httplib.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "GuiSupport.h"
#include "app/BroadcastPage.h"
#include "app/SettingsPage.h"
#include "core/Log.h"
#include "http/Http.h"
#include "platform/Loopback.h"
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

struct TSettingsFixture {
  TProgramFolder Folder;
  TFormUnderTest T{Folder};
  TSettingsPage& Page = T.Form->SettingsPage();

  // The settings as the file on disk holds them.
  TConfigSettings Saved() const {
    TAppConfig Config(Folder.Folders());
    Config.Load();
    return Config.Settings();
  }
};

// A stand-in for the release API and feed: each answers with the status and body set, and
// an answer can be held back until the test lets it go.
class TReleaseServer {
 public:
  TReleaseServer() {
    FServer.Get("/repos/tallyhorn/quavox/releases",
                [this](const httplib::Request&, httplib::Response& ARes) { Answer(FApi, ARes); });
    FServer.Get("/tallyhorn/quavox/releases.atom",
                [this](const httplib::Request&, httplib::Response& ARes) { Answer(FFeed, ARes); });
    FPort = FServer.bind_to_any_port("127.0.0.1");
    FThread = std::thread([this] { FServer.listen_after_bind(); });
    while (!FServer.is_running())
      std::this_thread::yield();
  }
  ~TReleaseServer() {
    Release();
    FServer.stop();
    FThread.join();
  }

  std::string Base() const { return "http://127.0.0.1:" + std::to_string(FPort); }
  void Set(int AApiStatus, std::string AApiBody, int AFeedStatus, std::string AFeedBody) {
    const std::lock_guard Guard(FLock);
    FApi = {AApiStatus, std::move(AApiBody)};
    FFeed = {AFeedStatus, std::move(AFeedBody)};
  }
  void Hold() {
    const std::lock_guard Guard(FLock);
    FHeld = true;
  }
  void Release() {
    const std::lock_guard Guard(FLock);
    FHeld = false;
    FWake.notify_all();
  }
  int Answered() {
    const std::lock_guard Guard(FLock);
    return FAnswered;
  }

 private:
  struct TAnswer {
    int Status = 200;
    std::string Body;
  };

  void Answer(const TAnswer& AAnswer, httplib::Response& ARes) {
    std::unique_lock Guard(FLock);
    FWake.wait(Guard, [this] { return !FHeld; });
    ARes.status = AAnswer.Status;
    ARes.set_content(AAnswer.Body, "application/json");
    ++FAnswered;
  }

  std::mutex FLock;
  std::condition_variable FWake;
  TAnswer FApi, FFeed;
  bool FHeld = false;
  int FAnswered = 0;
  httplib::Server FServer;
  int FPort = 0;
  std::thread FThread;
};

bool Logged(const std::string& APrefix) {
  for (const TLogEntry& Entry : TAppLog::Entries())
    if (Entry.Source == "update" && Entry.Text.starts_with(APrefix)) return true;
  return false;
}

void PumpEvents(int AMs) {
  WaitFor([] { return false; }, AMs);
}

std::string ApiAnswer(const std::string& AVersion) {
  return "[{\"tag_name\": \"quavox-v" + AVersion + "\", \"html_url\": \"https://example.org/r/" +
         AVersion + "\"}]";
}

}  // namespace

class TSettingsPageTest : public QObject {
  Q_OBJECT

 private slots:
  void ControlsShowTheConfiguration() {
    TProgramFolder Folder(TJson{{"engine", {{"temperature", 0.7}, {"maxNewTokens", 2048}}},
                                {"synthesis", {{"speedMode", "resample"}}}});
    TFormUnderTest T(Folder);
    TSettingsPage& Page = T.Form->SettingsPage();
    QCOMPARE(Page.FEdtPort->text(), QString::number(Folder.Port()));
    QCOMPARE(Page.FEdtBind->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(Page.FEdtTemperature->text(), QStringLiteral("0.70"));
    QCOMPARE(Page.FEdtTopP->text(), QStringLiteral("0.80"));
    QCOMPARE(Page.FEdtMaxTokens->text(), QStringLiteral("2048"));
    QCOMPARE(Page.FCbSpeedMode->count(), 3);
    QCOMPARE(Page.FCbSpeedMode->currentIndex(), static_cast<int>(smLocalResample));
    QCOMPARE(Page.FCbUiLang->count(), 4);
    QCOMPARE(Page.FCbUiLang->currentIndex(), static_cast<int>(ulZh));
    QVERIFY(!Page.FChkAutoStart->isChecked());
    QVERIFY(Page.FPnlAdvanced->isHidden());
    QCOMPARE(Page.FEdtGpuLayers->placeholderText(), QStringLiteral("-1"));
  }

  void FieldsAreParsedClampedOrDefaulted_data() {
    QTest::addColumn<QString>("Edit");
    QTest::addColumn<QString>("Typed");
    QTest::addColumn<double>("Saved");
    const auto Row = [](const char* AEdit, const char* ATyped, double ASaved) {
      QTest::addRow("%s %s", AEdit, ATyped) << AEdit << ATyped << ASaved;
    };
    Row("FEdtMaxTokens", "abc", 1024);
    Row("FEdtMaxTokens", "20000", 16384);
    Row("FEdtMaxTokens", "10", 64);
    Row("FEdtMaxTokens", " 2000 ", 2000);
    Row("FEdtMaxTokens", "99999999999", 1024);
    Row("FEdtRate", "abc", 600);
    Row("FEdtRate", "-5", 0);
    Row("FEdtRate", "100000", 100000);
    Row("FEdtMaxText", "0", 1);
    Row("FEdtMaxText", "", 5000);
    Row("FEdtQueue", "5000", 4096);
    Row("FEdtTimeout", "x", 120000);
    Row("FEdtTimeout", "10", 1000);
    Row("FEdtCacheMB", "-1", 0);
    Row("FEdtCacheMB", "70000", 8192);
    Row("FEdtGpuLayers", "-7", -1);
    Row("FEdtGpuLayers", "1000", 999);
    Row("FEdtThreads", "300", 256);
    Row("FEdtTopK", "2000", 1000);
    Row("FEdtTemperature", "1.25", 1.25);
    Row("FEdtTemperature", "7", 7);
    Row("FEdtTemperature", "0,7", 0.58);
    Row("FEdtTemperature", "nan", 0.58);
    Row("FEdtTopP", "abc", 0.8);
  }
  void FieldsAreParsedClampedOrDefaulted() {
    QFETCH(QString, Edit);
    QFETCH(QString, Typed);
    QFETCH(double, Saved);
    TSettingsFixture F;
    F.Page.findChild<QLineEdit*>(Edit)->setText(Typed);
    F.Page.OnSaveSettingsClick();
    QVERIFY(F.T.Dialogs.Warnings.empty());
    const TConfigSettings s = F.Saved();
    const std::map<QString, double> Fields = {{"FEdtMaxTokens", s.Engine.MaxNewTokens},
                                              {"FEdtRate", s.RateLimitPerMinute},
                                              {"FEdtMaxText", s.MaxTextLength},
                                              {"FEdtQueue", s.QueueLimit},
                                              {"FEdtTimeout", s.RequestTimeoutMs},
                                              {"FEdtCacheMB", s.CacheBudgetMB},
                                              {"FEdtGpuLayers", s.Engine.GpuLayers},
                                              {"FEdtThreads", s.Engine.Threads},
                                              {"FEdtTopK", s.Engine.TopK},
                                              {"FEdtTemperature", s.Engine.Temperature},
                                              {"FEdtTopP", s.Engine.TopP}};
    QCOMPARE(static_cast<float>(Fields.at(Edit)), static_cast<float>(Saved));
    const QString Shown = F.Page.findChild<QLineEdit*>(Edit)->text();
    QCOMPARE(Shown.toFloat(), static_cast<float>(Saved));
    QCOMPARE(F.T.Form->StatusMessage(), QStringLiteral("设置已保存"));
  }

  void SaveCopiesTextsChecksAndTheSpeedMode() {
    TSettingsFixture F;
    F.Page.FEdtBind->setText(QStringLiteral("  0.0.0.0 "));
    F.Page.FEdtExtraArgs->setText(QStringLiteral("  --seed 7 "));
    F.Page.FChkTray->setChecked(false);
    F.Page.FChkAutoStart->setChecked(true);
    F.Page.FChkCacheEnabled->setChecked(false);
    F.Page.FChkAutoDefaultVoice->setChecked(false);
    F.Page.FCbSpeedMode->setCurrentIndex(static_cast<int>(smEngine));
    F.Page.OnSaveSettingsClick();
    const TConfigSettings s = F.Saved();
    QCOMPARE(s.BindAddress, std::string("0.0.0.0"));
    QCOMPARE(s.Engine.ExtraArgs, std::string("--seed 7"));
    QVERIFY(!s.MinimizeToTray && s.AutoStartServer && !s.CacheEnabled && !s.AutoCreateDefaultVoice);
    QCOMPARE(s.SpeedMode, smEngine);
    QVERIFY(!F.T.Form->Service().Cache().Enabled());
  }

  void InvalidPortRefusesTheSaveAndLeavesTheRunningServerAsItWas_data() {
    QTest::addColumn<QString>("Port");
    QTest::newRow("zero") << "0";
    QTest::newRow("above 65535") << "70000";
    QTest::newRow("not a number") << "17x";
  }
  void InvalidPortRefusesTheSaveAndLeavesTheRunningServerAsItWas() {
    QFETCH(QString, Port);
    TSettingsFixture F;
    const TConfigSettings Before = F.Saved();
    F.T.Form->OnStartClick();
    QVERIFY(F.T.Form->Http().Running());
    F.Page.FEdtPort->setText(Port);
    F.Page.FEdtMaxTokens->setText(QStringLiteral("4096"));
    F.Page.OnSaveSettingsClick();
    QCOMPARE(F.T.Dialogs.Warnings, std::vector<std::string>{"端口得是 1..65535 之间的数。"});
    QVERIFY(F.T.Form->Http().Running());
    httplib::Client Client("127.0.0.1", Before.Port);
    const auto Res = Client.Get("/v1/health");
    QVERIFY(Res && Res->status == 200);
    QCOMPARE(F.Saved().Engine.MaxNewTokens, Before.Engine.MaxNewTokens);
    QCOMPARE(F.T.Form->Config().Settings().Engine.MaxNewTokens, Before.Engine.MaxNewTokens);
    QVERIFY(F.T.Form->StatusMessage() != QStringLiteral("设置已保存"));
  }

  void SaveRestartsARunningServerOnTheNewPort() {
    TSettingsFixture F;
    F.T.Form->OnStartClick();
    const int NewPort = UnusedLoopbackPort();
    F.Page.FEdtPort->setText(QString::number(NewPort));
    F.Page.OnSaveSettingsClick();
    QVERIFY(F.T.Form->Http().Running());
    QCOMPARE(F.Saved().Port, NewPort);
    httplib::Client Client("127.0.0.1", NewPort);
    const auto Res = Client.Get("/v1/health");
    QVERIFY(Res && Res->status == 200);
  }

  void SaveLeavesAStoppedServerStopped() {
    TSettingsFixture F;
    F.Page.OnSaveSettingsClick();
    QVERIFY(!F.T.Form->Http().Running());
  }

  void ResetAsksThenEmptiesTheBindings() {
    TSettingsFixture F;
    F.T.Form->Config().SetAirlineVoice("CCA", "en", tgFemale, "v-1");
    F.T.Form->Config().Save();
    F.T.Form->BroadcastPage().RefreshAirlinesPage();
    F.Page.OnResetSettingsClick();
    QCOMPARE(F.T.Dialogs.Confirms,
             std::vector<std::string>{
                 "把所有设置恢复成默认值?航空公司绑定和各语言的默认音色也会被清除。"});
    QCOMPARE(F.Saved().Port, F.Folder.Port());
    QCOMPARE(F.T.Form->BroadcastPage().FLvAirlines->topLevelItemCount(), 1);

    F.T.Dialogs.ConfirmAnswers.push_back(true);
    F.Page.OnResetSettingsClick();
    TAppConfig Saved(F.Folder.Folders());
    Saved.Load();
    QVERIFY(Saved.AirlinesSnapshot().empty());
    QCOMPARE(Saved.Settings().Port, TConfigSettings{}.Port);
    QCOMPARE(F.Page.FEdtPort->text(), QString::number(TConfigSettings{}.Port));
    QCOMPARE(F.Page.FEdtTemperature->text(), QStringLiteral("0.58"));
    QCOMPARE(F.T.Form->BroadcastPage().FLvAirlines->topLevelItemCount(), 0);
    QCOMPARE(CurrentUiLang(), ulZh);
  }

  void AdvancedPanelIsRememberedButHiddenAtStart() {
    TSettingsFixture F;
    F.Page.OnToggleAdvancedClick();
    QVERIFY(!F.Page.FPnlAdvanced->isHidden());
    QCOMPARE(F.Page.FBtnAdvanced->text(), QStringLiteral("收起高级设置"));
    QVERIFY(F.Saved().ShowAdvanced);
    F.Page.OnToggleAdvancedClick();
    QVERIFY(F.Page.FPnlAdvanced->isHidden());
    QCOMPARE(F.Page.FBtnAdvanced->text(), QStringLiteral("高级设置…"));
    QVERIFY(!F.Saved().ShowAdvanced);
    F.Page.OnToggleAdvancedClick();
    F.T.Form.reset();
    F.T.Form = std::make_unique<TMainForm>([&] {
      TMainFormOptions Options;
      Options.Folders = F.Folder.Folders();
      Options.Dialogs = &F.T.Dialogs;
      Options.TrayAvailable = false;
      return Options;
    }());
    QVERIFY(F.T.Form->SettingsPage().FPnlAdvanced->isHidden());
    QVERIFY(F.T.Form->Config().Settings().ShowAdvanced);
  }

  void UpdateCheckShowsItsThreeOutcomes() {
    struct TCase {
      const char* Label;
      int ApiStatus;
      std::string ApiBody;
      int FeedStatus;
      QString Text;
      QPalette::ColorRole Role;
      std::string Link;
    };
    const std::string Releases = "https://github.com/tallyhorn/quavox/releases";
    const TCase Cases[] = {
        {"newer", 200, ApiAnswer("0.3.26250"), 404, QStringLiteral("有新版 0.3.26250,点右边去下载"),
         QPalette::Highlight, "https://example.org/r/0.3.26250"},
        {"same", 200, ApiAnswer("0.3.26218"), 404, QStringLiteral("已是最新(0.3.26218)"),
         QPalette::PlaceholderText, ""},
        {"failed", 500, "", 500, QStringLiteral("查不了:GitHub 返回 500"),
         QPalette::PlaceholderText, ""},
    };
    TReleaseServer Server;
    TSettingsFixture F;
    F.Page.SetReleaseHosts(Server.Base(), Server.Base());
    for (const TCase& Case : Cases) {
      Server.Set(Case.ApiStatus, Case.ApiBody, Case.FeedStatus, "");
      F.Page.OnCheckUpdateClick();
      QVERIFY(!F.Page.FBtnCheckUpdate->isEnabled());
      QCOMPARE(F.Page.FLblUpdate->text(), QStringLiteral("正在查询…"));
      QVERIFY2(WaitFor([&] { return F.Page.FBtnCheckUpdate->isEnabled(); }, 30000), Case.Label);
      QCOMPARE(F.Page.FLblUpdate->text(), Case.Text);
      QCOMPARE(F.Page.FLblUpdate->foregroundRole(), Case.Role);
      const std::string Link =
          Case.Link.empty() ? Server.Base() + "/tallyhorn/quavox/releases" : Case.Link;
      QCOMPARE(F.Page.ReleaseLinkUrl(), Link);
    }
  }

  // The answer stays on the page across a language switch and follows it.
  void UpdateAnswerFollowsTheLanguage() {
    TReleaseServer Server;
    TSettingsFixture F;
    F.Page.SetReleaseHosts(Server.Base(), Server.Base());
    Server.Set(200, ApiAnswer("0.3.26218"), 404, "");
    F.Page.OnCheckUpdateClick();
    QVERIFY(WaitFor([&] { return F.Page.FBtnCheckUpdate->isEnabled(); }, 30000));
    F.T.Form->OnUiLangChange(ulEn);
    QCOMPARE(F.Page.FLblUpdate->text(), QStringLiteral("Up to date (0.3.26218)"));
    F.T.Form->OnUiLangChange(ulJa);
    QCOMPARE(F.Page.FLblUpdate->text(), QStringLiteral("最新版です(0.3.26218)"));
  }

  // With the advanced settings open and a failed update check with a long reason, the page
  // still fits the default window: nothing is cut at its right edge, no choice is cut short.
  void PageFitsTheDefaultWindow_data() {
    QTest::addColumn<int>("Lang");
    QTest::newRow("Japanese") << static_cast<int>(ulJa);
    QTest::newRow("English") << static_cast<int>(ulEn);
  }
  void PageFitsTheDefaultWindow() {
    QFETCH(int, Lang);
    TSettingsFixture F;
    F.T.Form->OnUiLangChange(Lang);
    F.Page.OnToggleAdvancedClick();
    TUpdateInfo Failed;
    Failed.Error = "Could not resolve host: api.github.com (name resolution timed out after 10 s)";
    F.Page.OnUpdateChecked(Failed);
    F.T.Form->resize(811, 620);
    F.T.Form->ShowPage(TMainForm::piSettings);
    F.T.Form->show();
    QVERIFY(QTest::qWaitForWindowExposed(F.T.Form.get()));
    QTest::qWait(0);
    auto* Area = F.T.Form->findChild<QScrollArea*>(QStringLiteral("FTabSettingsArea"));
    QVERIFY(Area != nullptr);
    QVERIFY(!Area->horizontalScrollBar()->isVisible());
    const QWidget* Viewport = Area->viewport();
    for (const QWidget* Widget :
         {static_cast<QWidget*>(F.Page.FLnkGitHub), static_cast<QWidget*>(F.Page.FLblUpdate)}) {
      const int Right = Widget->mapTo(Viewport, QPoint(Widget->width(), 0)).x();
      QVERIFY2(Right <= Viewport->width(), qPrintable(Widget->objectName()));
    }
    QComboBox* Speed = F.Page.FCbSpeedMode;
    for (int i = 0; i < Speed->count(); ++i) {
      Speed->setCurrentIndex(i);
      QTest::qWait(0);
      const int Text = Speed->fontMetrics().horizontalAdvance(Speed->currentText());
      QVERIFY2(Speed->width() > Text + 20, qPrintable(Speed->currentText()));
    }
  }

  void LinkOpensTheReleasePage() {
    TSettingsFixture F;
    TUrlCatcher Catcher(QStringLiteral("https"));
    F.Page.OnGitHubLinkClick();
    QCOMPARE(Catcher.Opened, QList<QUrl>{QUrl("https://github.com/tallyhorn/quavox/releases")});
  }

  void AnswerAfterTheWindowWentIsDropped() {
    TReleaseServer Server;
    Server.Set(200, ApiAnswer("0.3.26250"), 404, "");
    Server.Hold();
    {
      TSettingsFixture F;
      F.Page.SetReleaseHosts(Server.Base(), Server.Base());
      F.Page.OnCheckUpdateClick();
    }
    TSettingsFixture Next;
    Server.Release();
    // The check logs its answer just before posting it; the posted call then comes through
    // the event loop, where the next window must not take it.
    QVERIFY(WaitFor([] { return Logged("update check via API: latest 0.3.26250"); }, 30000));
    PumpEvents(100);
    QCOMPARE(Next.Page.FLblUpdate->text(), QStringLiteral("点一下看看有没有新版"));
    QVERIFY(Next.Page.FBtnCheckUpdate->isEnabled());
  }
};

QTEST_MAIN(TSettingsPageTest)
#include "SettingsPageTest.moc"
