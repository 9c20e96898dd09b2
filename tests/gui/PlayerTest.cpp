// Playback through a real sound server: a private PulseAudio with a null sink, started by
// the test in its own folder. The player's notion of "playing" follows a fake clock.
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "GuiSupport.h"
#include "app/Player.h"
#include "audio/Wav.h"

using namespace quavox;
using namespace quavox::test;

namespace {

// The number of sounds the server is playing now.
int SinkInputs(const QString& AServer) {
  QProcess Pactl;
  QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
  Env.insert("PULSE_SERVER", AServer);
  Pactl.setProcessEnvironment(Env);
  Pactl.start("pactl", {"list", "short", "sink-inputs"});
  if (!Pactl.waitForFinished(5000) || Pactl.exitStatus() != QProcess::NormalExit ||
      Pactl.exitCode() != 0)
    return -1;
  return static_cast<int>(Pactl.readAllStandardOutput().count('\n'));
}

}  // namespace

class TPlayerTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    const QString Pulse = QStandardPaths::findExecutable("pulseaudio");
    if (Pulse.isEmpty() || QStandardPaths::findExecutable("pactl").isEmpty())
      QSKIP("pulseaudio is not installed: playback through a real output is not tested");
    QVERIFY(FDir.isValid());
    FServer = "unix:" + FDir.path() + "/native";
    QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
    Env.insert("HOME", FDir.path());
    Env.insert("XDG_RUNTIME_DIR", FDir.path());
    FPulse.setProcessEnvironment(Env);
    FPulse.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FPulse.start(
        Pulse,
        {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=false", "--disable-shm=yes",
         "--load=module-native-protocol-unix socket=" + FDir.path() + "/native auth-anonymous=1",
         "--load=module-null-sink sink_name=quavox_test"});
    if (!FPulse.waitForStarted(5000) || !WaitFor([&] { return SinkInputs(FServer) == 0; }, 10000))
      QSKIP("the private PulseAudio server did not start");
    qputenv("PULSE_SERVER", FServer.toUtf8());
    TPcmBuffer Pcm;
    Pcm.SampleRate = 22050;
    Pcm.Data.assign(22050 * 3, 0.1f);
    FWav = PcmToWav(Pcm);
  }

  void cleanupTestCase() {
    if (FPulse.state() != QProcess::NotRunning) {
      FPulse.kill();
      FPulse.waitForFinished(5000);
    }
  }

  void PlayingFollowsTheClock() {
    TWavPlayer Player([this] { return FNow; });
    QVERIFY(!Player.Playing());
    QVERIFY(Player.Play(FWav, 1000));
    QCOMPARE(Player.DurationMs(), 1000);
    QVERIFY(Player.Playing());
    QVERIFY(WaitFor([&] { return SinkInputs(FServer) == 1; }, 5000));
    FNow += 999;
    QVERIFY(Player.Playing());
    FNow += 1;
    QVERIFY(!Player.Playing());
    Player.Stop();
    QVERIFY(WaitFor([&] { return SinkInputs(FServer) == 0; }, 5000));
  }

  void EmptyBytesLeaveThePlayingSoundAlone() {
    TWavPlayer Player([this] { return FNow; });
    QVERIFY(Player.Play(FWav, 3000));
    QVERIFY(!Player.Play({}, 100));
    QVERIFY(Player.Playing());
    QCOMPARE(Player.DurationMs(), 3000);
    QVERIFY(WaitFor([&] { return SinkInputs(FServer) == 1; }, 5000));
  }

  void NegativeDurationPlaysButIsNotPlaying() {
    TWavPlayer Player([this] { return FNow; });
    QVERIFY(Player.Play(FWav, -5));
    QVERIFY(!Player.Playing());
  }

  void BytesThatAreNotAWavLeaveThePlayerIdle() {
    TWavPlayer Player([this] { return FNow; });
    QVERIFY(Player.Play(FWav, 3000));
    const TBytes Junk = {'R', 'I', 'F', 'F', 1, 2, 3, 4, 'W', 'A', 'V', 'E', 0, 0};
    QVERIFY(!Player.Play(Junk, 3000));
    QVERIFY(!Player.Playing());
    QVERIFY(WaitFor([&] { return SinkInputs(FServer) == 0; }, 5000));
  }

  void ASecondSoundReplacesTheFirst() {
    TWavPlayer Player([this] { return FNow; });
    QVERIFY(Player.Play(FWav, 3000));
    QVERIFY(WaitFor([&] { return SinkInputs(FServer) == 1; }, 5000));
    QVERIFY(Player.Play(FWav, 3000));
    QVERIFY(WaitFor([&] { return SinkInputs(FServer) == 1; }, 5000));
    QTest::qWait(200);
    QCOMPARE(SinkInputs(FServer), 1);
  }

 private:
  QTemporaryDir FDir;
  QString FServer;
  QProcess FPulse;
  TBytes FWav;
  uint64_t FNow = 5000;
};

QTEST_MAIN(TPlayerTest)
#include "PlayerTest.moc"
