#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/I18n.h"
#include "core/Types.h"

namespace quavox {
namespace {

TEST(NormalizeLanguage, MapsCodesAliasesAndRejectsNonLetters) {
  const std::pair<const char*, const char*> Cases[] = {
      {"ZH-cn", "zh"}, {"zh_tw", "zh"}, {"jp", "ja"},  {"KR_x", "ko"}, {"cn", "zh"},
      {"Auto", ""},    {"中文", ""},    {"zh cn", ""}, {"", ""},       {"-en", ""},
      {" en ", "en"},  {"xx", "xx"},    {"e1", ""},    {"a-b_c", "a"}, {"fr_CA-x", ""},
  };
  for (const auto& [In, Want] : Cases)
    EXPECT_EQ(NormalizeLanguage(In), Want) << In;
}

TEST(EnumerationParsers, TrimLowerCaseAndFallBack) {
  EXPECT_EQ(ParseGender("  Female "), tgFemale);
  EXPECT_EQ(ParseGender("女"), tgFemale);
  EXPECT_EQ(ParseGender("女声"), tgAuto);
  EXPECT_EQ(ParseGender("M"), tgMale);
  EXPECT_EQ(ParseGender("default"), tgAuto);
  EXPECT_EQ(ParseSpeedMode(" STRETCH"), smLocalStretch);
  EXPECT_EQ(ParseSpeedMode("resample"), smLocalResample);
  EXPECT_EQ(ParseSpeedMode("fast"), smEngine);
  EXPECT_EQ(ParseCompute("Vulkan"), cbVulkan);
  EXPECT_EQ(ParseCompute("gpu"), cbAuto);
  for (TTtsGender g : {tgAuto, tgFemale, tgMale})
    EXPECT_EQ(ParseGender(GenderToStr(g)), g);
  for (TComputeBackend c : {cbAuto, cbCpu, cbCuda, cbVulkan})
    EXPECT_EQ(ParseCompute(ComputeToStr(c)), c);
}

TEST(ClampSpeed, SanitisesEveryFloat) {
  const std::pair<float, float> Cases[] = {
      {std::numeric_limits<float>::quiet_NaN(), 1.0f},
      {0.0f, 1.0f},
      {-1.0f, 1.0f},
      {0.3f, 0.5f},
      {3.0f, 2.0f},
      {1.25f, 1.25f},
      {std::numeric_limits<float>::infinity(), 2.0f},
  };
  for (const auto& [In, Want] : Cases)
    EXPECT_EQ(ClampSpeed(In), Want) << In;
}

TEST(TtsRequest, NormalizeCleansInPlace) {
  TTtsRequest r;
  r.Text = "  hello ";
  r.Airline = " cca ";
  r.Style = " [ calm ] ";
  r.VoiceId = " v1 ";
  r.Speed = 9;
  r.SampleRate = -5;
  r.Seed = -5;
  r.Normalize();
  EXPECT_EQ(r.Text, "hello");
  EXPECT_EQ(r.Airline, "CCA");
  EXPECT_EQ(r.Style, "calm");
  EXPECT_EQ(r.VoiceId, "v1");
  EXPECT_EQ(r.Speed, 2.0f);
  EXPECT_EQ(r.SampleRate, 0);
  EXPECT_EQ(r.Seed, -5);
  r.Style = "[]";
  r.Normalize();
  EXPECT_EQ(r.Style, "");
}

TEST(TtsRequest, EffectiveTextAndDescribe) {
  TTtsRequest r = TTtsRequest::Make(" 航班 ", "zh", tgFemale, 1.0f);
  EXPECT_EQ(r.EffectiveText(), "航班");
  EXPECT_EQ(r.Describe(), "[zh/female/- x1.00] 航班");
  r.Style = "calm";
  r.VoiceId = "v9";
  r.Speed = 1.255f;
  EXPECT_EQ(r.EffectiveText(), "[calm] 航班");
  EXPECT_EQ(r.Describe(), "[zh/female/v9 x1.25 calm] 航班");
}

TEST(LanguageNames, NativeNameCodeOrAuto) {
  SetUiLang(ulZh);
  EXPECT_EQ(LanguageName("ja"), "日本語");
  EXPECT_EQ(LanguageName("xx"), "xx");
  EXPECT_EQ(LanguageName(""), "自动");
  EXPECT_EQ(LanguageLabel("JA"), "日本語 (ja)");
  EXPECT_EQ(LanguageLabel("auto"), "自动 (auto)");
  SetUiLang(ulEn);
  EXPECT_NE(LanguageName(""), "自动");
  SetUiLang(ulAuto);
  ASSERT_EQ(KnownLanguages().size(), 28u);
  EXPECT_EQ(KnownLanguages().front(), "zh");
  EXPECT_EQ(KnownLanguages().back(), "hu");
}

TEST(ErrorCodes, WireNamesAndStatuses) {
  const std::tuple<TTtsErrorCode, const char*, int> Cases[] = {
      {ecNone, "ok", 500},
      {ecEmptyText, "empty_text", 400},
      {ecTextTooLong, "text_too_long", 413},
      {ecBadVoice, "bad_voice", 404},
      {ecBadSpeed, "bad_speed", 400},
      {ecBadAudio, "bad_audio", 400},
      {ecEngineNotConnected, "engine_not_connected", 503},
      {ecEngineFailed, "engine_failed", 500},
      {ecQueueFull, "queue_full", 503},
      {ecTimeout, "timeout", 504},
      {ecCloneFailed, "clone_failed", 500},
      {ecNotFound, "not_found", 404},
      {static_cast<TTtsErrorCode>(200), "unknown", 500},
  };
  for (const auto& [Code, Name, Status] : Cases) {
    EXPECT_EQ(ErrorCodeName(Code), Name);
    EXPECT_EQ(ETtsError(Code, "m").HttpStatus(), Status);
  }
  try {
    ETtsError::Raise_(ecTimeout, "late");
  } catch (const std::exception& E) {
    EXPECT_STREQ(E.what(), "late");
    EXPECT_EQ(dynamic_cast<const ETtsError&>(E).Code(), ecTimeout);
  }
}

TEST(PcmBuffer, DurationAndSilenceRoundTiesToEven) {
  TPcmBuffer b{std::vector<float>(22050), 44100};
  EXPECT_EQ(b.DurationMs(), 500);
  b.SampleRate = 0;
  EXPECT_EQ(b.DurationMs(), 0);
  // 12 samples at 24000 Hz are 0.5 ms: the tie goes to the even 0.
  EXPECT_EQ((TPcmBuffer{std::vector<float>(12), 24000}.DurationMs()), 0);
  EXPECT_EQ((TPcmBuffer{std::vector<float>(36), 24000}.DurationMs()), 2);
  EXPECT_EQ(TPcmBuffer::Silence(44100, 10).Data.size(), 441u);
  EXPECT_TRUE(TPcmBuffer::Silence(44100, -10).Data.empty());
}

TEST(Sha256Hex, TextAndBytesAgree) {
  EXPECT_EQ(Sha256Hex(std::string_view("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex(TBytes{}),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string Text = "航班";
  EXPECT_EQ(Sha256Hex(std::string_view(Text)), Sha256Hex(TBytes(Text.begin(), Text.end())));
}

TEST(EngineOptions, DescribeUsesTranslatedFormat) {
  SetUiLang(ulZh);
  TEngineOptions o;
  o.Compute = cbCpu;
  EXPECT_EQ(o.Describe(),
            "本地 s2.cpp · CPU(任何机器都能跑,最慢) · temp 0.58 / top_p 0.80 / top_k 40");
  SetUiLang(ulAuto);
}

}  // namespace
}  // namespace quavox
