#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "audio/Wav.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "service/Service.h"
#include "state/Cache.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

// A service over an empty program folder: no inference engine is installed there, so the
// placeholder speaks, which keeps these pipeline tests fast and deterministic.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLang(ulZh);
    Config = std::make_unique<TAppConfig>(TAppFolders{Root, Root + "appdata/"});
  }
  void TearDown() override {
    Service.reset();
    Config.reset();
    SetUiLang(ulAuto);
  }
  void Start(const std::function<void(TConfigSettings&)>& AChange = {}) {
    TConfigSettings s = Config->Settings();
    if (AChange) AChange(s);
    Config->SetSettings(s);
    Service = std::make_unique<TTtsService>(*Config);
  }
  TTtsResult Say(const std::string& AText, float ASpeed = 1.0f, const std::string& ALang = "en",
                 TTtsGender AGender = tgFemale) {
    return Service->Synthesize(TTtsRequest::Make(AText, ALang, AGender, ASpeed));
  }
  static TTtsErrorCode CodeOf(const std::function<void()>& ACall, std::string* AMessage = nullptr) {
    try {
      ACall();
    } catch (const ETtsError& E) {
      if (AMessage) *AMessage = E.what();
      return E.Code();
    }
    return ecNone;
  }

  const TTempDir RootDir{"quavox-service"};
  const std::string Root = RootDir.Path();
  std::unique_ptr<TAppConfig> Config;
  std::unique_ptr<TTtsService> Service;
};

TEST_F(ServiceTest, TextIsValidatedBeforeAnythingCounts) {
  Start([](TConfigSettings& s) { s.MaxTextLength = 5; });
  EXPECT_EQ(CodeOf([&] { Say("   "); }), ecEmptyText);
  EXPECT_EQ(CodeOf([&] { Say("航班航班航班"); }), ecTextTooLong);
  EXPECT_EQ(Service->Stats().Total, 0);
  EXPECT_EQ(Service->Stats().Failed, 0);
  EXPECT_EQ(CodeOf([&] { Say("航班航班航"); }), ecNone);
}

// The rules spell flight numbers out: the limit holds for the text as spoken too, and the
// refusal says that the rewriting made it too long.
TEST_F(ServiceTest, TextsTheRulesRewritePastTheLimitAreRefused) {
  fs::copy(QUAVOX_BIN_DIR "/text", Root + "text", fs::copy_options::recursive);
  Start([](TConfigSettings& s) { s.MaxTextLength = 20; });
  std::string Message;
  EXPECT_EQ(CodeOf([&] { Say("CA1234 CA1234"); }, &Message), ecTextTooLong);
  EXPECT_NE(Message.find("normalize=false"), std::string::npos) << Message;
  EXPECT_EQ(Service->Stats().Total, 0);
  TTtsRequest AsWritten = TTtsRequest::Make("CA1234 CA1234", "en", tgFemale, 1.0f);
  AsWritten.NormalizeText = false;
  EXPECT_NO_THROW(Service->Synthesize(AsWritten));
}

TEST_F(ServiceTest, OneEngineJobServesEverySpeed) {
  Start();
  const TTtsResult Fast = Say("Flight CA1234 is boarding", 1.5f);
  const TTtsResult Slow = Say("Flight CA1234 is boarding", 0.8f);
  EXPECT_FALSE(Fast.FromCache);
  EXPECT_TRUE(Slow.FromCache);
  EXPECT_EQ(Fast.Speed, 1.5f);
  EXPECT_EQ(Slow.Speed, 0.8f);
  EXPECT_NE(Fast.ETag, Slow.ETag);
  EXPECT_EQ(Fast.Engine, "placeholder");
  EXPECT_EQ(Slow.Engine, "");
  EXPECT_EQ(Slow.SynthMs, 0);
  EXPECT_GT(Slow.DurationMs, Fast.DurationMs);
  const TTtsResult Normal = Say("Flight CA1234 is boarding", 1.0f);
  EXPECT_TRUE(Normal.FromCache);
  EXPECT_NE(Normal.ETag, Fast.ETag);
  const TServiceStats Stats = Service->Stats();
  EXPECT_EQ(Stats.Total, 3);
  EXPECT_EQ(Stats.CacheHits, 2);
  EXPECT_EQ(Stats.CacheCount, 1);
  TPcmBuffer Pcm;
  ASSERT_TRUE(WavToPcm(Slow.Wav, Pcm));
  EXPECT_EQ(Pcm.DurationMs(), Slow.DurationMs);
}

// The reply of a miss, the hit that follows it, the clip on disk once it got there and the
// hit after a restart are the same bytes.
TEST_F(ServiceTest, MissHitAndStoredClipAreTheSameBytes) {
  Start();
  const TTtsResult Miss = Say("Gate B12 is now open");
  const TTtsResult Hit = Say("Gate B12 is now open");
  ASSERT_FALSE(Miss.FromCache);
  ASSERT_TRUE(Hit.FromCache);
  EXPECT_EQ(Hit.Wav, Miss.Wav);
  Service->Cache().Flush();
  // At normal speed the entity tag is the cache key.
  EXPECT_EQ(ReadFileBytes(Service->Cache().Directory() + Miss.ETag + ".wav"), Miss.Wav.Bytes());
  Service.reset();
  Start();
  const TTtsResult Restarted = Say("Gate B12 is now open");
  EXPECT_TRUE(Restarted.FromCache);
  EXPECT_EQ(Restarted.Wav, Miss.Wav);
}

TEST_F(ServiceTest, TinySpeedChangeIsReportedButNotApplied) {
  Start();
  const TTtsResult Plain = Say("gate twelve");
  const TTtsResult Nudged = Say("gate twelve", 1.005f);
  EXPECT_EQ(Nudged.Speed, 1.005f);
  EXPECT_EQ(Nudged.Wav, Plain.Wav);
}

TEST_F(ServiceTest, EachOutputRateIsCachedSeparately) {
  Start([](TConfigSettings& s) { s.OutputSampleRate = 22050; });
  EXPECT_EQ(Say("rate test").SampleRate, 22050);
  TTtsRequest Req = TTtsRequest::Make("rate test", "en", tgFemale, 1.0f);
  Req.SampleRate = 16000;
  const TTtsResult At16k = Service->Synthesize(Req);
  EXPECT_EQ(At16k.SampleRate, 16000);
  EXPECT_FALSE(At16k.FromCache);
  EXPECT_EQ(Service->Stats().CacheCount, 2);
}

TEST_F(ServiceTest, AirlineWithoutBindingExplainsWhatToBind) {
  Start();
  TTtsRequest Req = TTtsRequest::Make("boarding", "ja", tgMale, 1.0f);
  Req.Airline = "ana";
  std::string Message;
  EXPECT_EQ(CodeOf([&] { Service->Synthesize(Req); }, &Message), ecBadVoice);
  EXPECT_EQ(
      Message,
      "没有可生成的语音:航司 ANA · 日本語 · 男声 还没有绑定音色,ANA 也没有「语言=自动」那条兜底"
      "。去广播页绑一条 —— 想让这家航司什么语言都能出声,语言选「自动」。");
  EXPECT_EQ(Service->VoiceCount(), 0);
}

TEST_F(ServiceTest, FirstRequestInventsAndBindsTheDefaultVoice) {
  Start();
  const TTtsResult First = Say("ご搭乗ありがとうございます", 1.0f, "ja", tgFemale);
  ASSERT_EQ(Service->VoiceCount(), 1);
  const TVoiceInfo Voice = Service->Voices().front();
  EXPECT_EQ(Voice.Display, "默认 ja · 女声");
  ASSERT_EQ(Voice.Clips.size(), 1u);
  EXPECT_EQ(Voice.Clips[0].Text,
            "ご搭乗のみなさま、まもなく出発いたします。シートベルトをお締めください。");
  EXPECT_EQ(Config->DefaultVoice("ja", tgFemale), Voice.Id);
  EXPECT_EQ(First.VoiceId, Voice.Id);
  Say("まもなく出発します", 1.0f, "ja", tgFemale);
  EXPECT_EQ(Service->VoiceCount(), 1);
  TAppConfig Saved(TAppFolders{Root, Root + "appdata/"});
  Saved.Load();
  EXPECT_EQ(Saved.DefaultVoice("ja", tgFemale), Voice.Id);
}

TEST_F(ServiceTest, HealthAndStatsWithThePlaceholder) {
  Start();
  const TServiceStats Empty = Service->Stats();
  EXPECT_EQ(Empty.P50Ms, 0);
  EXPECT_EQ(Empty.P95Ms, 0);
  EXPECT_EQ(Empty.RealTimeFactor(), 0.0);
  EXPECT_EQ(Empty.CacheHitRate, 0.0);
  const TEngineHealth Health = Service->EngineHealth();
  EXPECT_TRUE(Health.Ready);
  EXPECT_EQ(Health.Backend, "占位波形");
  EXPECT_TRUE(Health.Detail.ends_with(";现在出的是占位波形")) << Health.Detail;
  EXPECT_TRUE(Service->Stats().Placeholder);
  EXPECT_FALSE(Service->ModelUnloaded());
}

TEST_F(ServiceTest, SelfTestWithThePlaceholder) {
  Start();
  const auto Checks = Service->SelfTest("", "en", tgFemale, "");
  ASSERT_EQ(Checks.size(), 4u);
  EXPECT_EQ(Checks[0].Name, "engine");
  EXPECT_FALSE(Checks[0].Ok);
  EXPECT_TRUE(Checks[0].Detail.starts_with("现在出的是占位波形,不是真声音 —— "));
  EXPECT_EQ(Checks[1].Name, "voices");
  EXPECT_FALSE(Checks[1].Ok);
  EXPECT_EQ(Checks[2].Name, "synthesize");
  EXPECT_TRUE(Checks[2].Ok) << Checks[2].Detail;
  EXPECT_EQ(Checks[3].Name, "cache");
  EXPECT_TRUE(Checks[3].Ok) << Checks[3].Detail;
  EXPECT_TRUE(Checks[3].Detail.starts_with("第二次命中缓存,"));
}

TEST_F(ServiceTest, SelfTestWithTheCacheOff) {
  Start([](TConfigSettings& s) { s.CacheEnabled = false; });
  const auto Checks = Service->SelfTest("cache off", "en", tgMale, "");
  ASSERT_EQ(Checks.size(), 4u);
  EXPECT_TRUE(Checks[2].Ok);
  EXPECT_FALSE(Checks[3].Ok);
  EXPECT_TRUE(Checks[3].Detail.starts_with("第二次没命中缓存(")) << Checks[3].Detail;
}

TEST_F(ServiceTest, PrewarmBakesInTheBackgroundAndSkipsBlanks) {
  Start();
  TAppLog::Clear();
  std::vector<TTtsRequest> Set;
  for (const char* Text : {"first line", "  ", "second line"})
    Set.push_back(TTtsRequest::Make(Text, "en", tgFemale, 1.0f));
  Service->Prewarm(Set);
  bool Logged = false;
  for (const auto& e : TAppLog::Entries())
    Logged |= e.Text.starts_with("queued 2 entries to pre-bake, ");
  EXPECT_TRUE(Logged);
  while (Service->PrewarmPending() > 0 || Service->Stats().Total < 2)
    std::this_thread::yield();
  EXPECT_TRUE(Service->IsCached(Set[0]));
  EXPECT_TRUE(Service->IsCached(Set[2]));
  EXPECT_FALSE(Service->IsCached(Set[1]));
  EXPECT_TRUE(Say("second line").FromCache);
}

TEST_F(ServiceTest, RemovedVoiceInThePrewarmListIsSkipped) {
  Start();
  TTtsRequest Req = TTtsRequest::Make("orphan", "en", tgFemale, 1.0f);
  Req.VoiceId = "v-000000000000";
  Service->Prewarm({Req, TTtsRequest::Make("after", "en", tgFemale, 1.0f)});
  while (Service->PrewarmPending() > 0 || Service->Stats().Total < 1)
    std::this_thread::yield();
  EXPECT_TRUE(Service->IsCached(TTtsRequest::Make("after", "en", tgFemale, 1.0f)));
}

TEST_F(ServiceTest, PercentilesUseTheLast200EngineTimes) {
  Start();
  for (int i = 0; i < 5; ++i)
    Say("line " + std::to_string(i));
  const TServiceStats Stats = Service->Stats();
  EXPECT_EQ(Stats.Total, 5);
  EXPECT_GE(Stats.P95Ms, Stats.P50Ms);
  EXPECT_GT(Stats.TotalAudioMs, 0);
}

// The rules rewrite a line before its key is formed, in synthesis and in prewarm's check
// alike; a request that opts out and the self-test speak the text as written.
TEST_F(ServiceTest, RulesRewriteBeforeTheCacheKey) {
  fs::copy(QUAVOX_BIN_DIR "/text", Root + "text", fs::copy_options::recursive);
  Start();
  const TTtsRequest Ruled = TTtsRequest::Make("Flight CA1234 to PEK", "en", tgFemale, 1.0f);
  const TTtsResult First = Service->Synthesize(Ruled);
  EXPECT_EQ(First.SpokenText, "Flight Air China one two three four to Beijing Capital");
  EXPECT_TRUE(Service->IsCached(Ruled));
  EXPECT_EQ(Service->Synthesize(Ruled).SpokenText, First.SpokenText);

  TTtsRequest AsWritten = Ruled;
  AsWritten.NormalizeText = false;
  EXPECT_FALSE(Service->IsCached(AsWritten));
  const TTtsResult Raw = Service->Synthesize(AsWritten);
  EXPECT_EQ(Raw.SpokenText, "Flight CA1234 to PEK");
  EXPECT_NE(Raw.ETag, First.ETag);

  Service->SelfTest("MU5101 to PVG", "en", tgFemale, "");
  TTtsRequest Typed = TTtsRequest::Make("MU5101 to PVG", "en", tgFemale, 1.0f);
  EXPECT_FALSE(Service->IsCached(Typed));
  Typed.NormalizeText = false;
  EXPECT_TRUE(Service->IsCached(Typed));
}

}  // namespace
}  // namespace quavox
