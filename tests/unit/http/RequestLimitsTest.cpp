// What a request may ask for: numbers that fit their field (never wrapped into another
// meaning), forwarded text fields of bounded length, the predicted size of a reply, and the
// admission of replies into the memory budget.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "http/Http.h"
#include "http/ReplyBudget.h"

namespace quavox {
namespace {

TEST(RequestNumbers, NumbersOutsideTheirFieldAreRefusedNeverWrapped) {
  struct TCase {
    const char* Field;
    std::string Value;  // as sent in the query, and as JSON text
    bool Refused;
    int32_t Read;  // when not refused
  };
  const TCase Cases[] = {
      {"sample_rate", "-4194967296", true, 0},
      {"sample_rate", "4295011396", true, 0},  // 2^32 + 44100
      {"sample_rate", "192001", true, 0},
      {"sample_rate", "99999999999999999999", true, 0},
      {"sample_rate", "1e300", true, 0},
      {"sample_rate", "192000", false, 192000},
      {"sample_rate", "-5", false, -5},  // negative: the configured rate, as normalised
      {"sample_rate", "44100.0", false, 44100},
      {"seed", "2147483648", true, 0},
      {"seed", "-2147483649", true, 0},
      {"seed", "-2147483648", false, INT32_MIN},
      {"seed", "2147483647", false, INT32_MAX},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(std::string(c.Field) + "=" + c.Value);
    const std::string Query = "text=Gate&" + std::string(c.Field) + "=" + c.Value;
    const std::string AsNumber =
        "{\"text\":\"Gate\",\"" + std::string(c.Field) + "\":" + c.Value + "}";
    const std::string AsString =
        "{\"text\":\"Gate\",\"" + std::string(c.Field) + "\":\"" + c.Value + "\"}";
    std::string FromQuery, FromNumber, FromString;
    const TTtsRequest Queried = RequestFromQuery(Query, FromQuery);
    const TTtsRequest Numbered = RequestFromJson(*ParseJsonValueObject(AsNumber), FromNumber);
    const TTtsRequest Stringed = RequestFromJson(*ParseJsonValueObject(AsString), FromString);
    EXPECT_EQ(FromNumber.empty(), !c.Refused) << FromNumber;
    EXPECT_EQ(FromString.empty(), !c.Refused) << FromString;
    const bool Integral = c.Value.find('.') == std::string::npos;
    if (Integral) {
      EXPECT_EQ(FromQuery.empty(), !c.Refused) << FromQuery;
    }
    if (c.Refused) {
      EXPECT_NE(FromNumber.find(c.Field), std::string::npos) << FromNumber;
      continue;
    }
    const auto Read = [&](const TTtsRequest& AReq) {
      return std::string(c.Field) == "seed" ? AReq.Seed : AReq.SampleRate;
    };
    EXPECT_EQ(Read(Numbered), c.Read);
    if (Integral) {
      EXPECT_EQ(Read(Queried), c.Read);
    }
  }
  std::string Problem;
  const TTtsRequest Unreadable = RequestFromQuery("text=Gate&sample_rate=fast&seed=x", Problem);
  EXPECT_TRUE(Problem.empty()) << "unreadable numbers keep their default";
  EXPECT_EQ(Unreadable.SampleRate, 0);
  EXPECT_EQ(Unreadable.Seed, 0);
}

TEST(RequestFields, ForwardedTextFieldsHaveLengthLimits) {
  struct TCase {
    const char* Member;
    std::size_t Length;
    bool Refused;
  };
  const TCase Cases[] =
      {
          {"style", 200, false},  {"style", 201, true},  {"voice", 64, false},
          {"voice", 65, true},    {"airline", 65, true}, {"language", 30000, true},
          {"text", 30000, false},  // the text's limit is the configured one, checked later
      };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(std::string(c.Member) + " of " + std::to_string(c.Length));
    const TJsonValue Body = {{"text", "Gate"}, {c.Member, std::string(c.Length, 'a')}};
    std::string Problem;
    RequestFromJson(Body, Problem);
    EXPECT_EQ(Problem.empty(), !c.Refused) << Problem;
    if (c.Refused) {
      EXPECT_NE(Problem.find(c.Member), std::string::npos) << Problem;
    }
    Problem.clear();
    RequestFromQuery("text=Gate&" + std::string(c.Member) + "=" + std::string(c.Length, 'a'),
                     Problem);
    EXPECT_EQ(Problem.empty(), !c.Refused) << Problem;
  }
  EXPECT_EQ(StyleLengthProblem("instructions", std::string(200, 'a')), "");
  EXPECT_EQ(StyleLengthProblem("instructions", std::string(30000, 'a')),
            "instructions is 30000 characters long; at most 200 are allowed");
}

TEST(ReplyEstimate, GrowsWithTheTextTheSlownessAndTheRate) {
  EXPECT_EQ(PredictedDurationMs("", 1.0f), 1000);
  EXPECT_EQ(PredictedDurationMs("Gate 12", 1.0f), 1700);
  EXPECT_EQ(PredictedDurationMs("Gate 12", 0.5f), 3400);
  EXPECT_EQ(PredictedDurationMs("Gate 12", 0.1f), 3400) << "speeds are clamped as spoken";
  EXPECT_EQ(PredictedDurationMs("Gate 12", 2.0f), 850);
  EXPECT_EQ(PredictedDurationMs("登机口", 1.0f), 1750);
  EXPECT_EQ(PredictedDurationMs("\xF0\xA0\x80\x80", 1.0f), 1500) << "two UTF-16 units";

  const TReplyEstimate AtDefault = EstimateReply(1000, 0);
  EXPECT_EQ(AtDefault.SampleRate, AssumedEngineRate);
  EXPECT_EQ(AtDefault.Samples, AssumedEngineRate);
  EXPECT_EQ(AtDefault.Bytes(), AssumedEngineRate * ReplyBytesPerSample);
  EXPECT_FALSE(EstimateReply(1260000, 48000).TooLong());
  const TReplyEstimate Over = EstimateReply(1260001, 48000);
  EXPECT_TRUE(Over.TooLong());
  EXPECT_NE(Over.TooLongMessage().find("60480000 samples"), std::string::npos);
  // The longest text the default settings take is spoken at speed 1, in any script.
  std::string Longest;
  for (int i = 0; i < 5000; ++i)
    Longest += "登";
  EXPECT_FALSE(EstimateReply(PredictedDurationMs(Longest, 1.0f), 48000).TooLong());
  EXPECT_TRUE(EstimateReply(PredictedDurationMs(Longest, 0.5f), 48000).TooLong());
}

TEST(ReplyBudget, AdmitsWhatFitsBesideTheRepliesBeingMade) {
  TReplyBudget Budget(100);
  TReplyBudget::TTicket First, Second, Third;
  EXPECT_TRUE(Budget.TryAdmit(60, First));
  EXPECT_FALSE(Budget.TryAdmit(41, Second));
  EXPECT_TRUE(Budget.TryAdmit(40, Second));
  EXPECT_EQ(Budget.InUse(), 100);
  First = TReplyBudget::TTicket();
  EXPECT_EQ(Budget.InUse(), 40);
  Second = TReplyBudget::TTicket();
  EXPECT_TRUE(Budget.TryAdmit(150, Third)) << "a reply larger than the budget runs alone";
  EXPECT_FALSE(Budget.TryAdmit(1, First));
  TReplyBudget::TTicket Moved = std::move(Third);
  EXPECT_EQ(Budget.InUse(), 150);
  Moved = TReplyBudget::TTicket();
  EXPECT_EQ(Budget.InUse(), 0);
  Budget.SetLimit(10);
  EXPECT_EQ(Budget.Limit(), 10);
}

TEST(ReplyBudget, ConcurrentRepliesNeverHoldMoreThanTheLimit) {
  TReplyBudget Budget(100);
  std::atomic<int64_t> Held{0};
  std::atomic<bool> Over{false};
  std::vector<std::thread> Threads;
  for (int t = 0; t < 8; ++t) {
    Threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        TReplyBudget::TTicket Ticket;
        if (!Budget.TryAdmit(30, Ticket)) continue;
        if (Held.fetch_add(30) + 30 > 100) Over = true;
        Held.fetch_sub(30);
      }
    });
  }
  for (std::thread& Thread : Threads)
    Thread.join();
  EXPECT_FALSE(Over);
  EXPECT_EQ(Budget.InUse(), 0);
}

}  // namespace
}  // namespace quavox
