#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "QuavoxAudio.h"

// Any bytes: either samples that keep every promise of the library's interface, or nothing.
// QX_FUZZ_DECODE names the decoder under test (MP3 or Ogg Vorbis).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  float* Samples = nullptr;
  int64_t Count = -1;
  int32_t Rate = -1;
  const int32_t Status =
      QX_FUZZ_DECODE(AData, static_cast<int64_t>(ASize), &Samples, &Count, &Rate);
  if (Status != qaOk) {
    if (Samples || Count != 0 || Rate != 0) std::abort();
    return 0;
  }
  if (!Samples || Count <= 0 || Rate <= 0) std::abort();
  for (int64_t i = 0; i < Count; ++i) {
    if (!(std::fabs(Samples[i]) <= 1.0f)) std::abort();
  }
  quavox_audio_free(Samples);
  return 0;
}
