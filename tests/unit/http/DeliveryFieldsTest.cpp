#include <gtest/gtest.h>

#include "http/Http.h"

namespace quavox {
namespace {

struct TCase {
  std::string Query;
  double Configured;
  bool Delivered;  // false: the WAV as synthesized
  TAudioFormat Format;
  double Loudness;
  bool Refused;
};

TEST(DeliveryFields, QueryAndJsonGiveTheSameOptions) {
  for (const TCase& c : std::vector<TCase>{
           {"", 0, false, afWav, 0, false},
           {"format=wav", 0, false, afWav, 0, false},
           {"format=", 0, false, afWav, 0, false},
           {"format=MP3", 0, true, afMp3, 0, false},
           {"format=ulaw&loudness=-16", 0, true, afUlaw, -16, false},
           {"loudness=-23.04", 0, true, afWav, -23, false},
           {"", -16, true, afWav, -16, false},
           {"loudness=0", -16, false, afWav, 0, false},
           {"format=flac", -23, true, afFlac, -23, false},
           {"format=wma", 0, false, afWav, 0, true},
           {"loudness=-4", 0, false, afWav, 0, true},
           {"loudness=-61", 0, false, afWav, 0, true},
           {"loudness=quiet", 0, false, afWav, 0, true},
       }) {
    SCOPED_TRACE(c.Query + " configured " + std::to_string(c.Configured));
    std::string Problem;
    const auto FromQuery = DeliveryFromQuery(c.Query, c.Configured, Problem);
    EXPECT_EQ(!Problem.empty(), c.Refused);
    EXPECT_EQ(FromQuery.has_value(), c.Delivered);
    if (FromQuery) {
      EXPECT_EQ(FromQuery->Format, c.Format);
      EXPECT_DOUBLE_EQ(FromQuery->LoudnessLufs, c.Loudness);
    }
    TJsonValue Object = TJsonValue::object();
    const auto Eq = [&](const std::string& AName) {
      const auto At = c.Query.find(AName + "=");
      if (At == std::string::npos) return;
      const auto End = c.Query.find('&', At);
      const std::string Value = c.Query.substr(At + AName.size() + 1, End - At - AName.size() - 1);
      Object[AName] = Value;
    };
    Eq("format");
    Eq("loudness");
    std::string JsonProblem;
    const auto FromJson = DeliveryFromJson(Object, c.Configured, JsonProblem);
    EXPECT_EQ(JsonProblem, Problem);
    EXPECT_EQ(FromJson.has_value(), FromQuery.has_value());
    if (FromJson && FromQuery) {
      EXPECT_DOUBLE_EQ(FromJson->LoudnessLufs, FromQuery->LoudnessLufs);
    }
  }
}

TEST(DeliveryFields, JsonNullsAreAbsentAndNumbersAreRead) {
  std::string Problem;
  EXPECT_FALSE(DeliveryFromJson({{"format", nullptr}, {"loudness", nullptr}}, 0, Problem));
  const auto Options = DeliveryFromJson({{"format", "opus"}, {"loudness", -16}}, 0, Problem);
  ASSERT_TRUE(Options);
  EXPECT_EQ(Options->Format, afOpus);
  EXPECT_DOUBLE_EQ(Options->LoudnessLufs, -16);
  EXPECT_FALSE(DeliveryFromJson({{"loudness", TJsonValue::array()}}, 0, Problem));
  EXPECT_FALSE(Problem.empty());
}

}  // namespace
}  // namespace quavox
