#include <new>

#include "QuavoxAudio.h"
#include "SampleSink.h"

namespace {

using TStreamDecoder = int32_t (*)(std::span<const uint8_t>, quavox::audio::TSampleSink&);

// The part both exports share: argument checks, and the rule that only a success hands
// memory to the caller. Nothing escapes a C entry point, not even std::bad_alloc.
int32_t RunDecoder(TStreamDecoder ADecoder, const uint8_t* AData, int64_t ASize, float** ASamples,
                   int64_t* ACount, int32_t* ARate) {
  if (!ASamples || !ACount || !ARate) return qaFailed;
  *ASamples = nullptr;
  *ACount = 0;
  *ARate = 0;
  if (!AData || ASize <= 0) return qaNothingDecoded;
  try {
    quavox::audio::TSampleSink Sink;
    const int32_t Status =
        ADecoder(std::span<const uint8_t>(AData, static_cast<std::size_t>(ASize)), Sink);
    if (Status != qaOk) return Status;
    if (Sink.Count() <= 0 || Sink.Rate() <= 0) return qaNothingDecoded;
    *ACount = Sink.Count();
    *ARate = Sink.Rate();
    *ASamples = Sink.Release();
    return qaOk;
  } catch (...) {
    return qaFailed;
  }
}

}  // namespace

extern "C" {

int32_t quavox_mp3_decode(const uint8_t* AData, int64_t ASize, float** ASamples, int64_t* ACount,
                          int32_t* ARate) {
  return RunDecoder(quavox::audio::DecodeMp3Stream, AData, ASize, ASamples, ACount, ARate);
}

int32_t quavox_ogg_decode(const uint8_t* AData, int64_t ASize, float** ASamples, int64_t* ACount,
                          int32_t* ARate) {
  return RunDecoder(quavox::audio::DecodeOggStream, AData, ASize, ASamples, ACount, ARate);
}

void quavox_audio_free(float* ASamples) {
  std::free(ASamples);
}

}  // extern "C"
