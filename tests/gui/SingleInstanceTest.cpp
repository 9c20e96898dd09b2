// Two real quavox processes of one user: the second start only asks the first to show its
// window and ends; a socket left behind by a killed first start does not block the next.
// Every process gets a private temporary folder, so its socket never meets a real user's.
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>

#include "GuiSupport.h"

using namespace quavox;
using namespace quavox::test;

namespace {

constexpr int StartLimitMs = 60000;
constexpr int SecondStartLimitMs = 1000;
const QString Started = QStringLiteral("started; data folder");
const QString Asked = QStringLiteral("a second start asked for the window");

class TQuavox {
 public:
  TQuavox(const QString& ATmp, const std::string& ARoot) {
    QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
    Env.insert("QT_QPA_PLATFORM", "offscreen");
    Env.insert("TMPDIR", ATmp);
    Env.insert("XDG_DATA_HOME", ATmp + "/xdg");
    FProcess.setProcessEnvironment(Env);
    FProcess.start(QStringLiteral(QUAVOX_BIN_DIR "/quavox"),
                   {QStringLiteral("--root"), QString::fromStdString(ARoot)});
  }
  ~TQuavox() {
    if (FProcess.state() != QProcess::NotRunning) {
      FProcess.terminate();
      if (!FProcess.waitForFinished(10000)) FProcess.kill();
      FProcess.waitForFinished(10000);
    }
  }

  bool SaysSoon(const QString& AText, int ATimeoutMs) {
    return WaitFor(
               [&] {
                 FErr += QString::fromUtf8(FProcess.readAllStandardError());
                 return FErr.contains(AText) || FProcess.state() == QProcess::NotRunning;
               },
               ATimeoutMs) &&
           FErr.contains(AText);
  }
  QProcess& Process() { return FProcess; }

 private:
  QProcess FProcess;
  QString FErr;
};

// Runs a second start and returns its exit code; -1 when it did not end in time.
int SecondStart(const QString& ATmp, const std::string& ARoot, qint64& AElapsedMs) {
  TQuavox Second(ATmp, ARoot);
  QElapsedTimer Clock;
  Clock.start();
  if (!Second.Process().waitForFinished(StartLimitMs)) return -1;
  AElapsedMs = Clock.elapsed();
  return Second.Process().exitStatus() == QProcess::NormalExit ? Second.Process().exitCode() : -1;
}

}  // namespace

class TSingleInstanceTest : public QObject {
  Q_OBJECT

 private slots:
  void SecondStartShowsTheFirstWindowAndEnds() {
    QTemporaryDir Tmp;
    TProgramFolder First;
    TQuavox Running(Tmp.path(), First.Root());
    QVERIFY(Running.SaysSoon(Started, StartLimitMs));

    const QTemporaryDir Untouched;
    const std::string SecondRoot = Untouched.path().toStdString() + "/second";
    qint64 Elapsed = 0;
    QCOMPARE(SecondStart(Tmp.path(), SecondRoot, Elapsed), 0);
    QVERIFY2(Elapsed < SecondStartLimitMs, qPrintable(QString::number(Elapsed)));
    QVERIFY(!std::filesystem::exists(SecondRoot));
    QVERIFY(Running.SaysSoon(Asked, 10000));
    QCOMPARE(Running.Process().state(), QProcess::Running);

    // A stop signal closes the window for good and the program ends normally.
    Running.Process().terminate();
    QVERIFY(Running.Process().waitForFinished(StartLimitMs));
    QCOMPARE(Running.Process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(Running.Process().exitCode(), 0);
  }

  // Two starts at the same moment: one runs the window, the other ends at once.
  void TwoSimultaneousStartsLeaveOneWindow() {
    QTemporaryDir Tmp;
    TProgramFolder Folder;
    TQuavox A(Tmp.path(), Folder.Root());
    TQuavox B(Tmp.path(), Folder.Root());
    const auto Ended = [](TQuavox& AStart) {
      return AStart.Process().state() == QProcess::NotRunning;
    };
    QVERIFY(WaitFor([&] { return Ended(A) || Ended(B); }, StartLimitMs));
    TQuavox& Loser = Ended(A) ? A : B;
    TQuavox& Winner = Ended(A) ? B : A;
    QCOMPARE(Loser.Process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(Loser.Process().exitCode(), 0);
    QVERIFY(Winner.SaysSoon(Started, StartLimitMs));
    QCOMPARE(Winner.Process().state(), QProcess::Running);
  }

  void StaleSocketOfAKilledStartDoesNotBlock() {
    QTemporaryDir Tmp;
    TProgramFolder Folder;
    {
      TQuavox Crashed(Tmp.path(), Folder.Root());
      QVERIFY(Crashed.SaysSoon(Started, StartLimitMs));
      Crashed.Process().kill();
      QVERIFY(Crashed.Process().waitForFinished(10000));
    }
    TQuavox Next(Tmp.path(), Folder.Root());
    QVERIFY(Next.SaysSoon(Started, StartLimitMs));
    qint64 Elapsed = 0;
    QCOMPARE(SecondStart(Tmp.path(), Folder.Root(), Elapsed), 0);
    QVERIFY(Next.SaysSoon(Asked, 10000));
  }
};

QTEST_MAIN(TSingleInstanceTest)
#include "SingleInstanceTest.moc"
