#include <gtest/gtest.h>

#include <thread>

#include "http/HttpDelivery.h"

namespace quavox {
namespace {

TEncodedReply Reply(std::size_t ABytes, uint8_t AFill = 1) {
  return {std::make_shared<const TBytes>(ABytes, AFill), 8000, 1000};
}

TEST(EncodedCache, KeepsRepliesWithinItsBudgetDroppingTheLeastRecentlyUsed) {
  TEncodedCache Cache(300);
  Cache.Put("a", Reply(100));
  Cache.Put("b", Reply(100));
  Cache.Put("c", Reply(100));
  ASSERT_TRUE(Cache.Find("a"));  // now the most recent
  Cache.Put("d", Reply(100));
  EXPECT_FALSE(Cache.Find("b"));
  EXPECT_TRUE(Cache.Find("a") && Cache.Find("c") && Cache.Find("d"));
  EXPECT_EQ(Cache.Bytes(), 300u);

  Cache.Put("a", Reply(50, 7));  // replaced, not added twice
  EXPECT_EQ(Cache.Bytes(), 250u);
  EXPECT_EQ(Cache.Find("a")->Bytes->front(), 7);
  Cache.Put("huge", Reply(301));
  EXPECT_FALSE(Cache.Find("huge"));
  EXPECT_EQ(Cache.Count(), 3u);

  Cache.SetBudget(0);
  EXPECT_EQ(Cache.Count(), 0u);
  EXPECT_EQ(Cache.Bytes(), 0u);
  Cache.Put("a", Reply(1));
  EXPECT_FALSE(Cache.Find("a"));
}

TEST(EncodedCache, DeliveredTagsNameFormatRateAndLoudness) {
  const std::string Wav = "0123abcd";
  EXPECT_EQ(DeliveredTag(Wav, {afMp3, 0, 0}, 22050), "0123abcd.mp3.22050");
  EXPECT_EQ(DeliveredTag(Wav, {afWav, 0, -16}, 22050), "0123abcd.wav.22050.-16.0lufs");
  EXPECT_NE(DeliveredTag(Wav, {afUlaw, 0, 0}, 8000), DeliveredTag(Wav, {afUlaw, 0, 0}, 16000));
  EXPECT_NE(DeliveredTag(Wav, {afMp3, 0, -16}, 22050), DeliveredTag(Wav, {afMp3, 0, -23}, 22050));
}

TEST(EncodedCache, ConcurrentUseKeepsTheBudget) {
  TEncodedCache Cache(1000);
  std::vector<std::thread> Threads;
  for (int t = 0; t < 4; ++t)
    Threads.emplace_back([&Cache, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string Tag = std::to_string((i * 7 + t) % 40);
        if (!Cache.Find(Tag)) Cache.Put(Tag, Reply(30 + i % 50));
      }
    });
  for (std::thread& Thread : Threads)
    Thread.join();
  EXPECT_LE(Cache.Bytes(), 1000u);
}

}  // namespace
}  // namespace quavox
