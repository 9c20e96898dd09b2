#include <cstdint>
#include <span>

#include "audio/Wav.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  quavox::TPcmBuffer Pcm;
  if (quavox::WavToPcm(std::span<const uint8_t>(AData, ASize), Pcm)) {
    // Whatever was read must survive the round trip through the writer.
    const quavox::TBytes Again = quavox::PcmToWav(Pcm);
    quavox::TPcmBuffer Back;
    if (!quavox::WavToPcm(Again, Back) || Back.Data.size() != Pcm.Data.size()) __builtin_trap();
  }
  return 0;
}
