// Reading announce bodies: what each segment inherits, the layout options, every refusal,
// the announcements of a prewarm body, and the delivery formats.
#include <gtest/gtest.h>

#include "http/Http.h"
#include "http/HttpAnnounce.h"

namespace quavox {
namespace {

TJsonValue Body(const std::string& AText) {
  return TJsonValue::parse(AText);
}

TEST(AnnounceParse, SegmentsInheritFromTheAnnouncement) {
  TAnnounceRequest Req;
  ASSERT_EQ(AnnounceFromJson(Body(R"({
      "airline": "cca", "gender": "male", "speed": 1.2, "sample_rate": 16000,
      "priority": "HIGH", "chime": "Both", "gap_ms": 250.4, "loudness": "-16",
      "segments": [
        {"text": "各位旅客", "language": "zh-CN"},
        {"text": "Ladies and gentlemen", "language": "en", "voice": "v-1", "gender": "female",
         "speed": 0.9, "style": "calm", "sample_rate": 8000, "priority": "normal"},
        {"text": "皆様", "language": "ja", "airline": "ANA", "reference_id": "v-2"}]})"),
                             Req),
            "");
  ASSERT_EQ(Req.Segments.size(), 3u);
  const TTtsRequest& Zh = Req.Segments[0];
  EXPECT_EQ(Zh.Text, "各位旅客");
  EXPECT_EQ(Zh.Language, "zh");
  EXPECT_EQ(Zh.Airline, "cca");
  EXPECT_EQ(Zh.Gender, tgMale);
  EXPECT_FLOAT_EQ(Zh.Speed, 1.2f);
  const TTtsRequest& En = Req.Segments[1];
  EXPECT_EQ(En.VoiceId, "v-1");
  EXPECT_EQ(En.Gender, tgFemale);
  EXPECT_FLOAT_EQ(En.Speed, 0.9f);
  EXPECT_EQ(En.Style, "calm");
  EXPECT_EQ(Req.Segments[2].Airline, "ANA");
  EXPECT_EQ(Req.Segments[2].VoiceId, "v-2");
  for (const TTtsRequest& Segment : Req.Segments) {
    EXPECT_EQ(Segment.SampleRate, 16000) << "one output rate for the whole";
    EXPECT_EQ(Segment.Priority, tpHigh) << "one priority for the whole";
  }
  EXPECT_EQ(Req.Layout.Chime, cmBoth);
  EXPECT_EQ(Req.Layout.GapMs, 250);
  EXPECT_EQ(Req.Layout.SampleRate, 16000);
  ASSERT_TRUE(Req.Layout.LoudnessLufs.has_value());
  EXPECT_DOUBLE_EQ(*Req.Layout.LoudnessLufs, -16.0);
  EXPECT_EQ(Req.Format, afWav);
}

TEST(AnnounceParse, DefaultsOfAMinimalBody) {
  TAnnounceRequest Req;
  ASSERT_EQ(AnnounceFromJson(Body(R"({"segments":[{"text":"x"}],"loudness":null,"gap_ms":null,
                                      "format":"WAV"})"),
                             Req),
            "");
  EXPECT_EQ(Req.Layout.Chime, cmStart);
  EXPECT_EQ(Req.Layout.GapMs, 600);
  EXPECT_EQ(Req.Layout.SampleRate, 0);
  EXPECT_FALSE(Req.Layout.LoudnessLufs.has_value());
  EXPECT_EQ(Req.Format, afWav);
  EXPECT_EQ(Req.Segments.at(0).Priority, tpNormal);
}

TEST(AnnounceParse, RefusalsNameTheProblem) {
  struct TCase {
    const char* Body;
    const char* Problem;
  };
  const std::string Nine =
      R"({"segments":[{"text":"1"},{"text":"2"},{"text":"3"},{"text":"4"},{"text":"5"},)"
      R"({"text":"6"},{"text":"7"},{"text":"8"},{"text":"9"}]})";
  const TCase Cases[] = {
      {R"({})", "segments must be an array of 1 to 8 objects"},
      {R"({"segments":[]})", "segments must be an array of 1 to 8 objects"},
      {R"({"segments":{"text":"x"}})", "segments must be an array of 1 to 8 objects"},
      {Nine.c_str(), "segments must be an array of 1 to 8 objects"},
      {R"({"segments":[{"text":"x"},"y"]})", "segments[1] is not an object"},
      {R"({"segments":[{"text":"x"}],"chime":"loud"})",
       "chime must be start, both or none, not loud"},
      {R"({"segments":[{"text":"x"}],"gap_ms":-1})",
       "gap_ms must be a number of milliseconds from 0 to 5000"},
      {R"({"segments":[{"text":"x"}],"gap_ms":5001})",
       "gap_ms must be a number of milliseconds from 0 to 5000"},
      {R"({"segments":[{"text":"x"}],"gap_ms":"soon"})",
       "gap_ms must be a number of milliseconds from 0 to 5000"},
      {R"({"segments":[{"text":"x"}],"gap_ms":[1]})",
       "gap_ms must be a number of milliseconds from 0 to 5000"},
      {R"({"segments":[{"text":"x"}],"sample_rate":100})",
       "sample_rate must be 0 (the configured rate) or at least 8000 Hz, not 100"},
      {R"({"segments":[{"text":"x"}],"format":"wave"})",
       "unknown format \"wave\"; known formats: wav, mp3, opus, ogg, flac, aac, pcm, ulaw, alaw"},
      {R"({"segments":[{"text":"x"}],"loudness":-80})",
       "loudness must be a target from -60 to -5 LUFS"},
      {R"({"segments":[{"text":"x"}],"loudness":0})",
       "loudness must be a target from -60 to -5 LUFS"},
      {R"({"segments":[{"text":"x"}],"loudness":"loud"})",
       "loudness must be a target from -60 to -5 LUFS"},
  };
  for (const TCase& c : Cases) {
    TAnnounceRequest Req;
    EXPECT_EQ(AnnounceFromJson(Body(c.Body), Req), c.Problem) << c.Body;
  }
  const std::string Eight =
      R"({"segments":[{"text":"1"},{"text":"2"},{"text":"3"},{"text":"4"},{"text":"5"},)"
      R"({"text":"6"},{"text":"7"},{"text":"8"}],"gap_ms":5000,"loudness":-5})";
  TAnnounceRequest Req;
  EXPECT_EQ(AnnounceFromJson(Body(Eight), Req), "") << "the limits themselves are allowed";
}

TEST(AnnounceParse, PrewarmTakesTheSegmentsOfEveryAnnouncement) {
  std::vector<TTtsRequest> Reqs;
  EXPECT_EQ(AnnouncementRequests(Body(R"({"announcements":[
      {"airline":"CCA","segments":[{"text":"一","language":"zh"},{"text":"one","language":"en"}]},
      {"segments":[{"text":"three","language":"en"}],"sample_rate":16000}]})"),
                                 Reqs),
            "");
  ASSERT_EQ(Reqs.size(), 3u);
  EXPECT_EQ(Reqs[1].Airline, "CCA");
  EXPECT_EQ(Reqs[1].Language, "en");
  EXPECT_EQ(Reqs[2].SampleRate, 16000);

  Reqs.clear();
  EXPECT_EQ(AnnouncementRequests(Body(R"({"items":[]})"), Reqs), "");
  EXPECT_TRUE(Reqs.empty());
  EXPECT_EQ(AnnouncementRequests(
                Body(R"({"announcements":[{"segments":[{"text":"a"}]},{"segments":[]}]})"), Reqs),
            "announcements[1]: segments must be an array of 1 to 8 objects");
  EXPECT_EQ(AnnouncementRequests(Body(R"({"announcements":[3]})"), Reqs),
            "announcements[0]: not an object");
}

}  // namespace
}  // namespace quavox
