// A stand-in for libquavox_audio.so in the bridge's tests: every decode call gives the answer
// the test set, and every free is counted, so a test sees exactly what the bridge frees.
// Used from one thread at a time.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

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

// Misbehaviour on request, for the decoder child's tests: input that holds one of these
// words crashes, hangs or keeps allocating memory (at most HogLimit bytes).
constexpr std::size_t HogLimit = std::size_t(2) << 30;

bool Holds(const uint8_t* AData, int64_t ASize, std::string_view AWord) {
  const std::string_view Text(reinterpret_cast<const char*>(AData),
                              AData ? static_cast<std::size_t>(ASize) : 0);
  return Text.find(AWord) != std::string_view::npos;
}

void Misbehave(const uint8_t* AData, int64_t ASize) {
  if (Holds(AData, ASize, "QXFAKE-CRASH")) std::raise(SIGSEGV);
  if (Holds(AData, ASize, "QXFAKE-HANG")) {
    volatile uint64_t Spin = 0;
    for (;;)
      Spin = Spin + 1;
  }
  if (Holds(AData, ASize, "QXFAKE-HOG")) {
    std::vector<void*> Blocks;
    for (std::size_t Total = 0; Total < HogLimit; Total += std::size_t(64) << 20) {
      void* Block = std::malloc(std::size_t(64) << 20);
      if (!Block) break;
      std::memset(Block, 1, std::size_t(64) << 20);
      Blocks.push_back(Block);
    }
    for (void* Block : Blocks)
      std::free(Block);
  }
}

int32_t Decode(const uint8_t* AData, int64_t ASize, float** ASamples, int64_t* ACount,
               int32_t* ARate) {
  Misbehave(AData, ASize);
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

QX_FAKE_API int32_t quavox_mp3_decode(const uint8_t* AData, int64_t ASize, float** ASamples,
                                      int64_t* ACount, int32_t* ARate) {
  return Decode(AData, ASize, ASamples, ACount, ARate);
}
QX_FAKE_API int32_t quavox_ogg_decode(const uint8_t* AData, int64_t ASize, float** ASamples,
                                      int64_t* ACount, int32_t* ARate) {
  return Decode(AData, ASize, ASamples, ACount, ARate);
}
#ifndef QUAVOX_FAKE_WITHOUT_FREE
QX_FAKE_API void quavox_audio_free(float* ASamples) {
  ++FreeCount;
  LastFreed = ASamples;
}
#endif
