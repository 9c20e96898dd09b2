// Changes the speed of a WAV file with the service's own time-stretch, keeping the pitch:
// quavox-stretch IN.wav OUT.wav SPEED. Used to compare against other stretchers.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "audio/Dsp.h"
#include "audio/Wav.h"

int main(int argc, char** argv) {
  using namespace quavox;
  if (argc != 4) {
    std::fprintf(stderr, "usage: quavox-stretch IN.wav OUT.wav SPEED\n");
    return 2;
  }
  try {
    TPcmBuffer Pcm;
    if (!WavToPcm(ReadFileBytes(argv[1]), Pcm)) {
      std::fprintf(stderr, "%s is not a readable WAV file\n", argv[1]);
      return 1;
    }
    WriteFileBytes(argv[2], PcmToWav(TimeStretch(Pcm, std::strtof(argv[3], nullptr))));
  } catch (const std::exception& E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
  return 0;
}
