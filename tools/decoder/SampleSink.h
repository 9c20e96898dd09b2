// Shared by both decoders: collects mono samples in one block that is handed to the caller
// as it is, so a decoded clip is never copied, and that never grows past the length limit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace quavox::audio {

class TSampleSink {
 public:
  // Ten minutes, and never more than ten minutes at 48 kHz: reference clips last seconds,
  // and a hostile stream (or one that claims an absurd sample rate) must not fill memory.
  static constexpr int64_t MaxSeconds = 600;
  static constexpr int64_t MaxSamples = MaxSeconds * 48000;

  TSampleSink() = default;
  TSampleSink(const TSampleSink&) = delete;
  TSampleSink& operator=(const TSampleSink&) = delete;
  ~TSampleSink() { std::free(FData); }

  // The first rate fixes the clip's rate; false when ARate is not usable or differs from it.
  bool SetRate(int64_t ARate) {
    if (ARate <= 0 || ARate > INT32_MAX) return false;
    if (FRate == 0) FRate = static_cast<int32_t>(ARate);
    return FRate == ARate;
  }
  int32_t Rate() const { return FRate; }
  int64_t Count() const { return FCount; }

  // Room for AFrames more samples, or nullptr when they would pass the limit or memory is out
  // (ATooLong tells which). Write them, then Commit.
  float* Reserve(int64_t AFrames, bool& ATooLong) {
    ATooLong = AFrames < 0 || FCount + AFrames > Limit();
    if (ATooLong) return nullptr;
    if (FCount + AFrames > FCapacity) {
      int64_t NewCapacity = FCapacity < 4096 ? 4096 : FCapacity * 2;
      if (NewCapacity < FCount + AFrames) NewCapacity = FCount + AFrames;
      if (NewCapacity > Limit()) NewCapacity = Limit();
      void* Grown = std::realloc(FData, static_cast<std::size_t>(NewCapacity) * sizeof(float));
      if (!Grown) return nullptr;
      FData = static_cast<float*>(Grown);
      FCapacity = NewCapacity;
    }
    return FData + FCount;
  }
  void Commit(int64_t AFrames) { FCount += AFrames; }

  // Gives the block away; the sink is empty afterwards.
  float* Release() {
    float* Result = FData;
    FData = nullptr;
    FCount = FCapacity = 0;
    return Result;
  }

  // Damaged streams can decode to NaN or far outside full scale; callers rely on -1 ... +1.
  static float Sanitize(float AValue) {
    if (std::isnan(AValue)) return 0.0f;
    return AValue < -1.0f ? -1.0f : (AValue > 1.0f ? 1.0f : AValue);
  }

 private:
  int64_t Limit() const {
    const int64_t ByRate = MaxSeconds * FRate;
    return ByRate < MaxSamples ? ByRate : MaxSamples;
  }

  float* FData = nullptr;
  int64_t FCount = 0;
  int64_t FCapacity = 0;
  int32_t FRate = 0;
};

// Each decoder fills the sink and returns a result of QuavoxAudio.h; the export wrapper
// turns a filled sink into the caller's outputs.
int32_t DecodeMp3Stream(std::span<const uint8_t> AInput, TSampleSink& ASink);
int32_t DecodeOggStream(std::span<const uint8_t> AInput, TSampleSink& ASink);

}  // namespace quavox::audio
