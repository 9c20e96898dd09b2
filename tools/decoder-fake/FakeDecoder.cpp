// A stand-in for libquavox_audio.so in the bridge's tests: every decode call gives the answer
// the test set, and every free is counted, so a test sees exactly what the bridge frees.
// Used from one thread at a time.
#include <cstdint>
#include <stdexcept>

#define QX_FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

struct TFakeAnswer {
  int32_t Status = 1;
  int64_t Count = 0;
  int32_t Rate = 0;
  int32_t NullSamples = 0;  // hand out a null pointer
  int32_t Throw = 0;        // throw instead of answering
};

TFakeAnswer Answer;
float Samples[4] = {0.25f, -0.5f, 0.75f, -1.0f};
int32_t FreeCount = 0;
const float* LastFreed = nullptr;

int32_t Decode(float** ASamples, int64_t* ACount, int32_t* ARate) {
  if (Answer.Throw) throw std::runtime_error("fake decoder failure");
  *ASamples = Answer.NullSamples ? nullptr : Samples;
  *ACount = Answer.Count;
  *ARate = Answer.Rate;
  return Answer.Status;
}

}  // namespace

QX_FAKE_API void quavox_fake_set_answer(int32_t AStatus, int64_t ACount, int32_t ARate,
                                        int32_t ANullSamples, int32_t AThrow) {
  Answer = TFakeAnswer{AStatus, ACount, ARate, ANullSamples, AThrow};
  FreeCount = 0;
  LastFreed = nullptr;
}
QX_FAKE_API int32_t quavox_fake_free_count() {
  return FreeCount;
}
QX_FAKE_API const float* quavox_fake_last_freed() {
  return LastFreed;
}
QX_FAKE_API const float* quavox_fake_samples() {
  return Samples;
}

QX_FAKE_API int32_t quavox_mp3_decode(const uint8_t*, int64_t, float** ASamples, int64_t* ACount,
                                      int32_t* ARate) {
  return Decode(ASamples, ACount, ARate);
}
QX_FAKE_API int32_t quavox_ogg_decode(const uint8_t*, int64_t, float** ASamples, int64_t* ACount,
                                      int32_t* ARate) {
  return Decode(ASamples, ACount, ARate);
}
#ifndef QUAVOX_FAKE_WITHOUT_FREE
QX_FAKE_API void quavox_audio_free(float* ASamples) {
  ++FreeCount;
  LastFreed = ASamples;
}
#endif
