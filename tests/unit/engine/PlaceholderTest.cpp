#include <gtest/gtest.h>

#include <cmath>

#include "core/I18n.h"
#include "engine/EnginePlaceholder.h"

namespace quavox {
namespace {

TPcmBuffer Speak(const std::string& AText, TTtsGender AGender = tgAuto, int32_t ASeed = 0) {
  TPlaceholderEngine Engine(TEngineOptions{});
  TS2Params Params;
  Params.Text = AText;
  return Engine.Synthesize(Params, TVoiceHint{"", AGender, ASeed, ""});
}

TEST(BuildSegments, OneSegmentPerCharacterPlusTheFinalPause) {
  struct TCase {
    const char* Text;
    std::vector<std::pair<TSegmentKind, int>> Want;
  };
  const TCase Cases[] = {
      {"ab", {{skVoiced, 80}, {skVoiced, 80}, {skPause, 120}}},
      {"[calm] s", {{skPause, 70}, {skFricative, 80}, {skPause, 120}}},
      {"航,", {{skVoiced, 170}, {skPause, 220}, {skPause, 120}}},
      {"-", {{skPause, 120}}},
      {"Ä\xEF\xBC\x8C", {{skVoiced, 80}, {skPause, 220}, {skPause, 120}}},
  };
  for (const TCase& c : Cases) {
    const auto Plan = BuildSegments(c.Text);
    ASSERT_EQ(Plan.size(), c.Want.size()) << c.Text;
    for (std::size_t i = 0; i < Plan.size(); ++i) {
      EXPECT_EQ(Plan[i].Kind, c.Want[i].first) << c.Text << " #" << i;
      EXPECT_EQ(Plan[i].DurationMs, c.Want[i].second) << c.Text << " #" << i;
    }
  }
  const auto a = BuildSegments("a").front();
  EXPECT_EQ(a.Vowel, 'a' % 5);
  EXPECT_FLOAT_EQ(a.Stress, ('a' & 3) * 0.25f / 3 + 0.75f);
}

TEST(Placeholder, LengthsFollowThePlan) {
  const std::pair<const char*, std::size_t> Cases[] = {
      {"ab", 3528 + 3528 + 5292},
      {"[calm]", 5292},
      {"航", 7497 + 5292},
      {"，", 9702 + 5292},
      {"a b", 3528 + 3087 + 3528 + 5292},
  };
  for (const auto& [Text, Samples] : Cases) {
    const TPcmBuffer b = Speak(Text);
    EXPECT_EQ(b.SampleRate, 44100);
    EXPECT_EQ(b.Data.size(), Samples) << Text;
    EXPECT_EQ(b.Data.front(), 0.0f);
    EXPECT_EQ(b.Data.back(), 0.0f);
  }
  EXPECT_TRUE(Speak("   ").Data.empty());
  EXPECT_EQ(Speak("").SampleRate, 44100);
}

TEST(Placeholder, DeterministicPerSeedAndAudible) {
  const TPcmBuffer a = Speak("flight CA1234", tgFemale, 5);
  EXPECT_EQ(a.Data, Speak("flight CA1234", tgFemale, 5).Data);
  EXPECT_NE(a.Data, Speak("flight CA1234", tgFemale, 6).Data);
  EXPECT_NE(a.Data, Speak("flight CA1234", tgMale, 5).Data);
  float Peak = 0;
  for (float v : a.Data)
    Peak = std::max(Peak, std::fabs(v));
  EXPECT_GT(Peak, 0.05f);
  EXPECT_LE(Peak, 1.0f);
}

TEST(Placeholder, HealthIsTranslated) {
  SetUiLang(ulEn);
  TPlaceholderEngine Engine(TEngineOptions{});
  const TEngineHealth h = Engine.CheckHealth();
  EXPECT_TRUE(h.Ready);
  EXPECT_NE(h.Backend, "占位波形");
  EXPECT_TRUE(h.ExePath.empty());
  EXPECT_EQ(Engine.Name(), "placeholder");
  EXPECT_FALSE(Engine.SupportsNativeSpeed());
  SetUiLang(ulAuto);
}

}  // namespace
}  // namespace quavox
