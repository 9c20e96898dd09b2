// Routing a request to a voice through airline bindings and default voices.
#include "VoicesTestFixture.h"

namespace quavox::voicetest {
namespace {

class VoicesRoutingTest : public VoicesTest {
 protected:
  void SetUp() override {
    VoicesTest::SetUp();
    LoadVoices(R"({"voices": [
      {"id": "v-a", "display": "A", "language": "en"}, {"id": "v-b", "display": "B"},
      {"id": "v-c", "display": "C"}, {"id": "v-d", "display": "D"}]})");
  }

  static TTtsRequest Request(std::string_view AAirline, std::string_view ALanguage,
                             TTtsGender AGender, std::string_view AVoiceId = {}) {
    TTtsRequest r = TTtsRequest::Make("text", ALanguage, AGender, 1.0f);
    r.Airline = AAirline;
    r.VoiceId = AVoiceId;
    r.Normalize();
    return r;
  }
  std::string Routed(std::string_view AAirline, std::string_view ALanguage, TTtsGender AGender) {
    bool Explicit = true;
    const TVoiceInfo v = Library->Resolve(Request(AAirline, ALanguage, AGender), Explicit);
    EXPECT_EQ(Explicit, !v.IsEmpty());
    return v.Id;
  }
};

TEST_F(VoicesRoutingTest, FallbackOrderStopsAtTheFirstBinding) {
  // Each step of the chain bound to its own voice; removing the winner reveals the next.
  struct TLevel {
    std::string Language;
    TTtsGender Gender;
    std::string Voice;
  };
  const std::vector<TLevel> Levels = {
      {"zh", tgFemale, "v-a"}, {"zh", tgAuto, "v-b"}, {"", tgFemale, "v-c"}, {"", tgAuto, "v-d"}};
  for (const bool ByAirline : {true, false}) {
    for (const TLevel& l : Levels) {
      if (ByAirline) {
        Config->SetAirlineVoice("CCA", l.Language, l.Gender, l.Voice);
      } else {
        Config->SetDefaultVoice(l.Language, l.Gender, l.Voice);
      }
    }
    const std::string Airline = ByAirline ? "cca " : "";
    for (const TLevel& l : Levels) {
      EXPECT_EQ(Routed(Airline, "zh-CN", tgFemale), l.Voice) << ByAirline;
      if (ByAirline) {
        Config->SetAirlineVoice("CCA", l.Language, l.Gender, "");
      } else {
        Config->SetDefaultVoice(l.Language, l.Gender, "");
      }
    }
    EXPECT_EQ(Routed(Airline, "zh", tgFemale), "");
  }
}

TEST_F(VoicesRoutingTest, EdgeCasesOfTheTables) {
  Config->SetAirlineVoice("CCA", "", tgAuto, "v-a");
  for (const std::string Lang : {"zh", "ja", "", "auto", "en-GB"})
    for (const TTtsGender g : {tgAuto, tgFemale, tgMale})
      EXPECT_EQ(Routed("CCA", Lang, g), "v-a") << Lang << " " << int(g);
  TTtsGenderSet All;
  All.Include(tgAuto);
  All.Include(tgFemale);
  All.Include(tgMale);
  EXPECT_EQ(Library->AvailableGenders("CCA", "ja"), All);

  Config->SetDefaultVoice("zh", tgFemale, "v-b");
  EXPECT_EQ(Routed("", "zh-CN", tgMale), "");
  EXPECT_EQ(Routed("", "zh-CN", tgFemale), "v-b");
  EXPECT_EQ(Routed("", "ZH", tgFemale), "v-b");
  EXPECT_EQ(Routed("CSN", "zh", tgFemale), "") << "airline requests never use default voices";
  Config->SetDefaultVoice("", tgAuto, "v-c");
  EXPECT_EQ(Routed("CSN", "zh", tgFemale), "");
  EXPECT_EQ(Routed("", "ja", tgMale), "v-c") << "default requests never use airline bindings";

  TTtsGenderSet Female;
  Female.Include(tgFemale);
  Config->SetDefaultVoice("", tgAuto, "");
  EXPECT_EQ(Library->AvailableGenders("", "zh-TW"), Female);
  TTtsGenderSet AutoOnly;
  AutoOnly.Include(tgAuto);
  EXPECT_EQ(Library->AvailableGenders("", "ko"), AutoOnly);
  EXPECT_EQ(Library->AvailableGenders("KAL", "zh"), AutoOnly);
  EXPECT_EQ(LogCount(), 1u) << "only the load line; unbound requests log nothing";
}

TEST_F(VoicesRoutingTest, ExplicitVoiceIdsWinOrRaise) {
  Config->SetDefaultVoice("zh", tgAuto, "v-b");
  bool Explicit = false;
  const TVoiceInfo v = Library->Resolve(Request("CCA", "zh", tgMale, " V-A "), Explicit);
  EXPECT_EQ(v.Id, "v-a");
  EXPECT_EQ(v.Language, "en");
  EXPECT_TRUE(Explicit);
  try {
    Library->Resolve(Request("", "zh", tgAuto, "v-missing"), Explicit);
    ADD_FAILURE() << "no error";
  } catch (const ETtsError& E) {
    EXPECT_EQ(E.Code(), ecBadVoice);
    EXPECT_EQ(std::string(E.what()), "没有这个音色:v-missing");
  }
  EXPECT_FALSE(Explicit);
}

TEST_F(VoicesRoutingTest, DanglingBindingEndsTheSearchWithAWarning) {
  Config->SetAirlineVoice("CCA", "zh", tgFemale, "v-removed");
  Config->SetAirlineVoice("CCA", "zh", tgAuto, "v-b");
  EXPECT_EQ(Routed("CCA", "zh", tgFemale), "");
  EXPECT_TRUE(Logged(llWarn, "the voice a binding points at is gone: v-removed"));
  EXPECT_EQ(Config->AirlineVoice("CCA", "zh", tgFemale), "v-removed") << "left in place";
  EXPECT_EQ(Routed("CCA", "zh", tgMale), "v-b");
  TTtsGenderSet AutoMale;
  AutoMale.Include(tgAuto);
  AutoMale.Include(tgMale);
  EXPECT_EQ(Library->AvailableGenders("CCA", "zh"), AutoMale);
}

TEST_F(VoicesRoutingTest, FallbackPlaceholderDescribesTheUnboundCombination) {
  const TVoiceInfo f = TVoiceLibrary::FallbackVoice("zh", tgMale);
  EXPECT_EQ(f.Id, "(auto):zh:male");
  EXPECT_EQ(f.Kind, vkProfile);
  EXPECT_TRUE(f.Clips.empty());
  EXPECT_EQ(f.Language, "zh");
  EXPECT_EQ(f.Gender, tgMale);
  EXPECT_EQ(f.Seed, (StringHash("zh") & 0xFFFF) * 977 + 2 * 31 + 1);
  EXPECT_EQ(f.Seed, 3790823);
  EXPECT_EQ(f.Display, Format("未绑定(%s·%s)", LanguageName("zh"), GenderDisplay(tgMale)));
  EXPECT_EQ(f.Note, "这个语言/性别还没有绑定音色");
  EXPECT_TRUE(TVoiceLibrary::IsFallback(f));
  EXPECT_EQ(TVoiceLibrary::FallbackVoice("", tgAuto).Id, "(auto)::default");

  TVoiceInfo Caps = f;
  Caps.Id = "(AUTO):ZH:MALE";
  EXPECT_FALSE(TVoiceLibrary::IsFallback(Caps));
  EXPECT_FALSE(TVoiceLibrary::IsFallback(TVoiceInfo{}));
}

}  // namespace
}  // namespace quavox::voicetest
