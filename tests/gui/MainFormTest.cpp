// The main window over the real service: construction with either engine, the service page,
// the status bar, closing to the tray and leaving, the log views' limits.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include "GuiSupport.h"
#include "app/BroadcastPage.h"
#include "app/CacheListModel.h"
#include "app/CachePage.h"
#include "app/LogPage.h"
#include "app/ModelsPage.h"
#include "app/ServicePage.h"
#include "app/VoicesPage.h"
#include "audio/Wav.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "http/Http.h"
#include "service/Service.h"
#include "state/Voices.h"

using namespace quavox;
using namespace quavox::test;

namespace {

// The usage text after the address lines, exactly as a client developer copies it.
const QStringList UsageAfterAddresses = {
    "",
    "# 合成一句话,直接拿到 WAV 内存流",
    "curl -X POST %1/v1/tts \\",
    "  -H \"Content-Type: application/json\" \\",
    "  -d \"{\\\"text\\\":\\\"Cleared for takeoff\\\",\\\"language\\\":\\\"en\\\",\\\"gender\\\":"
    "\\\"male\\\",\\\"speed\\\":1.0}\" \\",
    "  --output out.wav",
    "",
    "# 快速验证(GET,参数走 query)",
    "curl \"%1/v1/tts?text=hello&language=en&gender=female&speed=1.1\" -o out.wav",
    "",
    "# 给 Tallyhorn-Server 的 BASS:响应体就是完整 WAV,不用落盘",
    "#   BASS_StreamCreateFile(TRUE, wav.data(), 0, wav.size(), flags);",
    "# 每个路径的请求和回答写在 README 的「HTTP API」一节",
    "",
    "# 不校验任何身份:请求到了就有服务",
    "",
    "# 其它路径",
    "  GET    /v1/health      健康检查",
    "  GET    /v1/selftest    连通自检 —— 在客户端那台机器上开这个地址就知道通没通",
    "  GET    /v1/voices      音色列表",
    "  POST   /v1/voices/clone  上传参考音频克隆",
    "  GET    /v1/defaults    语言×性别 → 音色",
    "  GET    /v1/stats       统计",
    "  DELETE /v1/cache       清缓存",
    "",
    "# 提前把整套广播词条烤进缓存(只烤不回音频,立刻返回)",
    "curl -X POST %1/v1/prewarm \\",
    "  -H \"Content-Type: application/json\" \\",
    "  -d \"{\\\"airline\\\":\\\"ANA\\\",\\\"language\\\":\\\"ja\\\",\\\"gender\\\":\\\"female\\\","
    "\\\"items\\\":[{\\\"text\\\":\\\"...\\\"},{\\\"text\\\":\\\"...\\\"}]}\"",
    "#   烤完没有?看 /v1/stats 里的 prewarm_pending,到 0 就是全好了",
};

template <typename T>
T* Child(TMainForm& AForm, const char* AName) {
  T* Widget = AForm.findChild<T*>(QLatin1String(AName));
  if (Widget == nullptr) qFatal("no control named %s", AName);
  return Widget;
}

QString StateText(TMainForm& AForm) {
  AForm.OnTimer();
  return Child<QLabel>(AForm, "FLblState")->text();
}

// Holds a port on 127.0.0.1 so the server cannot listen there.
class TPortTaker {
 public:
  explicit TPortTaker(int APort) : FSock(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Addr.sin_port = htons(static_cast<uint16_t>(APort));
    Bound = ::bind(FSock, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) == 0 &&
            ::listen(FSock, 1) == 0;
  }
  ~TPortTaker() { ::close(FSock); }
  bool Bound = false;

 private:
  int FSock;
};

}  // namespace

class TMainFormTest : public QObject {
  Q_OBJECT

 private slots:
  void StartsOnTheVoicesPageWithThePlaceholder() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    QCOMPARE(Child<QTabWidget>(*T.Form, "FPages")->currentIndex(),
             static_cast<int>(TMainForm::piVoices));
    QCOMPARE(Child<QTabWidget>(*T.Form, "FPages")->count(), 9);
    QCOMPARE(T.Form->StatusText(), QStringLiteral("正在启动…"));
    QVERIFY(MainFormAlive());
    T.Form->OnTimer();
    QVERIFY(T.Form->StatusText().endsWith(QStringLiteral(" · ⚠ 占位波形(还没放模型)")));
    QVERIFY(T.Form->StatusText().startsWith(QStringLiteral("队列 0 · 请求 0(失败 0) · 缓存 0 条")));
    QVERIFY(!T.Form->StatusText().contains(QStringLiteral("预热还剩")));
    QCOMPARE(StateText(*T.Form), QStringLiteral("状态:已停止"));
    QVERIFY(!Child<QPushButton>(*T.Form, "FBtnUnloadModel")->isEnabled());
    T.Form.reset();
    QVERIFY(!MainFormAlive());
  }

  // The engine lines follow the engine by themselves (the timer) and the language switch.
  void RunsAndStopsTheBundledEngine() {
    TProgramFolder Folder;
    if (!Folder.InstallBundledEngine()) QSKIP("the bundled engine (engine/s2) is not built");
    TFormUnderTest T(Folder);
    const auto EngineLine = [&] { return Child<QLabel>(*T.Form, "FLblEngine")->text(); };
    const auto ModelState = [&] { return T.Form->ModelsPage().ModelStateText(); };
    QVERIFY(WaitFor([&] { return EngineLine().contains(QStringLiteral("加载用了")); }, 60000));
    QVERIFY(EngineLine().startsWith(QStringLiteral("引擎:")));
    QVERIFY(ModelState().contains(QStringLiteral("加载用了")));
    QVERIFY(!T.Form->StatusText().contains(QStringLiteral("占位波形")));
    T.Form->OnUiLangChange(ulEn);
    QVERIFY(EngineLine().contains(QStringLiteral("loaded in")));
    QVERIFY(ModelState().contains(QStringLiteral("loaded in")));
    T.Form->Service().UnloadModel();
    T.Form->OnTimer();
    QVERIFY(EngineLine().contains(QStringLiteral("unloaded")));
    T.Form.reset();
  }

  void UsageTextNamesTheAddresses_data() {
    QTest::addColumn<QString>("Bind");
    QTest::newRow("all interfaces") << "0.0.0.0";
    QTest::newRow("empty") << "";
    QTest::newRow("one address") << "127.0.0.1";
  }
  void UsageTextNamesTheAddresses() {
    QFETCH(QString, Bind);
    TProgramFolder Folder(TJson{{"server", {{"bind", Bind.toStdString()}}}});
    TFormUnderTest T(Folder);
    const QString Endpoint = QString::fromStdString(T.Form->EndpointUrl());
    QStringList Expected;
    if (Bind == "127.0.0.1") {
      Expected << "# 只听 127.0.0.1";
      QCOMPARE(Endpoint, QStringLiteral("http://127.0.0.1:%1").arg(Folder.Port()));
    } else {
      Expected << "# 这台机器听所有网卡。别的电脑可以用下面任意一个地址连:";
      for (const std::string& Url : ReachableUrls(T.Form->Config().Settings()))
        Expected << "#   " + QString::fromStdString(Url);
      QVERIFY(Expected.size() >= 2);
      QCOMPARE("#   " + Endpoint, Expected[1]);
    }
    for (const QString& Line : UsageAfterAddresses)
      Expected << QString(Line).replace("%1", Endpoint);
    QCOMPARE(Child<QPlainTextEdit>(*T.Form, "FMemoUsage")->toPlainText(), Expected.join('\n'));
  }

  void StatusBarShowsPendingPrewarm() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    std::vector<TTtsRequest> Items;
    for (int i = 0; i < 400; ++i)
      Items.push_back(TTtsRequest::Make(
          "Flight " + std::to_string(i) + " to Tokyo is now boarding at gate twenty two.", "en",
          tgFemale, 1.0f));
    T.Form->Service().Prewarm(Items);
    T.Form->OnTimer();
    QVERIFY(T.Form->StatusText().contains(
        QRegularExpression(QStringLiteral(" · 预热还剩 \\d+ 条 · "))));
    QVERIFY(WaitFor([&] { return T.Form->Service().PrewarmPending() == 0; }, 120000));
    T.Form->OnTimer();
    QVERIFY(!T.Form->StatusText().contains(QStringLiteral("预热还剩")));
  }

  void CloseWithoutMinimizeToTrayEndsAtOnce() {
    TProgramFolder Folder(TJson{{"server", {{"minimizeToTray", false}}}});
    TFormUnderTest T(Folder, true);
    T.Form->show();
    T.Form->OnStartClick();
    QSignalSpy Closed(T.Form.get(), &TMainForm::Closed);
    QVERIFY(T.Form->close());
    QCOMPARE(Closed.count(), 1);
    QVERIFY(T.Dialogs.Confirms.empty());
  }

  void CloseWithMinimizeToTrayHidesToTheTray() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder, true);
    T.Form->show();
    T.Form->OnStartClick();
    QSignalSpy Closed(T.Form.get(), &TMainForm::Closed);
    QVERIFY(!T.Form->close());
    QCOMPARE(Closed.count(), 0);
    QVERIFY(!T.Form->isVisible());
    QVERIFY(T.Form->Tray()->isVisible());
    QCOMPARE(T.Form->LastBalloon(), QStringLiteral("服务还在后台跑。双击托盘图标可以叫回来。"));
    QVERIFY(T.Form->Http().Running());

    T.Form->OnTrayMenuPopup();
    const QList<QAction*> Items = T.Form->TrayMenu()->actions();
    QCOMPARE(Items.size(), 6);
    QVERIFY(Items[0]->isEnabled());
    QVERIFY(!Items[2]->isEnabled());
    QVERIFY(Items[3]->isEnabled());

    T.Form->OnTrayClick();
    QVERIFY(T.Form->isVisible());
    QVERIFY(!T.Form->Tray()->isVisible());
    T.Form->OnTrayMenuPopup();
    QVERIFY(!Items[0]->isEnabled());
  }

  // Running is green and stopped red, in the window and the tray; a server that stops
  // without the operator asking is reported over the tray, a stop the operator asked for
  // is not.
  void StateShowsInColourAndUnexpectedStopsAreReported() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder, true);
    TMainForm& Form = *T.Form;
    auto* State = Child<QLabel>(Form, "FLblState");
    const auto Shown = [&] {
      Form.OnTimer();
      return std::pair{State->styleSheet(), Form.Tray()->toolTip()};
    };
    QCOMPARE(Shown(), std::pair(QStringLiteral("color: #c62828"),
                                QStringLiteral("Quavox 语音服务\n状态:已停止")));
    const QImage Stopped = Form.Tray()->icon().pixmap(64).toImage();
    Form.OnStartClick();
    QCOMPARE(Shown().first, QStringLiteral("color: #1a7f37"));
    QVERIFY(Shown().second.endsWith(QStringLiteral("状态:运行中 —— ") +
                                    QString::fromStdString(Form.EndpointUrl())));
    QVERIFY(Form.Tray()->icon().pixmap(64).toImage() != Stopped);

    Form.show();
    QVERIFY(!Form.close());
    Form.Http().Stop();
    QCOMPARE(Shown().first, QStringLiteral("color: #c62828"));
    QCOMPARE(Form.LastBalloon(), QStringLiteral("服务意外停了,客户端现在连不上。"));

    Form.OnTrayClick();
    Form.OnStartClick();
    Form.OnStopClick();
    Form.OnTimer();
    QVERIFY(Form.StatusMessage().isEmpty());
  }

  // A confirmation outlives the once-a-second refresh and goes after its time.
  void ConfirmationStaysBesideTheStatisticsForAWhile() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder, false,
                     [](TMainFormOptions& AOptions) { AOptions.StatusMessageMs = 200; });
    T.Form->ShowStatus("设置已保存");
    T.Form->OnTimer();
    QCOMPARE(T.Form->StatusMessage(), QStringLiteral("设置已保存"));
    QVERIFY(T.Form->StatusText().startsWith(QStringLiteral("队列 0")));
    QVERIFY(WaitFor([&] { return T.Form->StatusMessage().isEmpty(); }, 5000));
  }

  // At the smallest window, with a confirmation beside it, the statistics line ends in "…"
  // inside the window and its tooltip holds it whole.
  void StatisticsLineFitsTheSmallestWindow_data() { AddInterfaceLanguageRows(); }
  void StatisticsLineFitsTheSmallestWindow() {
    QFETCH(int, Lang);
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    T.Form->OnUiLangChange(Lang);
    T.Form->resize(T.Form->minimumSize());
    T.Form->show();
    QVERIFY(QTest::qWaitForWindowExposed(T.Form.get()));
    T.Form->ShowStatus(Translate("设置已保存"));
    T.Form->OnTimer();
    QTest::qWait(0);
    const auto* Line = Child<QLabel>(*T.Form, "FStatusText");
    const QString Whole = T.Form->StatusText();
    QCOMPARE(Line->toolTip(), Whole);
    QVERIFY2(Line->text().endsWith(QChar(0x2026)), qPrintable(Line->text()));
    QVERIFY(Whole.startsWith(Line->text().chopped(1)));
    QVERIFY(Line->fontMetrics().horizontalAdvance(Line->text()) <= Line->contentsRect().width());
    QVERIFY(Line->mapTo(T.Form.get(), QPoint(Line->width(), 0)).x() <= T.Form->width());

    T.Form->resize(4000, T.Form->height());
    QTest::qWait(0);
    QCOMPARE(Line->text(), Whole);
  }

  void CloseWithoutATrayOnlyMinimizes() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder, false);
    T.Form->show();
    QVERIFY(!T.Form->close());
    QVERIFY(T.Form->isVisible());
    QVERIFY(T.Form->isMinimized());
    QVERIFY(!T.Form->Tray()->isVisible());
    T.Form->ShowFromOutside();
    QVERIFY(!T.Form->isMinimized());
  }

  void ExitAsksOnlyWhileTheServerRuns() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder, true);
    T.Form->show();
    T.Form->OnStartClick();
    QSignalSpy Closed(T.Form.get(), &TMainForm::Closed);
    T.Dialogs.ConfirmAnswers = {false};
    T.Form->OnExitClick();
    QCOMPARE(T.Dialogs.Confirms, std::vector<std::string>{"服务还在跑,确定退出?"});
    QCOMPARE(Closed.count(), 0);
    QVERIFY(T.Form->isVisible());

    T.Form->OnStopClick();
    T.Form->OnExitClick();
    QCOMPARE(T.Dialogs.Confirms.size(), std::size_t{1});
    QCOMPARE(Closed.count(), 1);
    QVERIFY(!T.Form->isVisible());
  }

  void ExitConfirmedWhileRunningCloses() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder, true);
    T.Form->show();
    T.Form->OnStartClick();
    QSignalSpy Closed(T.Form.get(), &TMainForm::Closed);
    T.Dialogs.ConfirmAnswers = {true};
    T.Form->OnExitClick();
    QCOMPARE(Closed.count(), 1);
  }

  void StartAndStopShowTheState() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    T.Form->OnStartClick();
    QVERIFY(T.Dialogs.Warnings.empty());
    QCOMPARE(StateText(*T.Form),
             QStringLiteral("状态:运行中 —— http://127.0.0.1:%1").arg(Folder.Port()));
    QVERIFY(!Child<QPushButton>(*T.Form, "FBtnStart")->isEnabled());
    QVERIFY(Child<QPushButton>(*T.Form, "FBtnStop")->isEnabled());
    T.Form->OnStopClick();
    QCOMPARE(StateText(*T.Form), QStringLiteral("状态:已停止"));
    QVERIFY(Child<QPushButton>(*T.Form, "FBtnStart")->isEnabled());
  }

  void StartOnATakenPortWarns() {
    TProgramFolder Folder;
    TPortTaker Taker(Folder.Port());
    QVERIFY(Taker.Bound);
    TFormUnderTest T(Folder);
    T.Form->OnStartClick();
    QCOMPARE(T.Dialogs.Warnings.size(), std::size_t{1});
    QVERIFY(
        QString::fromStdString(T.Dialogs.Warnings[0]).startsWith(QStringLiteral("服务起不来:")));
    QCOMPARE(StateText(*T.Form), QStringLiteral("状态:已停止"));
  }

  void AutoStartStartsTheServer() {
    TProgramFolder Folder(TJson{{"server", {{"autoStart", true}}}});
    TFormUnderTest T(Folder);
    QVERIFY(T.Form->Http().Running());
  }

  void LogViewsClearAfterTheirLimits() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    auto* Memo = Child<QPlainTextEdit>(*T.Form, "FMemoLog");
    auto* Requests = Child<QTreeWidget>(*T.Form, "FLvRequests");
    QVERIFY(WaitFor([&] { return Memo->toPlainText().contains("started; data folder"); }, 5000));
    for (int i = 0; i < TLogPage::MaxLogLines + 5; ++i)
      T.Form->OnLogEntry(
          {std::chrono::system_clock::now(), llInfo, "app", "line " + std::to_string(i)});
    QVERIFY(Memo->document()->blockCount() <= TLogPage::MaxLogLines + 1);
    QVERIFY(Memo->toPlainText().endsWith("line 1004"));
    // A long line does not scroll the view away from the times at the left.
    T.Form->show();
    T.Form->ShowPage(TMainForm::piLog);
    T.Form->OnLogEntry({std::chrono::system_clock::now(), llInfo, "app", std::string(3000, 'x')});
    QCoreApplication::processEvents();
    QVERIFY(Memo->horizontalScrollBar()->maximum() > 0);
    QCOMPARE(Memo->horizontalScrollBar()->value(), 0);
    TRequestLog Record;
    Record.Peer = "127.0.0.1";
    Record.Language = "en";
    Record.Voice = "v-1";
    Record.Status = 200;
    Record.ElapsedMs = 12;
    Record.AudioMs = 2345;
    Record.CacheHit = true;
    for (int i = 0; i < TLogPage::MaxRequestRows + 3; ++i)
      T.Form->OnRequestLogged(Record);
    QVERIFY(Requests->topLevelItemCount() <= TLogPage::MaxRequestRows + 1);
    const QTreeWidgetItem* Row = Requests->topLevelItem(Requests->topLevelItemCount() - 1);
    QCOMPARE(Row->text(4), QStringLiteral("200"));
    QCOMPARE(Row->text(5), QStringLiteral("12 ms"));
    QCOMPARE(Row->text(6), QStringLiteral("2.3 s"));
    QCOMPARE(Row->text(7), QStringLiteral("命中"));
    T.Form->OnUiLangChange(ulEn);
    QCOMPARE(Row->text(7), QStringLiteral("Hit"));
  }

  void RequestsOfTheServerReachTheLogPage() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    T.Form->OnStartClick();
    httplib::Client Client("127.0.0.1", Folder.Port());
    const auto Res = Client.Get("/v1/tts?text=Boarding+now&language=en");
    QVERIFY(Res && Res->status == 200);
    auto* Requests = Child<QTreeWidget>(*T.Form, "FLvRequests");
    QVERIFY(WaitFor([&] { return Requests->topLevelItemCount() == 1; }, 10000));
    QCOMPARE(Requests->topLevelItem(0)->text(1), QStringLiteral("127.0.0.1"));
  }

  // The pages follow changes the window did not make (the HTTP API, the service itself) at
  // the next tick, keeping what the operator selected and typed.
  void PagesFollowChangesMadeElsewhere() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    TMainForm& Form = *T.Form;
    const auto Clone = [&](const std::string& AName) {
      TVoiceCloneSpec Recording;
      Recording.Display = AName;
      Recording.Language = "en";
      Recording.Gender = tgFemale;
      Recording.Clips.push_back(
          {ReadFileBytes(WriteToneWav(Folder.Root(), AName + ".wav", 3000)), "A test clip."});
      return Form.Service().CloneVoice(Recording);
    };
    const TVoiceInfo First = Clone("First");
    Form.OnTimer();
    QTreeWidget* Voices = Form.VoicesPage().FLvVoices;
    QCOMPARE(Voices->topLevelItemCount(), 1);
    Voices->setCurrentItem(Voices->topLevelItem(0));
    Form.BroadcastPage().FCbAirline->setEditText(QStringLiteral("JA"));

    Form.OnStartClick();
    httplib::Client Client("127.0.0.1", Folder.Port());
    const auto Bound = Client.Put(
        "/v1/airlines",
        R"({"airline":"ANA","language":"en","gender":"female","voice":")" + First.Id + R"("})",
        "application/json");
    QVERIFY(Bound && Bound->status == 200);
    const auto Spoken =
        Client.Get("/v1/tts?text=Boarding+now&language=en&gender=female&airline=ANA");
    QVERIFY(Spoken && Spoken->status == 200);
    Clone("Second");
    Form.OnTimer();

    QCOMPARE(Voices->topLevelItemCount(), Form.Service().VoiceCount());
    QCOMPARE(Voices->topLevelItemCount(), 2);
    QCOMPARE(Form.VoicesPage().SelectedVoiceId(), First.Id);
    QTreeWidget* Bindings = Form.BroadcastPage().FLvAirlines;
    QCOMPARE(Bindings->topLevelItemCount(), 1);
    QVERIFY(Bindings->topLevelItem(0)->data(0, Qt::UserRole).toString().startsWith("ANA"));
    QCOMPARE(Form.BroadcastPage().FCbAirline->currentText(), QStringLiteral("JA"));
    const int Cached = Form.Service().Stats().CacheCount;
    QCOMPARE(Cached, 1);
    // The cache list, filled when its page is shown, is as current as the others.
    Form.ShowPage(TMainForm::piCache);
    QCOMPARE(Form.CachePage().CacheModel().rowCount(), Cached);
    QVERIFY(Form.StatusText().contains(QStringLiteral("缓存 1 条")));

    TCachePage& Cache = Form.CachePage();
    const std::string Selected = Cache.CacheModel().KeyAt(0);
    Cache.FLvCache->setCurrentIndex(Cache.CacheModel().index(0, 0));
    QVERIFY(Client.Get("/v1/tts?text=Gate+closed&language=en&gender=female&airline=ANA"));
    Form.OnTimer();
    QCOMPARE(Cache.CacheModel().rowCount(), 2);
    QCOMPARE(Cache.SelectedKeys(), std::vector<std::string>{Selected});

    // Voices are named as the operator named them; the id is in the tooltip.
    const QModelIndex Voice = Cache.CacheModel().index(0, TCacheListModel::ccVoice);
    QCOMPARE(Voice.data().toString(), QStringLiteral("First"));
    QCOMPARE(Voice.data(Qt::ToolTipRole).toString(), QString::fromStdString(First.Id));
    auto* Requests = Child<QTreeWidget>(Form, "FLvRequests");
    const auto Named = [&] {
      for (int i = 0; i < Requests->topLevelItemCount(); ++i)
        if (Requests->topLevelItem(i)->text(3) == QStringLiteral("First"))
          return Requests->topLevelItem(i)->toolTip(3) == QString::fromStdString(First.Id);
      return false;
    };
    QVERIFY(WaitFor(Named, 10000));
  }
};

QTEST_MAIN(TMainFormTest)
#include "MainFormTest.moc"
