#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "audio/Wav.h"
#include "core/Log.h"
#include "core/Text.h"
#include "platform/Files.h"
#include "state/Cache.h"
#include "state/Json.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The save throttle's clock, moved by hand.
struct TFakeClock {
  std::atomic<int64_t> Ms{5'000'000};
  TCacheClock Fn() {
    return [this] {
      return std::chrono::steady_clock::time_point(std::chrono::milliseconds(Ms.load()));
    };
  }
};

TBytes MakeWav(int ASamples, int ASeed = 0, int32_t ARate = 24000) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = ARate;
  Pcm.Data.resize(static_cast<std::size_t>(ASamples));
  for (int i = 0; i < ASamples; ++i)
    Pcm.Data[static_cast<std::size_t>(i)] =
        static_cast<float>((i * 7 + ASeed * 131) % 200 - 100) / 200.0f;
  return PcmToWav(Pcm);
}

TTtsResult MakeResult(const TBytes& AWav, const std::string& AVoice = "v1", float ASpeed = 1.0f) {
  TTtsResult r;
  r.Wav = AWav;
  r.SampleRate = 24000;
  r.DurationMs = static_cast<int32_t>((AWav.size() - 44) / 48);
  r.SynthMs = 900;
  r.VoiceId = AVoice;
  r.Language = "zh";
  r.Gender = tgFemale;
  r.Speed = ASpeed;
  r.Engine = "s2";
  return r;
}

std::string AsText(const TBytes& ABytes) {
  return {ABytes.begin(), ABytes.end()};
}

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override { TAppLog::Clear(); }

  std::unique_ptr<TWavCache> Open(int64_t ABudget = 0) {
    return std::make_unique<TWavCache>(Dir, ABudget, Clock.Fn());
  }
  bool Logged(TLogLevel ALevel, const std::string& APrefix) const {
    for (const auto& e : TAppLog::Entries())
      if (e.Level == ALevel && e.Source == "cache" && e.Text.rfind(APrefix, 0) == 0) return true;
    return false;
  }
  bool Exists(const std::string& AName) const { return fs::exists(Dir + AName); }
  std::string Read(const std::string& AName) const { return AsText(ReadFileBytes(Dir + AName)); }
  void Write(const std::string& AName, std::string_view AText) const {
    WriteFileBytes(Dir + AName,
                   std::span(reinterpret_cast<const uint8_t*>(AText.data()), AText.size()));
  }
  void Write(const std::string& AName, const TBytes& ABytes) const {
    WriteFileBytes(Dir + AName, ABytes);
  }
  // The keys an index file lists, in file order; empty when it is absent.
  std::vector<std::string> IndexKeys(const std::string& AName = "index.json") const {
    std::vector<std::string> Keys;
    const auto Root = ParseJsonObject(StripUtf8Bom(Read(AName)));
    if (Root)
      for (const auto& [Key, Value] : Root->items())
        Keys.push_back(Key);
    return Keys;
  }
  static std::vector<std::string> Keys(const TWavCache& ACache) {
    std::vector<std::string> Out;
    for (const auto& [Key, Entry] : ACache.Snapshot())
      Out.push_back(Key);
    return Out;
  }

  const TTempDir ScratchDir{"quavox-cache"};
  const std::string Dir = ScratchDir.Path();
  TFakeClock Clock;
};

using Strings = std::vector<std::string>;

TEST(CacheKeyTest, HashesTheElevenPartsJoinedByBars) {
  TTtsRequest Req = TTtsRequest::Make("Flight CA981 is boarding", "en", tgFemale, 1.3f);
  Req.Style = "calm";
  Req.Seed = 7;
  TVoiceInfo Voice;
  Voice.Id = "abc";
  Voice.ProfileFile = "p.json";
  Voice.Style = "warm";
  Voice.Seed = 42;
  const std::string Key = CacheKey(Req, Voice, "s2/stretch", 24000, false);
  EXPECT_EQ(Key, Sha256Hex(std::string_view(
                     "s2/stretch|abc|p.json|warm|42|1.300|False|24000|7|calm|[calm] Flight CA981 "
                     "is boarding")));
  EXPECT_EQ(Key.size(), 64u);
  EXPECT_EQ(Key, LowerAscii(Key));

  // Everything that changes the audio changes the key; routing fields do not.
  struct TCase {
    const char* Name;
    bool Changes;
    std::function<void(TTtsRequest&, TVoiceInfo&, std::string&, int32_t&, bool&)> Edit;
  };
  const TCase Cases[] = {
      {"engine tag", true, [](auto&, auto&, auto& t, auto&, auto&) { t = "s2/engine"; }},
      {"voice id", true, [](auto&, auto& v, auto&, auto&, auto&) { v.Id = "abd"; }},
      {"profile", true, [](auto&, auto& v, auto&, auto&, auto&) { v.ProfileFile = "q.json"; }},
      {"voice style", true, [](auto&, auto& v, auto&, auto&, auto&) { v.Style = ""; }},
      {"voice seed", true, [](auto&, auto& v, auto&, auto&, auto&) { v.Seed = 43; }},
      {"speed", true, [](auto& r, auto&, auto&, auto&, auto&) { r.Speed = 1.301f; }},
      {"native flag", true, [](auto&, auto&, auto&, auto&, auto& n) { n = true; }},
      {"sample rate", true, [](auto&, auto&, auto&, auto& s, auto&) { s = 22050; }},
      {"request seed", true, [](auto& r, auto&, auto&, auto&, auto&) { r.Seed = 8; }},
      {"request style", true, [](auto& r, auto&, auto&, auto&, auto&) { r.Style = "brisk"; }},
      {"text", true, [](auto& r, auto&, auto&, auto&, auto&) { r.Text += "."; }},
      {"speed below rounding", false,
       [](auto& r, auto&, auto&, auto&, auto&) { r.Speed = 1.3001f; }},
      {"language", false, [](auto& r, auto&, auto&, auto&, auto&) { r.Language = "zh"; }},
      {"gender", false, [](auto& r, auto&, auto&, auto&, auto&) { r.Gender = tgMale; }},
      {"airline", false, [](auto& r, auto&, auto&, auto&, auto&) { r.Airline = "CCA"; }},
      {"priority", false, [](auto& r, auto&, auto&, auto&, auto&) { r.Priority = tpHigh; }},
      {"requested voice", false, [](auto& r, auto&, auto&, auto&, auto&) { r.VoiceId = "x"; }},
  };
  for (const TCase& c : Cases) {
    TTtsRequest r = Req;
    TVoiceInfo v = Voice;
    std::string Tag = "s2/stretch";
    int32_t Rate = 24000;
    bool Native = false;
    c.Edit(r, v, Tag, Rate, Native);
    EXPECT_EQ(CacheKey(r, v, Tag, Rate, Native) != Key, c.Changes) << c.Name;
  }
}

TEST(ProbeWavFileTest, ReadsTheHeaderOnly) {
  const auto Le32 = [](uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  };
  const auto Le16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
  const auto Fmt = [&](uint16_t ACh, uint32_t ARate, uint16_t ABits) {
    return "fmt " + Le32(16) + Le16(1) + Le16(ACh) + Le32(ARate) + Le32(0) + Le16(0) + Le16(ABits);
  };
  const auto Riff = [&](const std::string& ABody) { return "RIFF" + Le32(0) + "WAVE" + ABody; };
  const std::string Pcm(48000, '\0');  // one second of 24 kHz mono 16-bit
  struct TCase {
    const char* Name;
    std::string Bytes;
    bool Ok;
    int32_t Rate;
    int32_t Ms;
  };
  const TCase Cases[] = {
      {"plain", Riff(Fmt(1, 24000, 16) + "data" + Le32(48000) + Pcm), true, 24000, 1000},
      {"stereo 8-bit", Riff(Fmt(2, 8000, 8) + "data" + Le32(48000) + Pcm), true, 8000, 3000},
      {"odd chunk is padded",
       Riff("LIST" + Le32(3) + "abc" + std::string(1, '\0') + Fmt(1, 24000, 16) + "data" +
            Le32(24000) + Pcm),
       true, 24000, 500},
      {"data size 0 means the rest of the file", Riff(Fmt(1, 24000, 16) + "data" + Le32(0) + Pcm),
       true, 24000, 1000},
      {"data size beyond the file", Riff(Fmt(1, 24000, 16) + "data" + Le32(0xFFFFFFFF) + Pcm), true,
       24000, 1000},
      {"no data chunk", Riff(Fmt(1, 24000, 16) + "junk" + Le32(48000) + Pcm), true, 24000, 1000},
      {"no fmt chunk", Riff("data" + Le32(48000) + Pcm), false, 0, 0},
      {"zero channels", Riff(Fmt(0, 24000, 16) + "data" + Le32(48000) + Pcm), false, 0, 0},
      {"under one byte per second", Riff(Fmt(1, 1, 4) + "data" + Le32(48000) + Pcm), false, 0, 0},
      {"fmt beyond the first 1024 bytes",
       Riff("pad " + Le32(1100) + std::string(1100, 'x') + Fmt(1, 24000, 16) + "data" + Le32(0) +
            Pcm),
       false, 0, 0},
      {"shorter than a header", Riff(Fmt(1, 24000, 16)).substr(0, 40), false, 0, 0},
      {"not RIFF", "RIFX" + Riff(Fmt(1, 24000, 16) + "data" + Le32(0) + Pcm).substr(4), false, 0,
       0},
      {"empty", "", false, 0, 0},
  };
  const std::string File =
      (fs::temp_directory_path() / ("quavox-probe-" + std::to_string(::getpid()) + ".wav"))
          .string();
  for (const TCase& c : Cases) {
    WriteFileBytes(File,
                   std::span(reinterpret_cast<const uint8_t*>(c.Bytes.data()), c.Bytes.size()));
    int32_t Rate = -1, Ms = -1;
    int64_t Size = -1;
    EXPECT_EQ(ProbeWavFile(File, Rate, Ms, Size), c.Ok) << c.Name;
    if (!c.Ok) continue;
    EXPECT_EQ(Rate, c.Rate) << c.Name;
    EXPECT_EQ(Ms, c.Ms) << c.Name;
    EXPECT_EQ(Size, static_cast<int64_t>(c.Bytes.size())) << c.Name;
  }
  fs::remove(File);
  int32_t Rate = 0, Ms = 0;
  int64_t Size = 0;
  EXPECT_FALSE(ProbeWavFile(File, Rate, Ms, Size));
  EXPECT_FALSE(ProbeWavFile(fs::temp_directory_path().string(), Rate, Ms, Size));
}

// Hits share the bytes of a clip while anyone holds them; a clip stored anew under the
// same key, or dropped, is never served from an older holder's bytes.
TEST_F(CacheTest, HitsShareOneCopyOfAClipWhileItIsHeld) {
  auto Cache = Open();
  const TBytes First = MakeWav(4800, 1);
  const TBytes Second = MakeWav(4800, 2);
  Cache->Put("k1", MakeResult(First), "Gate change");

  TTtsResult A, B;
  ASSERT_TRUE(Cache->TryGet("k1", A));
  ASSERT_TRUE(Cache->TryGet("k1", B));
  EXPECT_EQ(A.Wav.data(), B.Wav.data());

  Cache->Put("k1", MakeResult(Second), "Gate change");
  TTtsResult C;
  ASSERT_TRUE(Cache->TryGet("k1", C));
  EXPECT_EQ(C.Wav, Second);
  EXPECT_EQ(A.Wav, First) << "a holder's bytes never change";

  ASSERT_TRUE(Cache->Remove("k1"));
  Cache->Put("k1", MakeResult(First), "Gate change");
  A = B = C = TTtsResult{};
  TTtsResult D, E;
  ASSERT_TRUE(Cache->TryGet("k1", D));
  ASSERT_TRUE(Cache->TryGet("k1", E));
  EXPECT_EQ(D.Wav, First);
  EXPECT_EQ(D.Wav.data(), E.Wav.data());
}

// The most recently hit clips are answered from memory, without their files; the memory
// follows every change of the table, so a removed, cleared or replaced clip is never served.
TEST_F(CacheTest, RecentlyHitClipsAreServedFromMemoryUntilTheTableChanges) {
  auto Cache = Open();
  const TBytes Wav = MakeWav(4800, 1);
  Cache->SetMemoryBudget(static_cast<int64_t>(Wav.size()) * 2);
  for (const char* Key : {"k1", "k2", "k3"})
    Cache->Put(Key, MakeResult(Wav), "Gate change");
  Cache->Flush();
  const auto Hit = [&](const std::string& AKey) {
    TTtsResult r;
    return Cache->TryGet(AKey, r) && r.Wav == Wav;
  };
  ASSERT_TRUE(Hit("k1"));
  ASSERT_TRUE(Hit("k2"));
  fs::remove(Dir + "k1.wav");
  fs::remove(Dir + "k2.wav");
  EXPECT_TRUE(Hit("k1")) << "held in memory, no file read";
  EXPECT_TRUE(Hit("k2"));
  EXPECT_EQ(Cache->MemoryBytes(), static_cast<int64_t>(Wav.size()) * 2);

  ASSERT_TRUE(Hit("k3"));  // k1 is now the least recently hit and leaves memory
  EXPECT_FALSE(Hit("k1"));
  EXPECT_TRUE(Hit("k2"));

  ASSERT_TRUE(Cache->Remove("k2"));
  EXPECT_FALSE(Hit("k2"));
  const TBytes Newer = MakeWav(4800, 2);
  Cache->Put("k3", MakeResult(Newer), "Gate change");
  TTtsResult r;
  ASSERT_TRUE(Cache->TryGet("k3", r));
  EXPECT_EQ(r.Wav, Newer);

  Cache->SetMemoryBudget(0);
  EXPECT_EQ(Cache->MemoryBytes(), 0);
  Cache->SetMemoryBudget(1 << 20);
  ASSERT_TRUE(Cache->TryGet("k3", r));
  EXPECT_GT(Cache->MemoryBytes(), 0);
  Cache->Clear();
  EXPECT_EQ(Cache->MemoryBytes(), 0);
  EXPECT_FALSE(Cache->TryGet("k3", r));
}

// The bytes an open file holds, read through its descriptor; none without a file.
TBytes FileBytes(const std::shared_ptr<const TOpenFile>& AFile) {
  if (!AFile) return {};
  TBytes Bytes(1 << 20);
  const ssize_t n = ::pread(AFile->Fd(), Bytes.data(), Bytes.size(), 0);
  Bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  return Bytes;
}

std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

// A clip held in memory comes with its file open once it is under its final name, so it can
// be sent without a copy: that file holds exactly the clip's bytes through every change of
// the key, closes with the last holder once the clip leaves memory, and no more than
// MaxOpenFiles stay open however many clips are hit.
TEST_F(CacheTest, ClipsHeldInMemoryComeWithTheirFileWhileTheTableKeepsThem) {
  auto Cache = Open();
  Cache->SetMemoryBudget(64 << 20);
  const TBytes First = MakeWav(4800, 1);
  const TBytes Second = MakeWav(4800, 2);
  const auto Hit = [&](const std::string& AKey) {
    TTtsResult r;
    EXPECT_TRUE(Cache->TryGet(AKey, r)) << AKey;
    return r.Wav;
  };
  Cache->Put("k1", MakeResult(First), "Gate change");
  EXPECT_EQ(Hit("k1").File(), nullptr) << "not under its final name yet";
  Cache->Flush();
  const TSharedBytes Old = Hit("k1");
  ASSERT_NE(Old.File(), nullptr);
  EXPECT_EQ(FileBytes(Old.File()), First);

  Cache->Put("k1", MakeResult(Second), "Gate change");
  EXPECT_EQ(Hit("k1").File(), nullptr) << "the old file never comes with the new clip";
  Cache->Flush();
  Hit("k1");
  const TSharedBytes New = Hit("k1");
  ASSERT_NE(New.File(), nullptr);
  EXPECT_EQ(FileBytes(New.File()), Second);
  EXPECT_EQ(FileBytes(Old.File()), First) << "a holder's file keeps its bytes";

  ASSERT_TRUE(Cache->Remove("k1"));
  TTtsResult Gone;
  EXPECT_FALSE(Cache->TryGet("k1", Gone));
  EXPECT_EQ(FileBytes(New.File()), Second) << "a reply still sending it finishes";

  const std::size_t Idle = OpenDescriptors() - 2;  // Old's and New's files
  std::vector<std::string> Keys;
  for (std::size_t i = 0; i < TWavCache::MaxOpenFiles + 8; ++i) {
    Keys.push_back("m" + std::to_string(i));
    Cache->Put(Keys.back(), MakeResult(MakeWav(480, static_cast<int>(i))), "Gate change");
  }
  Cache->Flush();
  for (const std::string& Key : Keys) {
    Hit(Key);
    EXPECT_EQ(FileBytes(Hit(Key).File()), Hit(Key).Bytes()) << Key;
  }
  EXPECT_EQ(OpenDescriptors(), Idle + 2 + TWavCache::MaxOpenFiles);
  Cache->SetMemoryBudget(0);
  EXPECT_EQ(Hit(Keys.back()).File(), nullptr);
  EXPECT_EQ(OpenDescriptors(), Idle + 2);
  Cache->SetMemoryBudget(64 << 20);
  Hit(Keys.back());
  ASSERT_NE(Hit(Keys.back()).File(), nullptr);
  Cache->Clear();
  EXPECT_EQ(OpenDescriptors(), Idle + 2);
}

TEST_F(CacheTest, HitFillsTheResultAndCountersFollowLookups) {
  auto Cache = Open();
  EXPECT_EQ(Cache->Stats().HitRate(), 0.0);
  const TBytes Wav = MakeWav(4800);
  Cache->Put("k1", MakeResult(Wav, "v1", 1.25f), "Flight CA981");

  TTtsResult r;
  r.Engine = "left over";
  ASSERT_TRUE(Cache->TryGet("k1", r));
  EXPECT_EQ(r.Wav, Wav);
  EXPECT_EQ(r.SampleRate, 24000);
  EXPECT_EQ(r.Channels, 1);
  EXPECT_EQ(r.DurationMs, MakeResult(Wav).DurationMs);
  EXPECT_EQ(r.SynthMs, 0);
  EXPECT_EQ(r.VoiceId, "v1");
  EXPECT_EQ(r.Language, "zh");
  EXPECT_FLOAT_EQ(r.Speed, 1.25f);
  EXPECT_EQ(r.ETag, "k1");
  EXPECT_TRUE(r.FromCache);
  EXPECT_EQ(r.Engine, "");
  EXPECT_EQ(r.Gender, tgAuto);

  EXPECT_FALSE(Cache->TryGet("k2", r));
  EXPECT_TRUE(r.Wav.empty());
  TBytes Audio;
  EXPECT_TRUE(Cache->ReadAudio("k1", Audio));
  EXPECT_EQ(Audio, Wav);
  EXPECT_FALSE(Cache->ReadAudio("k2", Audio));
  EXPECT_TRUE(Audio.empty());

  const TCacheStats s = Cache->Stats();
  EXPECT_EQ(s.Count, 1);
  EXPECT_EQ(s.Bytes, static_cast<int64_t>(Wav.size()));
  EXPECT_EQ(s.Hits, 1);
  EXPECT_EQ(s.Misses, 1);
  EXPECT_DOUBLE_EQ(s.HitRate(), 0.5);
  // The clip reaches its own name in the background.
  Cache->WaitForPendingSave();
  EXPECT_EQ(Read("k1.wav"), AsText(Wav));
}

TEST_F(CacheTest, EntryTextKeepsTheFirst200Characters) {
  auto Cache = Open();
  std::string Long;
  for (int i = 0; i < 250; ++i)
    Long += "登";
  std::string Emoji(199, 'a');
  Emoji += "\xF0\x9F\x98\x80tail";  // a surrogate pair across the limit stays whole
  Cache->Put("a", MakeResult(MakeWav(100)), Long);
  Cache->Put("b", MakeResult(MakeWav(100)), Emoji);
  Cache->Put("c", MakeResult(MakeWav(100)), "bad \xFF byte");
  const auto Snap = Cache->Snapshot();
  ASSERT_EQ(Snap.size(), 3u);
  EXPECT_EQ(Utf16Length(Snap[0].second.Text), 200u);
  EXPECT_EQ(Snap[1].second.Text, std::string(199, 'a'));
  EXPECT_EQ(Snap[2].second.Text, "bad \xEF\xBF\xBD byte");
}

// Below the free-space floor no new clip is kept (the floor is set beyond any disk, so the
// test needs no full disk); without a floor the same clip is kept.
TEST_F(CacheTest, NoNewClipWhileTheDiskIsUnderTheFreeSpaceFloor) {
  auto Cache = Open();
  Cache->SetMinFreeBytes(INT64_MAX);
  Cache->Put("a", MakeResult(MakeWav(100)), "text");
  Cache->Flush();
  EXPECT_FALSE(Cache->Contains("a"));
  EXPECT_FALSE(Exists("a.wav"));
  EXPECT_TRUE(Logged(llWarn, "the cache's disk has"));
  Cache->SetMinFreeBytes(0);
  Cache->Put("a", MakeResult(MakeWav(100)), "text");
  Cache->Flush();
  EXPECT_TRUE(Cache->Contains("a"));
  EXPECT_TRUE(Exists("a.wav"));
}

// A stored clip is served from memory at once while the background writer puts it under
// its own name; a clip replaced or removed before it got there leaves nothing behind, and
// once the writer is done the folder holds exactly the table's clips.
TEST_F(CacheTest, ClipsReachTheirNamesInTheBackground) {
  const TBytes First = MakeWav(300, 1), Second = MakeWav(400, 2);
  auto Cache = Open();
  Cache->Put("k", MakeResult(First), "k");
  Cache->Put("k", MakeResult(Second), "k");
  Cache->Put("gone", MakeResult(First), "gone");
  EXPECT_TRUE(Cache->Remove("gone"));
  TTtsResult r;
  ASSERT_TRUE(Cache->TryGet("k", r));
  EXPECT_EQ(r.Wav, Second);
  TBytes Audio;
  ASSERT_TRUE(Cache->ReadAudio("k", Audio));
  EXPECT_EQ(Audio, Second);

  Cache->WaitForPendingSave();
  EXPECT_EQ(Read("k.wav"), AsText(Second));
  EXPECT_FALSE(Exists("gone.wav"));
  for (const auto& f : fs::directory_iterator(Dir))
    EXPECT_FALSE(EndsWith(f.path().filename().string(), ".tmp")) << f.path();
  Cache->Flush();
  EXPECT_EQ(IndexKeys(), (Strings{"k"}));
  Cache.reset();
  ASSERT_TRUE(Open()->TryGet("k", r));
  EXPECT_EQ(r.Wav, Second);
}

// A clip that cannot be put under its name is dropped with the warning of a failed store,
// and never reaches the index.
TEST_F(CacheTest, ClipThatCannotBePlacedIsDropped) {
  auto Cache = Open();
  fs::create_directories(Dir + "k.wav/inner");
  Cache->Put("k", MakeResult(MakeWav(100)), "k");
  Cache->WaitForPendingSave();
  EXPECT_FALSE(Cache->Contains("k"));
  EXPECT_EQ(Cache->Stats().Count, 0);
  EXPECT_EQ(Cache->Stats().Bytes, 0);
  EXPECT_TRUE(Logged(llWarn, "cannot write cache to " + Dir + ": "));
  Cache->Flush();
  EXPECT_EQ(IndexKeys(), Strings{});
  for (const auto& f : fs::directory_iterator(Dir))
    EXPECT_FALSE(EndsWith(f.path().filename().string(), ".tmp")) << f.path();
}

TEST_F(CacheTest, BudgetBoundsTheWavSizeOnlyWhenSet) {
  const TBytes Big = MakeWav(1024 * 1024);  // 2 MiB
  {
    auto Cache = Open(0);
    Cache->Put("big", MakeResult(Big), "t");
    EXPECT_TRUE(Cache->Contains("big"));
    Cache->Clear();
  }
  auto Cache = Open(1024 * 1024);
  TAppLog::Clear();
  Cache->Put("big", MakeResult(Big), "t");
  EXPECT_FALSE(Cache->Contains("big"));
  EXPECT_FALSE(Exists("big.wav"));
  EXPECT_TRUE(TAppLog::Entries().empty());
}

TEST_F(CacheTest, EvictsTheLeastRecentlyUsedBeyondTheBudget) {
  const TBytes Wav = MakeWav(1000);
  auto Cache = Open(3 * static_cast<int64_t>(Wav.size()));
  for (const char* Key : {"a", "b", "c"})
    Cache->Put(Key, MakeResult(Wav), Key);
  TTtsResult r;
  ASSERT_TRUE(Cache->TryGet("a", r));
  Cache->Put("d", MakeResult(Wav), "d");

  EXPECT_EQ(Keys(*Cache), (Strings{"c", "a", "d"}));
  Cache->WaitForPendingSave();
  EXPECT_FALSE(Exists("b.wav"));
  EXPECT_TRUE(Exists("a.wav"));
  const auto Snap = Cache->Snapshot();
  EXPECT_TRUE(std::is_sorted(Snap.begin(), Snap.end(), [](const auto& x, const auto& y) {
    return x.second.Stamp < y.second.Stamp;
  }));
  const TCacheStats s = Cache->Stats();
  EXPECT_EQ(s.Count, 3);
  EXPECT_EQ(s.Bytes, 3 * static_cast<int64_t>(Wav.size()));
  EXPECT_EQ(s.BudgetBytes, 3 * static_cast<int64_t>(Wav.size()));
  EXPECT_EQ(s.Evictions, 1);

  // A larger clip pushes out as many old ones as it needs; replacing a key counts it once.
  Cache->Put("e", MakeResult(MakeWav(1900)), "e");
  EXPECT_EQ(Keys(*Cache), (Strings{"d", "e"}));
  Cache->Put("d", MakeResult(Wav), "d again");
  EXPECT_EQ(Keys(*Cache), (Strings{"e", "d"}));
  EXPECT_EQ(Cache->Stats().Bytes, static_cast<int64_t>(Wav.size() + MakeWav(1900).size()));
  EXPECT_EQ(Cache->Stats().Evictions, 3);

  // SetBudget evicts at once and saves the index at once.
  Cache->SetBudget(static_cast<int64_t>(Wav.size()));
  EXPECT_EQ(Keys(*Cache), (Strings{"d"}));
  EXPECT_EQ(IndexKeys(), (Strings{"d"}));
  Cache->SetBudget(-5);
  EXPECT_EQ(Cache->Stats().BudgetBytes, 0);
}

TEST_F(CacheTest, DisabledCacheAnswersNoLookupsButStillManagesEntries) {
  auto Cache = Open();
  Cache->Put("a", MakeResult(MakeWav(100)), "a");
  Cache->Put("b", MakeResult(MakeWav(100)), "b");
  Cache->SetEnabled(false);
  EXPECT_FALSE(Cache->Enabled());
  TTtsResult r;
  EXPECT_FALSE(Cache->TryGet("a", r));
  EXPECT_FALSE(Cache->TryGet("zz", r));
  EXPECT_EQ(Cache->Stats().Misses, 0);
  Cache->Put("c", MakeResult(MakeWav(100)), "c");
  EXPECT_FALSE(Cache->Contains("c"));
  EXPECT_TRUE(Cache->Contains("a"));
  TBytes Audio;
  EXPECT_TRUE(Cache->ReadAudio("a", Audio));
  EXPECT_TRUE(Cache->Remove("a"));
  EXPECT_FALSE(Cache->Remove("a"));
  Cache->Clear();
  EXPECT_EQ(Cache->Stats().Count, 0);
  EXPECT_FALSE(Exists("b.wav"));
}

TEST_F(CacheTest, KeysThatCannotNameAFileAreNotStored) {
  auto Cache = Open();
  for (const std::string& Key :
       {std::string(), std::string("../escape"), std::string("a/b"), std::string("nul\0x", 5),
        std::string("\xFF"), std::string(300, 'k')})
    Cache->Put(Key, MakeResult(MakeWav(100)), "t");
  EXPECT_EQ(Cache->Stats().Count, 0);
  EXPECT_FALSE(fs::exists(fs::path(Dir).parent_path().parent_path() / "escape.wav"));
}

TEST_F(CacheTest, UnreadableFileTurnsIntoAMissAndDropsItsEntry) {
  auto Cache = Open();
  Cache->Put("gone", MakeResult(MakeWav(100)), "t");
  Cache->Put("hollow", MakeResult(MakeWav(100)), "t");
  Cache->Put("kept", MakeResult(MakeWav(100)), "t");
  Cache->Flush();
  fs::remove(Dir + "gone.wav");
  Write("hollow.wav", std::string_view(""));  // what a power failure can leave

  for (const std::string& Key : {std::string("gone"), std::string("hollow")}) {
    TTtsResult r;
    EXPECT_FALSE(Cache->TryGet(Key, r));
    EXPECT_TRUE(Logged(llWarn, "cannot read cache file (" + Key + ".wav), dropping the entry"));
    EXPECT_FALSE(Cache->Contains(Key));
  }
  EXPECT_EQ(Cache->Stats().Misses, 2);
  EXPECT_EQ(Cache->Stats().Count, 1);
  Cache->Flush();
  EXPECT_EQ(IndexKeys(), (Strings{"kept"}));
}

TEST_F(CacheTest, IndexIsWrittenInTheSharedJsonLayout) {
  {
    auto Cache = Open();
    TTtsResult r = MakeResult(MakeWav(100), "v\"1\\", 1.23456f);
    r.Language = "ja";
    Cache->Put("k1", r, "line\nbreak \"quoted\" \x01 和 ✈");
    Cache->Put("k2", MakeResult(MakeWav(200)), "");
  }
  const std::string Text = Read("index.json");
  ASSERT_EQ(Text.substr(0, 3), "\xEF\xBB\xBF");
  const auto Root = ParseJsonObject(StripUtf8Bom(Text));
  ASSERT_TRUE(Root);
  EXPECT_EQ(JsonDumpIndented(*Root), Text.substr(3));
  const TJson& e = (*Root)["k1"];
  Strings Members;
  for (const auto& [Name, Value] : e.items())
    Members.push_back(Name);
  EXPECT_EQ(Members, (Strings{"file", "voice", "text", "language", "speed", "sampleRate",
                              "durationMs", "bytes"}));
  EXPECT_EQ(e["file"], "k1.wav");
  EXPECT_EQ(e["voice"], "v\"1\\");
  EXPECT_EQ(e["text"], "line\nbreak \"quoted\" \x01 和 ✈");
  EXPECT_EQ(e["language"], "ja");
  EXPECT_EQ(e["speed"], 1.235);
  EXPECT_EQ(e["sampleRate"], 24000);
  EXPECT_EQ(e["bytes"], MakeWav(100).size());
  EXPECT_NE(Text.find("\"speed\": 1.0,"), std::string::npos);

  auto Empty = Open();
  Empty->Clear();
  EXPECT_EQ(Read("index.json"), "\xEF\xBB\xBF{}");
}

TEST_F(CacheTest, RestartKeepsEntriesAndTheirRecencyOrder) {
  {
    auto Cache = Open();
    for (const char* Key : {"a", "b", "c"})
      Cache->Put(Key, MakeResult(MakeWav(300), std::string("voice-") + Key, 0.9f), Key);
    TTtsResult r;
    ASSERT_TRUE(Cache->TryGet("a", r));
  }
  auto Cache = Open();
  EXPECT_EQ(Keys(*Cache), (Strings{"b", "c", "a"}));
  EXPECT_TRUE(Logged(llInfo, "cache loaded: 3 entries / 0.0 MB from " + Dir));
  const TCacheEntry e = Cache->Snapshot()[0].second;
  EXPECT_EQ(e.FileName, "b.wav");
  EXPECT_EQ(e.VoiceId, "voice-b");
  EXPECT_EQ(e.Text, "b");
  EXPECT_EQ(e.Language, "zh");
  EXPECT_FLOAT_EQ(e.Speed, 0.9f);
  EXPECT_EQ(e.SampleRate, 24000);
  EXPECT_EQ(e.DurationMs, MakeResult(MakeWav(300)).DurationMs);
  EXPECT_EQ(e.Bytes, static_cast<int32_t>(MakeWav(300).size()));
  TTtsResult r;
  EXPECT_TRUE(Cache->TryGet("b", r));
  EXPECT_FALSE(Logged(llWarn, ""));
}

TEST_F(CacheTest, IndexReadingIsLenientAndNeverTrustsFileNames) {
  for (const char* Name :
       {"a.wav", "b.wav", "c.wav", "d.wav", "e.wav", "f.wav", "g.wav", "h.wav", "x.wav"})
    Write(Name, MakeWav(100));
  Write("index.json", R"({
    "a": {"file": "a.wav", "voice": null, "speed": "1.5", "sampleRate": "16000",
          "durationMs": 12.9, "bytes": -4, "text": 7, "extra": [1, {"x": 2}]},
    "b": {"file": "b.wav", "speed": [2], "language": {"nested": true}, "sampleRate": 1e30},
    "c": {"file": "x.wav", "voice": "points at another clip"},
    "d": {"file": "../d.wav"},
    "e": {"voice": "no file member"},
    "gone": {"file": "gone.wav"},
    "scalar": 5,
    "list": [1, 2],
    "f": {"file": "f.wav", "voice": "first"},
    "f": {"file": "f.wav", "voice": "second"},
    "g": {"file": "G.WAV"},
    "h": {"file": "h.WAV", "voice": "names a clip that is not there"},
    "index": {"file": "index.json"}
  })");
  auto Cache = Open();
  std::map<std::string, TCacheEntry> ByKey;
  for (const auto& [Key, Entry] : Cache->Snapshot())
    ByKey[Key] = Entry;
  // c to h were skipped and adopted from their own files; x as well.
  EXPECT_EQ(Keys(*Cache), (Strings{"a", "b", "f", "c", "d", "e", "g", "h", "x"}));
  EXPECT_EQ(ByKey["a"].VoiceId, "");
  EXPECT_EQ(ByKey["a"].Text, "7");
  EXPECT_FLOAT_EQ(ByKey["a"].Speed, 1.5f);
  EXPECT_EQ(ByKey["a"].SampleRate, 16000);
  EXPECT_EQ(ByKey["a"].DurationMs, 12);
  EXPECT_EQ(ByKey["a"].Bytes, 0);
  EXPECT_FLOAT_EQ(ByKey["b"].Speed, 1.0f);
  EXPECT_EQ(ByKey["b"].Language, "");
  EXPECT_EQ(ByKey["b"].SampleRate, 0);
  EXPECT_EQ(ByKey["c"].VoiceId, "");
  EXPECT_EQ(ByKey["f"].VoiceId, "second");
  EXPECT_EQ(ByKey["g"].VoiceId, "");
  EXPECT_EQ(ByKey["h"].VoiceId, "");
  EXPECT_EQ(ByKey["h"].FileName, "h.wav");
  EXPECT_TRUE(Logged(llInfo, "adopted 6 cached clip(s) that the index did not know about"));
}

TEST_F(CacheTest, EntriesWithVanishedFilesDoNotMakeTheIndexDirty) {
  Write("a.wav", MakeWav(100));
  const std::string Index =
      "{\"a\": {\"file\": \"a.wav\"}, \"gone\": {\"file\": \"gone.wav\", \"voice\": \"v\"}}";
  Write("index.json", Index);
  Open().reset();
  EXPECT_EQ(Read("index.json"), Index);
}

TEST_F(CacheTest, UnusableMainIndexFallsBackToTheBackupThenAdopts) {
  const TBytes Wav = MakeWav(100);
  std::string GoodIndex;
  {
    auto Cache = Open();
    Cache->Put("a", MakeResult(Wav, "va"), "text a");
    Cache->Flush();
    Clock.Ms += 100;
    Cache->Put("b", MakeResult(Wav, "vb"), "text b");
    Cache->Flush();
  }
  ASSERT_EQ(IndexKeys("index.json.bak"), (Strings{"a"}));
  GoodIndex = Read("index.json");
  struct TCase {
    const char* Name;
    std::optional<std::string> Main;  // nothing: the file is deleted
    bool NotJson;
  };
  const TCase Cases[] = {
      {"deleted", std::nullopt, false},
      {"empty", std::string(), true},
      {"garbage", std::string("\x00\xFF garbage", 10), true},
      {"array", std::string("[{\"a\": 1}]"), true},
      {"torn", GoodIndex.substr(0, GoodIndex.size() / 2), true},
      {"trailing bytes", GoodIndex + "}", true},
  };
  const std::string Backup = Read("index.json.bak");
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    Write("index.json.bak", Backup);
    fs::remove(Dir + "index.json");
    if (c.Main) Write("index.json", *c.Main);
    TAppLog::Clear();
    auto Cache = Open();
    EXPECT_TRUE(Logged(llWarn, "main cache index was unusable, recovered from the backup"));
    EXPECT_EQ(Logged(llWarn, "cache index is not valid JSON: index.json"), c.NotJson);
    EXPECT_TRUE(Logged(llInfo, "adopted 1 cached clip(s) that the index did not know about"));
    const auto Snap = Cache->Snapshot();
    ASSERT_EQ(Snap.size(), 2u);
    EXPECT_EQ(Snap[0].first, "a");
    EXPECT_EQ(Snap[0].second.VoiceId, "va");
    EXPECT_EQ(Snap[1].first, "b");
    EXPECT_EQ(Snap[1].second.VoiceId, "");
    EXPECT_FLOAT_EQ(Snap[1].second.Speed, 1.0f);
    EXPECT_EQ(Snap[1].second.Text, "");
    // Shutting down repairs the main index, so the next start needs no backup.
    Cache.reset();
    EXPECT_EQ(IndexKeys(), (Strings{"a", "b"}));
  }
  TAppLog::Clear();
  Open().reset();
  EXPECT_FALSE(Logged(llWarn, ""));

  // Both indexes unusable: the clips are adopted and no audio is lost.
  Write("index.json", std::string_view("{"));
  Write("index.json.bak", std::string_view("nope"));
  auto Cache = Open();
  EXPECT_EQ(Keys(*Cache), (Strings{"a", "b"}));
  EXPECT_FALSE(Logged(llWarn, "main cache index was unusable"));
}

TEST_F(CacheTest, AdoptsWavFilesAndClearsAwayCrashTemporaries) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = 16000;
  Pcm.Data.assign(8000, 0.25f);
  const TBytes Hand = PcmToWav(Pcm);
  Write("hand.wav", Hand);
  Write("junk.wav", std::string_view("not audio at all, but long enough to be a header.."));
  Write("k1.wav.4242-7.tmp", MakeWav(100));
  Write("index.json.tmp", std::string_view("{\"k1\": {\"file\": \"k1.wav\"}}"));
  Write("Quavox_engine_cuda_1.zip.part", std::string_view("download in progress"));
  fs::create_directory(Dir + "folder.wav");

  auto Cache = Open();
  const auto Snap = Cache->Snapshot();
  ASSERT_EQ(Snap.size(), 1u);
  EXPECT_EQ(Snap[0].first, "hand");
  const TCacheEntry& e = Snap[0].second;
  EXPECT_EQ(e.FileName, "hand.wav");
  EXPECT_EQ(e.SampleRate, 16000);
  EXPECT_EQ(e.DurationMs, 500);
  EXPECT_EQ(e.Bytes, static_cast<int32_t>(Hand.size()));
  EXPECT_FLOAT_EQ(e.Speed, 1.0f);
  EXPECT_EQ(e.VoiceId + e.Text + e.Language, "");
  EXPECT_TRUE(Logged(llInfo, "adopted 1 cached clip(s) that the index did not know about"));
  EXPECT_TRUE(Exists("junk.wav"));
  EXPECT_FALSE(Exists("k1.wav.4242-7.tmp"));
  EXPECT_FALSE(Exists("index.json.tmp"));
  EXPECT_TRUE(Exists("Quavox_engine_cuda_1.zip.part"));
  TTtsResult r;
  EXPECT_TRUE(Cache->TryGet("hand", r));
  EXPECT_EQ(r.Wav, Hand);
  EXPECT_FALSE(Cache->TryGet("k1", r));
}

TEST_F(CacheTest, SavesAreThrottledToOnePerIntervalUntilForced) {
  auto Cache = Open();
  Cache->Put("a", MakeResult(MakeWav(100)), "a");
  Cache->WaitForPendingSave();
  EXPECT_EQ(IndexKeys(), (Strings{"a"}));

  Clock.Ms += 100;
  Cache->Put("b", MakeResult(MakeWav(100)), "b");
  Cache->WaitForPendingSave();
  EXPECT_EQ(IndexKeys(), (Strings{"a"}));
  EXPECT_FALSE(Exists("index.json.bak"));

  Cache->Flush();
  EXPECT_EQ(IndexKeys(), (Strings{"a", "b"}));
  EXPECT_EQ(IndexKeys("index.json.bak"), (Strings{"a"}));

  // The interval counts from the last save, forced ones included.
  Clock.Ms += 1999;
  Cache->Put("c", MakeResult(MakeWav(100)), "c");
  Cache->WaitForPendingSave();
  EXPECT_EQ(IndexKeys(), (Strings{"a", "b"}));
  Clock.Ms += 1;
  Cache->Put("d", MakeResult(MakeWav(100)), "d");
  Cache->WaitForPendingSave();
  EXPECT_EQ(IndexKeys(), (Strings{"a", "b", "c", "d"}));

  // Recency alone never rewrites the index.
  TTtsResult r;
  ASSERT_TRUE(Cache->TryGet("a", r));
  Cache->Flush();
  EXPECT_EQ(IndexKeys(), (Strings{"a", "b", "c", "d"}));
}

TEST_F(CacheTest, DestructionFlushesTheLastChanges) {
  {
    auto Cache = Open();
    Cache->Put("a", MakeResult(MakeWav(100)), "a");
    Clock.Ms += 100;
    Cache->Put("b", MakeResult(MakeWav(100)), "b");
  }
  EXPECT_EQ(IndexKeys(), (Strings{"a", "b"}));
}

TEST_F(CacheTest, RemoveDeletesTheFileAndSavesAtOnce) {
  auto Cache = Open();
  EXPECT_FALSE(Cache->Remove("nothing"));
  EXPECT_FALSE(Exists("index.json"));
  Cache->Put("a", MakeResult(MakeWav(100)), "a");
  Cache->WaitForPendingSave();
  Clock.Ms += 100;
  Cache->Put("b", MakeResult(MakeWav(100)), "b");
  EXPECT_TRUE(Cache->Remove("a"));
  EXPECT_FALSE(Exists("a.wav"));
  EXPECT_EQ(IndexKeys(), (Strings{"b"}));
  EXPECT_EQ(Cache->Stats().Bytes, static_cast<int64_t>(MakeWav(100).size()));
}

TEST_F(CacheTest, ClearDeletesEveryClipButKeepsCountersAndOtherFiles) {
  auto Cache = Open();
  Cache->Put("a", MakeResult(MakeWav(100)), "a");
  Cache->Put("b", MakeResult(MakeWav(100)), "b");
  Write("stray.wav", std::string_view("x"));
  Write("hub-7.cln", std::string_view("pack"));
  TTtsResult r;
  ASSERT_TRUE(Cache->TryGet("a", r));
  Cache->Clear();
  const TCacheStats s = Cache->Stats();
  EXPECT_EQ(s.Count, 0);
  EXPECT_EQ(s.Bytes, 0);
  EXPECT_EQ(s.Hits, 1);
  for (const char* Name : {"a.wav", "b.wav", "stray.wav"})
    EXPECT_FALSE(Exists(Name)) << Name;
  EXPECT_TRUE(Exists("hub-7.cln"));
  EXPECT_EQ(IndexKeys(), Strings{});
  EXPECT_TRUE(Logged(llInfo, "cache cleared"));

  // A "*.wav" that cannot be deleted is reported, and the rest of the cache still works.
  fs::create_directories(Dir + "stuck.wav/inner");
  Cache->Put("c", MakeResult(MakeWav(100)), "c");
  Cache->Clear();
  EXPECT_TRUE(Logged(llWarn,
                     "cache cleared, but 1 file(s) were locked and could not be deleted; they will "
                     "reappear on the next start"));
  EXPECT_FALSE(Exists("c.wav"));
  Cache->Put("c", MakeResult(MakeWav(100)), "c");
  EXPECT_TRUE(Cache->Contains("c"));
}

TEST_F(CacheTest, WriteFailuresKeepTheTableAndRetryLater) {
  auto Cache = Open();
  Cache->Put("a", MakeResult(MakeWav(100)), "a");
  Cache->WaitForPendingSave();

  // The index temporary cannot be created.
  Clock.Ms += 100;
  Cache->Put("b", MakeResult(MakeWav(100)), "b");
  fs::create_directory(Dir + "index.json.tmp");
  Cache->Flush();
  EXPECT_TRUE(Logged(llWarn, "cannot write cache index: "));
  EXPECT_EQ(IndexKeys(), (Strings{"a"}));
  fs::remove(Dir + "index.json.tmp");
  Cache->Flush();
  EXPECT_EQ(IndexKeys(), (Strings{"a", "b"}));

  // The final rename fails.
  Cache->Put("c", MakeResult(MakeWav(100)), "c");
  fs::rename(Dir + "index.json", Dir + "saved");
  fs::create_directories(Dir + "index.json/inner");
  Cache->Flush();
  EXPECT_TRUE(Logged(llWarn, "cannot replace cache index (Win32 "));
  EXPECT_FALSE(Exists("index.json.tmp"));
  fs::remove_all(Dir + "index.json");
  Cache->Flush();
  EXPECT_EQ(IndexKeys(), (Strings{"a", "b", "c"}));

  // The clip cannot be written: the table stays as it was.
  const std::string DirAsFile = fs::path(Dir).parent_path().string();
  fs::remove_all(Dir);
  WriteFileBytes(DirAsFile, TBytes{'x'});
  Cache->Put("d", MakeResult(MakeWav(100)), "d");
  EXPECT_TRUE(Logged(llWarn, "cannot write cache to " + Dir + ": "));
  EXPECT_FALSE(Cache->Contains("d"));
  EXPECT_EQ(Cache->Stats().Count, 3);
  fs::remove(DirAsFile);
}

// Several service threads on one cache: same and different keys, lookups, stores and
// removals at once, with eviction and background index saves running.
TEST_F(CacheTest, ThreadsShareOneCacheSafely) {
  constexpr int Keys = 10;
  std::vector<TBytes> Wavs;
  for (int k = 0; k < Keys; ++k)
    Wavs.push_back(MakeWav(200 + 150 * k, k));
  const auto KeyOf = [](int k) { return "key" + std::to_string(k); };
  auto Cache = Open(static_cast<int64_t>(Wavs[Keys - 1].size()) * 4);
  std::atomic<int> Wrong{0};
  std::atomic<int> Hits{0};
  std::vector<std::thread> Threads;
  for (int t = 0; t < 6; ++t) {
    Threads.emplace_back([&, t] {
      std::mt19937 Rng(static_cast<unsigned>(t) * 7919u);
      for (int i = 0; i < 150; ++i) {
        const int k =
            t % 2 == 0 ? static_cast<int>(Rng() % Keys) : 3;  // odd threads race on one key
        const unsigned Op = Rng() % 10;
        TTtsResult r;
        if (Op < 4) {
          if (Cache->TryGet(KeyOf(k), r)) {
            ++Hits;
            if (r.Wav != Wavs[static_cast<std::size_t>(k)]) ++Wrong;
          }
        } else if (Op < 8) {
          Cache->Put(KeyOf(k), MakeResult(Wavs[static_cast<std::size_t>(k)]), KeyOf(k));
          Clock.Ms += 700;
        } else if (Op < 9) {
          Cache->Remove(KeyOf(k));
        } else {
          (void)Cache->Stats();
          (void)Cache->Snapshot();
        }
      }
    });
  }
  for (auto& t : Threads)
    t.join();
  Cache->WaitForPendingSave();
  EXPECT_EQ(Wrong.load(), 0);
  EXPECT_GT(Hits.load(), 0);
  EXPECT_FALSE(Logged(llWarn, ""));

  // At rest, the table and the folder agree exactly.
  const auto Snap = Cache->Snapshot();
  int64_t Bytes = 0;
  std::set<std::string> Listed;
  for (const auto& [Key, Entry] : Snap) {
    Bytes += Entry.Bytes;
    Listed.insert(Entry.FileName);
  }
  EXPECT_EQ(Cache->Stats().Bytes, Bytes);
  EXPECT_LE(Bytes, Cache->Stats().BudgetBytes);
  std::set<std::string> OnDisk;
  for (const auto& f : fs::directory_iterator(Dir)) {
    const std::string Name = f.path().filename().string();
    if (Name.rfind("index.json", 0) != 0) OnDisk.insert(Name);
  }
  EXPECT_EQ(OnDisk, Listed);
  Cache.reset();
  auto Again = Open();
  EXPECT_EQ(Again->Snapshot().size(), Snap.size());
}

}  // namespace
}  // namespace quavox
