// Speaks one announcement through the placeholder engine into a WAV file: the quickest way
// to hear the audio chain (segments, fades, speed change, WAV) end to end.
#include <cstdio>
#include <string>

#include "audio/Dsp.h"
#include "audio/Wav.h"
#include "engine/EnginePlaceholder.h"

int main(int argc, char** argv) {
  using namespace quavox;
  const std::string Text = argc > 1 ? argv[1] : "各位旅客请注意,CA1234 次航班现在开始登机。";
  const std::string Out = argc > 2 ? argv[2] : "quavox-sample.wav";
  TPlaceholderEngine Engine(TEngineOptions{});
  TS2Params Params = TS2Params::Defaults();
  Params.Text = Text;
  const TPcmBuffer Pcm = ApplySpeed(Engine.Synthesize(Params, TVoiceHint{"zh", tgFemale, 7, ""}),
                                    1.1f, smLocalStretch);
  try {
    WriteFileBytes(Out, PcmToWav(Pcm));
  } catch (const std::exception& E) {
    std::fprintf(stderr, "cannot write %s: %s\n", Out.c_str(), E.what());
    return 1;
  }
  std::printf("spoke \"%s\" (%d ms at %d Hz) into %s\n", Text.c_str(), Pcm.DurationMs(),
              Pcm.SampleRate, Out.c_str());
  return 0;
}
