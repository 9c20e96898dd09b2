#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>

#include "audio/Wav.h"
#include "state/Cache.h"
#include "support/TempDir.h"

namespace {

void Check(bool ACondition) {
  if (!ACondition) __builtin_trap();
}

}  // namespace

// Arbitrary bytes as the cache index in a folder that holds two clips, a.wav and b.wav;
// an input starting with a blank goes into the backup instead, beside an unusable main
// index. Opening must not crash, must keep the table consistent and still know both clips,
// and the index written back must load to the same table.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  namespace fs = std::filesystem;
  using namespace quavox;
  static const TTempDir Scratch("quavox-cache-fuzz");
  const std::string& Dir = Scratch.Path();
  static const TBytes Clip = [] {
    TPcmBuffer Pcm;
    Pcm.SampleRate = 16000;
    Pcm.Data.assign(160, 0.5f);
    return PcmToWav(Pcm);
  }();
  for (const auto& Item : fs::directory_iterator(Dir))
    fs::remove_all(Item.path());
  WriteFileBytes(Dir + "a.wav", Clip);
  WriteFileBytes(Dir + "b.wav", Clip);
  std::span<const uint8_t> Bytes(AData, ASize);
  if (!Bytes.empty() && Bytes[0] == ' ') {
    WriteFileBytes(Dir + "index.json.bak", Bytes.subspan(1));
    WriteFileBytes(Dir + "index.json", TBytes{'{'});
  } else {
    WriteFileBytes(Dir + "index.json", Bytes);
  }

  TCacheSnapshot First;
  {
    TWavCache Cache(Dir, 0);
    First = Cache.Snapshot();
    int64_t Total = 0;
    for (const auto& [Key, Entry] : First) {
      Check(Entry.FileName == Key + ".wav");
      Total += Entry.Bytes;
    }
    const TCacheStats Stats = Cache.Stats();
    Check(Stats.Count == static_cast<int32_t>(First.size()) && Stats.Bytes == Total);
    Check(Cache.Contains("a") && Cache.Contains("b"));
    for (const auto& [Key, Entry] : First) {  // oldest first, so the order stays as it was
      TTtsResult Result;
      Check(Cache.TryGet(Key, Result) && Result.Wav == Clip);
    }
  }
  TWavCache Again(Dir, 0);
  const TCacheSnapshot Second = Again.Snapshot();
  Check(Second.size() == First.size());
  for (std::size_t i = 0; i < First.size() && i < Second.size(); ++i) {
    const TCacheEntry& x = First[i].second;
    const TCacheEntry& y = Second[i].second;
    Check(First[i].first == Second[i].first && x.VoiceId == y.VoiceId && x.Text == y.Text &&
          x.Language == y.Language && x.SampleRate == y.SampleRate &&
          x.DurationMs == y.DurationMs && x.Bytes == y.Bytes &&
          std::fabs(x.Speed - y.Speed) <= 0.0005f * std::max(1.0f, std::fabs(x.Speed)));
  }
  return 0;
}
