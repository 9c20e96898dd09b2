#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "audio/Wav.h"
#include "core/I18n.h"
#include "service/Service.h"
#include "state/Cache.h"
#include "state/Json.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

// Many request threads against one service while another thread keeps applying the
// configuration and restarting the engine: nothing may be lost, hang or be miscounted.
TEST(ServiceStress, MixedLoadWhileTheConfigurationChanges) {
  SetUiLang(ulEn);
  const TTempDir RootDir("quavox-stress");
  const std::string Root = RootDir.Path();
  TAppConfig Config(TAppFolders{Root, Root + "appdata/"});
  TConfigSettings Settings = Config.Settings();
  Settings.QueueLimit = 8;
  Settings.RequestTimeoutMs = 60000;
  Settings.MaxTextLength = 40;
  Config.SetSettings(Settings);
  std::atomic<int64_t> Successes{0}, CountedFailures{0}, UncountedFailures{0}, Calls{0};
  {
    TTtsService Service(Config);
    std::atomic<bool> Stop{false};
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::vector<std::thread> Clients;
    for (int t = 0; t < 32; ++t) {
      Clients.emplace_back([&, t] {
        std::mt19937 Rng(t);
        while (std::chrono::steady_clock::now() < Deadline) {
          TTtsRequest Req;
          const int Pick = static_cast<int>(Rng() % 10);
          Req.Text = Pick == 0 ? "   " : "line " + std::to_string(Rng() % (Pick < 5 ? 4 : 400));
          if (Pick == 1) Req.Text = std::string(60, 'x');
          Req.Language = Rng() % 2 ? "en" : "zh";
          Req.Gender = static_cast<TTtsGender>(Rng() % 3);
          Req.Speed = 0.5f + static_cast<float>(Rng() % 16) / 10.0f;
          Req.Priority = Rng() % 4 == 0 ? tpHigh : tpNormal;
          if (Pick == 2) Req.VoiceId = "v-ffffffffffff";
          ++Calls;
          try {
            const TTtsResult Result = Service.Synthesize(Req);
            EXPECT_GT(Result.Wav.size(), 44u);
            ++Successes;
          } catch (const ETtsError& E) {
            const bool Counted = E.Code() == ecQueueFull || E.Code() == ecTimeout ||
                                 E.Code() == ecEngineFailed || E.Code() == ecEngineNotConnected;
            ++(Counted ? CountedFailures : UncountedFailures);
          }
        }
      });
    }
    std::thread Operator([&] {
      int Round = 0;
      while (!Stop.load()) {
        TConfigSettings s = Config.Settings();
        s.QueueLimit = Round % 2 ? 4 : 64;
        s.CacheBudgetMB = Round % 3 == 0 ? 1 : 0;
        Config.SetSettings(s);
        Service.ApplyConfig();
        Service.RestartEngine();
        (void)Service.Stats();
        ++Round;
        std::this_thread::yield();
      }
    });
    for (auto& c : Clients)
      c.join();
    Stop = true;
    Operator.join();

    const TServiceStats Stats = Service.Stats();
    EXPECT_EQ(Successes + CountedFailures + UncountedFailures, Calls);
    EXPECT_EQ(Stats.Total, Successes + CountedFailures);
    EXPECT_EQ(Stats.Failed, CountedFailures);
    EXPECT_EQ(Stats.QueueDepth, 0);
    EXPECT_GT(Successes.load(), 0);
    Service.Cache().Flush();
  }
  // After shutdown the index and the folder agree: every indexed file exists as a whole
  // WAV, and no WAV file is left outside the index.
  const TBytes IndexBytes = ReadFileBytes(Root + "temp/index.json");
  const auto Index =
      ParseJsonObject(StripUtf8Bom(std::string(IndexBytes.begin(), IndexBytes.end())));
  ASSERT_TRUE(Index);
  std::set<std::string> Indexed, OnDisk;
  for (const auto& [Key, Entry] : Index->items()) {
    const std::string File = JsonString(&Entry, "file", "");
    Indexed.insert(File);
    TPcmBuffer Pcm;
    EXPECT_TRUE(WavToPcm(ReadFileBytes(Root + "temp/" + File), Pcm)) << File;
  }
  for (const auto& Entry : fs::directory_iterator(Root + "temp"))
    if (Entry.path().extension() == ".wav") OnDisk.insert(Entry.path().filename().string());
  EXPECT_EQ(Indexed, OnDisk);
  SetUiLang(ulAuto);
}

}  // namespace
}  // namespace quavox
