#include <mpg123.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "QuavoxAudio.h"
#include "SampleSink.h"

namespace quavox::audio {

namespace {

// Input goes to libmpg123 in slices as it asks for more, so its internal buffer stays small
// whatever the size of the clip.
constexpr std::size_t FeedSlice = 16384;
// A stream that neither consumes input nor yields samples for this many rounds is stuck.
constexpr int MaxIdleRounds = 4096;

struct TMpg123Deleter {
  void operator()(mpg123_handle* AHandle) const { mpg123_delete(AHandle); }
};
using TMpg123 = std::unique_ptr<mpg123_handle, TMpg123Deleter>;

// Older libmpg123 versions need one global initialisation before the first handle.
void InitOnce() {
  static std::once_flag Once;
  std::call_once(Once, [] { mpg123_init(); });
}

// Allows every sample rate in AEncoding, mono or stereo; false when the build lacks it.
bool AllowEncoding(mpg123_handle* AHandle, int AEncoding) {
  const long* Rates = nullptr;
  std::size_t RateCount = 0;
  mpg123_rates(&Rates, &RateCount);
  if (mpg123_format_none(AHandle) != MPG123_OK) return false;
  for (std::size_t i = 0; i < RateCount; ++i) {
    if (mpg123_format(AHandle, Rates[i], MPG123_MONO | MPG123_STEREO, AEncoding) != MPG123_OK)
      return false;
  }
  return true;
}

TMpg123 OpenFeed() {
  InitOnce();
  int Error = MPG123_OK;
  TMpg123 Handle(mpg123_new(nullptr, &Error));
  if (!Handle) return nullptr;
  // Quiet: a library must not write to the host's standard error. ID3v2 tags are skipped
  // rather than parsed, so a tag that claims a huge size is not buffered.
  mpg123_param(Handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_SKIP_ID3V2, 0.0);
  if (!AllowEncoding(Handle.get(), MPG123_ENC_FLOAT_32) &&
      !AllowEncoding(Handle.get(), MPG123_ENC_SIGNED_16))
    return nullptr;
  if (mpg123_open_feed(Handle.get()) != MPG123_OK) return nullptr;
  return Handle;
}

// Averages the interleaved channels of ABytes into the sink.
int32_t Emit(const unsigned char* ABytes, std::size_t ALength, int AChannels, int AEncoding,
             TSampleSink& ASink) {
  const std::size_t SampleSize = AEncoding == MPG123_ENC_FLOAT_32 ? sizeof(float) : 2;
  const std::size_t Frames = ALength / (SampleSize * AChannels);
  if (Frames == 0) return qaOk;
  bool TooLong = false;
  float* Out = ASink.Reserve(static_cast<int64_t>(Frames), TooLong);
  if (!Out) return TooLong ? qaTooLong : qaFailed;
  for (std::size_t f = 0; f < Frames; ++f) {
    float Sum = 0.0f;
    for (int c = 0; c < AChannels; ++c) {
      const unsigned char* At = ABytes + (f * AChannels + c) * SampleSize;
      if (AEncoding == MPG123_ENC_FLOAT_32) {
        float Value;
        std::memcpy(&Value, At, sizeof Value);
        Sum += Value;
      } else {
        int16_t Value;
        std::memcpy(&Value, At, sizeof Value);
        Sum += Value / 32768.0f;
      }
    }
    Out[f] = TSampleSink::Sanitize(Sum / AChannels);
  }
  ASink.Commit(static_cast<int64_t>(Frames));
  return qaOk;
}

}  // namespace

int32_t DecodeMp3Stream(std::span<const uint8_t> AInput, TSampleSink& ASink) {
  TMpg123 Handle = OpenFeed();
  if (!Handle) return qaFailed;
  std::vector<unsigned char> Block(std::max<std::size_t>(mpg123_outblock(Handle.get()), 65536));
  std::size_t Fed = 0;
  int Channels = 0;
  int Encoding = 0;
  int IdleRounds = 0;
  while (IdleRounds < MaxIdleRounds) {
    std::size_t Done = 0;
    const int Status = mpg123_read(Handle.get(), Block.data(), Block.size(), &Done);
    ++IdleRounds;
    if (Done > 0 && Channels > 0) {
      const int32_t Emitted = Emit(Block.data(), Done, Channels, Encoding, ASink);
      if (Emitted != qaOk) return Emitted;
      IdleRounds = 0;
    }
    if (Status == MPG123_NEW_FORMAT) {
      long Rate = 0;
      if (mpg123_getformat(Handle.get(), &Rate, &Channels, &Encoding) != MPG123_OK ||
          Channels < 1 || Channels > 2)
        break;
      // One clip has one rate; a stream that switches is treated as ending at the switch.
      if (!ASink.SetRate(Rate)) break;
    } else if (Status == MPG123_NEED_MORE) {
      if (Fed >= AInput.size()) break;
      const std::size_t Slice = std::min(FeedSlice, AInput.size() - Fed);
      if (mpg123_feed(Handle.get(), AInput.data() + Fed, Slice) != MPG123_OK) return qaFailed;
      Fed += Slice;
      IdleRounds = 0;
    } else if (Status != MPG123_OK) {
      // MPG123_DONE or an error the decoder could not resync past: keep what came before.
      break;
    }
  }
  return ASink.Count() > 0 ? qaOk : qaNothingDecoded;
}

}  // namespace quavox::audio
