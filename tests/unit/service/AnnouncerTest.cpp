// Whole announcements over a real service with the placeholder engine: checks before any
// synthesis, failures with the segment's index, the entity tag, and the memo of prepared
// segments and delivered replies, which must never serve audio made from other clips.
#include "service/Announcer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <thread>

#include "audio/Wav.h"
#include "core/I18n.h"
#include "service/Service.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

TTtsRequest Line(const std::string& AText, const std::string& ALanguage = "en") {
  return TTtsRequest::Make(AText, ALanguage, tgFemale, 1.0f);
}

class AnnouncerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLang(ulEn);
    TConfigSettings Settings = Config.Settings();
    Settings.MaxTextLength = 40;
    Config.SetSettings(Settings);
    Service = std::make_unique<TTtsService>(Config);
    Announcer = std::make_unique<TAnnouncer>(*Service);
  }
  void TearDown() override {
    Announcer.reset();
    Service.reset();
    SetUiLang(ulAuto);
  }
  std::string FailureOf(const TAnnounceRequest& AReq, TTtsErrorCode& ACode) {
    try {
      Announcer->Synthesize(AReq);
    } catch (const ETtsError& E) {
      ACode = E.Code();
      return E.what();
    }
    ACode = ecNone;
    return {};
  }

  const TTempDir RootDir{"quavox-announcer"};
  const std::string Root = RootDir.Path();
  TAppConfig Config{TAppFolders{Root, Root + "appdata/"}};
  std::unique_ptr<TTtsService> Service;
  std::unique_ptr<TAnnouncer> Announcer;
};

TEST_F(AnnouncerTest, SegmentsAreCheckedBeforeAnyIsSynthesized) {
  struct TCase {
    TTtsRequest Bad;
    TTtsErrorCode Code;
    const char* Message;
  };
  const TCase Cases[] = {
      {Line("   "), ecEmptyText, "segments[1]: "},
      {Line(std::string(41, 'a')), ecTextTooLong, "segments[1]: "},
      {[] {
         TTtsRequest Req = Line("Named voice");
         Req.VoiceId = "v-nope";
         return Req;
       }(),
       ecBadVoice, "segments[1]: "},
  };
  for (const TCase& c : Cases) {
    TAnnounceRequest Req;
    Req.Segments = {Line("A line never spoken"), c.Bad};
    TTtsErrorCode Code = ecNone;
    const std::string Message = FailureOf(Req, Code);
    EXPECT_EQ(Code, c.Code) << Message;
    EXPECT_EQ(Message.rfind(c.Message, 0), 0u) << Message;
  }
  EXPECT_EQ(Service->Stats().Total, 0) << "nothing was synthesized";
  EXPECT_FALSE(Service->IsCached(Line("A line never spoken")));
}

TEST_F(AnnouncerTest, AFailingSegmentKeepsThoseBeforeItCached) {
  TAnnounceRequest Req;
  TTtsRequest Unbound = Line("No binding for this airline");
  Unbound.Airline = "ZZZ";
  Req.Segments = {Line("Spoken before the failure"), Unbound, Line("Never reached")};
  TTtsErrorCode Code = ecNone;
  const std::string Message = FailureOf(Req, Code);
  EXPECT_EQ(Code, ecBadVoice);
  EXPECT_EQ(Message.rfind("segments[1]: ", 0), 0u) << Message;
  EXPECT_TRUE(Service->IsCached(Req.Segments[0]));
  EXPECT_FALSE(Service->IsCached(Req.Segments[2]));
}

TEST_F(AnnouncerTest, TheTagNamesPartsAndEveryOption) {
  TAnnounceRequest Req;
  Req.Segments = {Line("Tag one"), Line("Tag two", "ja")};
  const TAnnounceResult Result = Announcer->Synthesize(Req);
  ASSERT_EQ(Result.Segments.size(), 2u);
  const std::string Tag = TAnnouncer::EntityTag(Req, Result.Segments);
  EXPECT_EQ(Tag, Result.ETag);
  std::vector<std::string> Tags = {Tag};
  const std::vector<std::function<void(TAnnounceRequest&, std::vector<TTtsResult>&)>> Changes = {
      [](TAnnounceRequest& R, auto&) { R.Layout.Chime = cmBoth; },
      [](TAnnounceRequest& R, auto&) { R.Layout.Chime = cmNone; },
      [](TAnnounceRequest& R, auto&) { R.Layout.GapMs = 601; },
      [](TAnnounceRequest& R, auto&) { R.Layout.SampleRate = 16000; },
      [](TAnnounceRequest& R, auto&) { R.Layout.LoudnessLufs = -16.0; },
      [](TAnnounceRequest& R, auto&) { R.Layout.LoudnessLufs = -16.5; },
      [](TAnnounceRequest& R, auto&) { R.Format = afMp3; },
      [](auto&, std::vector<TTtsResult>& S) { S[1].ETag += "x"; },
      [](auto&, std::vector<TTtsResult>& S) { std::swap(S[0], S[1]); },
      [](auto&, std::vector<TTtsResult>& S) { S.pop_back(); },
  };
  for (const auto& Change : Changes) {
    TAnnounceRequest Other = Req;
    std::vector<TTtsResult> Segments = Result.Segments;
    Change(Other, Segments);
    Tags.push_back(TAnnouncer::EntityTag(Other, Segments));
  }
  std::sort(Tags.begin(), Tags.end());
  EXPECT_EQ(std::unique(Tags.begin(), Tags.end()), Tags.end()) << "every change, its own tag";
}

TEST_F(AnnouncerTest, RepliesAreSharedOnlyWhileMadeFromTheSameClips) {
  TAnnounceRequest Req;
  Req.Segments = {Line("Shared reply one"), Line("Shared reply two")};
  Req.Layout.LoudnessLufs = -20.0;
  const TAnnounceResult First = Announcer->Synthesize(Req);
  const auto Reply = Announcer->Deliver(Req, First);
  ASSERT_TRUE(Reply && Reply->Audio);
  EXPECT_EQ(Reply->ContentType, "audio/wav");
  const TAnnounceResult Again = Announcer->Synthesize(Req);
  EXPECT_TRUE(Again.Segments[0].FromCache && Again.Segments[1].FromCache);
  EXPECT_EQ(Announcer->Deliver(Req, Again), Reply) << "the same clips give the same reply";

  // The same tags over other samples (a clip made anew after the cache was cleared) must
  // give audio made from those samples, not the remembered one.
  TAnnounceResult Remade = Again;
  TPcmBuffer Louder;
  ASSERT_TRUE(WavToPcm(Remade.Segments[1].Wav, Louder));
  for (std::size_t i = 0; i < Louder.Data.size(); i += 3)
    Louder.Data[i] = -Louder.Data[i];
  Remade.Segments[1].Wav = PcmToWav(Louder, 1);
  const auto Fresh = Announcer->Deliver(Req, Remade);
  ASSERT_TRUE(Fresh && Fresh->Audio);
  EXPECT_NE(*Fresh->Audio, *Reply->Audio);
  TPcmBuffer Whole;
  ASSERT_TRUE(WavToPcm(*Fresh->Audio, Whole));
  const TAnnouncement Direct = Announcer->Assemble(Req, Remade);
  EXPECT_EQ(PcmToWav(Direct.Pcm, 1), *Fresh->Audio);
  EXPECT_EQ(Fresh->Parts.size(), Direct.Parts.size());
}

// An announcement bigger than the whole memo budget is not kept: delivering it again makes
// it anew instead of holding it beyond the budget.
TEST_F(AnnouncerTest, AnAnnouncementBeyondTheMemoBudgetIsNotKept) {
  TAnnouncer Small(*Service, 1024);
  TAnnounceRequest Req;
  Req.Segments = {Line("Beyond the memo")};
  Req.Layout.LoudnessLufs = -20.0;
  const TAnnounceResult Result = Small.Synthesize(Req);
  const auto First = Small.Deliver(Req, Result);
  ASSERT_TRUE(First && First->Audio);
  ASSERT_GT(First->Audio->size(), 1024u);
  const auto Second = Small.Deliver(Req, Result);
  ASSERT_TRUE(Second && Second->Audio);
  EXPECT_NE(Second, First);
  EXPECT_EQ(*Second->Audio, *First->Audio);
}

// Many connections asking for overlapping announcements at once share the memo; each still
// gets exactly the audio its own layout names.
TEST_F(AnnouncerTest, ConcurrentAnnouncementsGetTheirOwnAudio) {
  TAnnounceRequest Base;
  Base.Segments = {Line("Concurrent one"), Line("Concurrent two", "zh")};
  Base.Layout.LoudnessLufs = -20.0;
  constexpr int Layouts = 3;
  std::vector<TBytes> Expected;
  for (int g = 0; g < Layouts; ++g) {
    TAnnounceRequest Req = Base;
    Req.Layout.GapMs = 100 * (g + 1);
    Expected.push_back(PcmToWav(Announcer->Assemble(Req, Announcer->Synthesize(Req)).Pcm, 1));
  }
  std::vector<std::thread> Threads;
  std::atomic<int> Wrong{0};
  for (int t = 0; t < 8; ++t) {
    Threads.emplace_back([&, t] {
      for (int i = 0; i < 6; ++i) {
        TAnnounceRequest Req = Base;
        const int g = (t + i) % Layouts;
        Req.Layout.GapMs = 100 * (g + 1);
        const auto Reply = Announcer->Deliver(Req, Announcer->Synthesize(Req));
        if (!Reply || !Reply->Audio || *Reply->Audio != Expected[g]) ++Wrong;
      }
    });
  }
  for (std::thread& Thread : Threads)
    Thread.join();
  EXPECT_EQ(Wrong.load(), 0);
}

// The WAV is sent as assembled; other formats go through the shared delivery step at their
// own rate, while the part positions keep counting at the assembly rate.
TEST(AnnounceDelivery, WavAsAssembledOtherFormatsAtTheirRate) {
  TAnnouncement Whole;
  Whole.Pcm.SampleRate = 16000;
  Whole.Pcm.Data.resize(16000);
  for (std::size_t i = 0; i < Whole.Pcm.Data.size(); ++i)
    Whole.Pcm.Data[i] = 0.25f * static_cast<float>(std::sin(0.1 * static_cast<double>(i)));
  Whole.Parts = {{apSegment, 0, 0, 16000}};
  struct TCase {
    TAudioFormat Format;
    int32_t RequestedRate;
    const char* ContentType;
    int32_t SentRate;
  };
  for (const TCase& c :
       {TCase{afWav, 0, "audio/wav", 16000}, TCase{afUlaw, 0, "audio/wav", 8000},
        TCase{afAlaw, 16000, "audio/wav", 8000}, TCase{afFlac, 0, "audio/flac", 16000}}) {
    const TAnnounceReply Reply = DeliverAnnouncement(Whole, c.Format, c.RequestedRate);
    const std::string Name(AudioFormatName(c.Format));
    EXPECT_EQ(Reply.ContentType, AudioContentType(c.Format)) << Name;
    EXPECT_EQ(Reply.SampleRate, c.SentRate) << Name;
    EXPECT_EQ(Reply.TimelineRate, 16000) << Name;
    EXPECT_EQ(Reply.Samples, 16000) << Name;
    EXPECT_EQ(Reply.Parts.size(), 1u) << Name;
    ASSERT_TRUE(Reply.Audio) << Name;
    if (c.Format == afWav) {
      EXPECT_EQ(*Reply.Audio, PcmToWav(Whole.Pcm, 1));
    }
  }
}

}  // namespace
}  // namespace quavox
