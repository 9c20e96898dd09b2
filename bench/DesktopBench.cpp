// The desktop window over a program folder of a busy installation: 1,000 voices, 2,000 airline
// bindings and 10,000 cache entries. Measures building the window, refilling the voice list,
// the one-second refresh, switching the interface language and the handling of download
// progress reports on the main thread. With --fixture DIR it only writes such a folder, for
// desktop-start.sh, which times the whole program.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <QLineEdit>
#include "app/BroadcastPage.h"
#include "app/CachePage.h"
#include "app/MainForm.h"
#include "app/ModelsPage.h"
#include "app/QtDispatcher.h"
#include "app/VoicesPage.h"
#include "audio/Wav.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "engine/Models.h"
#include "platform/Files.h"
#include "platform/Loopback.h"
#include "state/Json.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

constexpr int VoiceCount = 1000;
constexpr int CacheCount = 10000;
constexpr int AirlineCount = 500;

std::string VoiceId(int AIndex) {
  return "v-" + Sha256Hex(std::string_view(std::to_string(AIndex))).substr(0, 12);
}

// Four bindings (two languages, two genders) for each of AirlineCount made-up ICAO codes.
TJson AirlineVoices() {
  TJson Bindings = TJson::object();
  for (int i = 0; i < AirlineCount; ++i) {
    const std::string Code = {static_cast<char>('A' + i / 676),
                              static_cast<char>('A' + i / 26 % 26),
                              static_cast<char>('A' + i % 26)};
    int Slot = 0;
    for (const char* Language : {"zh", "en"})
      for (const char* Gender : {"female", "male"})
        Bindings[Code + ":" + Language + ":" + Gender] = VoiceId((i * 4 + Slot++) % VoiceCount);
  }
  return Bindings;
}

std::string VoicesJson() {
  TJson Voices = TJson::array();
  for (int i = 0; i < VoiceCount; ++i) {
    const std::string Id = VoiceId(i);
    Voices.push_back({{"id", Id},
                      {"display", "Voice " + std::to_string(i)},
                      {"kind", "cloned"},
                      {"clips",
                       {{{"file", Id + "-1.wav"},
                         {"text", "Ladies and gentlemen, welcome aboard flight " +
                                      std::to_string(1000 + i) + "."},
                         {"durationMs", 6000}}}},
                      {"language", i % 3 == 0 ? "zh" : (i % 3 == 1 ? "en" : "ja")},
                      {"gender", i % 2 == 0 ? "female" : "male"},
                      {"createdAt", "2026-08-01T10:00:00.000Z"}});
  }
  return "\xEF\xBB\xBF" + JsonDumpIndented(TJson{{"voices", Voices}});
}

void WriteCache(const std::string& ADir) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = 24000;
  Pcm.Data.assign(300, 0.1f);
  const TBytes Small = PcmToWav(Pcm);
  TJson Index = TJson::object();
  for (int i = 0; i < CacheCount; ++i) {
    const std::string Key = Sha256Hex(std::string_view("entry " + std::to_string(i)));
    WriteFileBytes(ADir + Key + ".wav", Small);
    Index[Key] = {{"file", Key + ".wav"},
                  {"voice", "v" + std::to_string(i % 40)},
                  {"text", "Flight CA" + std::to_string(1000 + i) + " is now boarding."},
                  {"language", "en"},
                  {"speed", 1.0},
                  {"sampleRate", 24000},
                  {"durationMs", 4267},
                  {"bytes", static_cast<int>(Small.size())}};
  }
  WriteFileAtomic(ADir + "index.json", "\xEF\xBB\xBF" + JsonDumpIndented(Index));
}

void WriteFixture(const std::string& ARoot) {
  TJson Config = TJson::object();
  Config["server"] = {{"port", UnusedLoopbackPort()},
                      {"bind", "127.0.0.1"},
                      {"autoStart", true},
                      {"uiLanguage", "zh"}};
  Config["airlineVoices"] = AirlineVoices();
  WriteFileAtomic(ARoot + "data/config.json", JsonDumpIndented(Config));
  WriteFileAtomic(ARoot + "data/voices.json", VoicesJson());
  WriteCache(ARoot + "temp/");
}

TMainFormOptions Options(const std::string& ARoot) {
  TMainFormOptions Result;
  Result.Folders = TAppFolders::UnderRoot(ARoot);
  Result.Folders.AppDataDir = ARoot + "appdata/";
  Result.TrayAvailable = false;
  return Result;
}

struct TFixture {
  TTempDir Dir{"quavox-desktop-bench"};
  TFixture() { WriteFixture(Dir.Path()); }
};

TFixture& Fixture() {
  static TFixture F;
  return F;
}

void BM_BuildWindow(benchmark::State& AState) {
  for (auto _ : AState) {
    TMainForm Form(Options(Fixture().Dir.Path()));
    Form.show();
    QApplication::processEvents();
    AState.PauseTiming();
    Form.close();
    AState.ResumeTiming();
  }
}
BENCHMARK(BM_BuildWindow)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_RefreshVoicesList(benchmark::State& AState) {
  TMainForm Form(Options(Fixture().Dir.Path()));
  Form.show();
  for (auto _ : AState) {
    Form.VoicesPage().RefreshVoicesList();
    QApplication::processEvents();
  }
}
BENCHMARK(BM_RefreshVoicesList)->Unit(benchmark::kMillisecond);

void BM_RefreshCachePage(benchmark::State& AState) {
  TMainForm Form(Options(Fixture().Dir.Path()));
  Form.show();
  Form.ShowPage(TMainForm::piCache);
  QApplication::processEvents();
  for (auto _ : AState) {
    Form.CachePage().RefreshCachePage();
    QApplication::processEvents();
  }
}
BENCHMARK(BM_RefreshCachePage)->Unit(benchmark::kMillisecond);

// One character more or less in the filter, with the list painted afterwards.
void BM_CacheFilterKeystroke(benchmark::State& AState) {
  TMainForm Form(Options(Fixture().Dir.Path()));
  Form.show();
  Form.ShowPage(TMainForm::piCache);
  QLineEdit* Filter = Form.CachePage().FEdtCacheFilter;
  const QString Texts[] = {QStringLiteral("ca1"), QStringLiteral("ca12")};
  int Step = 0;
  QApplication::processEvents();
  for (auto _ : AState) {
    Filter->setText(Texts[Step++ % 2]);
    QApplication::processEvents();
  }
}
BENCHMARK(BM_CacheFilterKeystroke)->Unit(benchmark::kMillisecond);

void BM_RefreshAirlinesPage(benchmark::State& AState) {
  TMainForm Form(Options(Fixture().Dir.Path()));
  Form.show();
  Form.ShowPage(TMainForm::piBroadcast);
  QApplication::processEvents();
  for (auto _ : AState) {
    Form.BroadcastPage().RefreshAirlinesPage();
    QApplication::processEvents();
  }
}
BENCHMARK(BM_RefreshAirlinesPage)->Unit(benchmark::kMillisecond);

void BM_TimerTick(benchmark::State& AState) {
  TMainForm Form(Options(Fixture().Dir.Path()));
  Form.show();
  for (auto _ : AState) {
    Form.OnTimer();
    QApplication::processEvents();
  }
}
BENCHMARK(BM_TimerTick)->Unit(benchmark::kMicrosecond);

// One language change as the settings page makes it, without saving: Japanese, English and
// Chinese in turn.
void BM_ApplyUiLanguage(benchmark::State& AState) {
  TMainForm Form(Options(Fixture().Dir.Path()));
  Form.show();
  QApplication::processEvents();
  const TUiLang Round[] = {ulJa, ulEn, ulZh};
  std::size_t Next = 0;
  for (auto _ : AState) {
    SetUiLang(Round[Next++ % std::size(Round)]);
    Form.ApplyUiLanguage();
    QApplication::processEvents();
  }
  SetUiLang(ulZh);
}
BENCHMARK(BM_ApplyUiLanguage)->Unit(benchmark::kMillisecond);

TDownloadProgress Downloading(int64_t AReceived) {
  TDownloadProgress Progress;
  Progress.Stage = dsDownloading;
  Progress.FileName = DefaultModelVariant().FileName;
  Progress.Total = DefaultModelVariant().SizeBytes;
  Progress.Received = AReceived;
  Progress.BytesPerSec = 23.6 * 1048576;
  return Progress;
}

// One progress report of a running download as the window gets it: taken from the main
// thread's queue, shown in the bar and the text, and painted.
void BM_DownloadProgress(benchmark::State& AState) {
  TMainForm Form(Options(Fixture().Dir.Path()));
  Form.show();
  Form.ShowPage(TMainForm::piModels);
  QApplication::processEvents();
  TQtDispatcher Dispatcher;
  int64_t Received = 0;
  for (auto _ : AState) {
    Received += 1048576;
    const TDownloadProgress Progress = Downloading(Received);
    AState.PauseTiming();
    Dispatcher.Post([&Form, Progress] { Form.ModelsPage().OnDownloadProgress(Progress); });
    AState.ResumeTiming();
    QApplication::processEvents();
  }
}
BENCHMARK(BM_DownloadProgress)->Unit(benchmark::kMicrosecond);

// The report that ends a file: the model page and the compute combo are refilled.
void BM_DownloadEnded(benchmark::State& AState) {
  TMainForm Form(Options(Fixture().Dir.Path()));
  Form.show();
  Form.ShowPage(TMainForm::piModels);
  QApplication::processEvents();
  TDownloadProgress Done = Downloading(DefaultModelVariant().SizeBytes);
  Done.Stage = dsDone;
  for (auto _ : AState) {
    Form.ModelsPage().OnDownloadProgress(Done);
    QApplication::processEvents();
  }
}
BENCHMARK(BM_DownloadEnded)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quavox

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--fixture") {
    const std::string Root = quavox::IncludeTrailingSlash(argv[2]);
    quavox::WriteFixture(Root);
    return 0;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication App(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
