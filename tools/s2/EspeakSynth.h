// Speech from espeak-ng. espeak-ng keeps hidden state from one utterance to the next (the
// phase of its pitch flutter among others), so the same text spoken twice in one process
// comes out different. Every utterance is therefore spoken by a child process forked from
// the server in the state right after espeak-ng was loaded: equal requests give equal
// samples, the same samples as espeak-ng's own command line, and a crash inside espeak-ng
// costs one request, not the server.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "SpeechPlan.h"
#include "core/ThreadAnnotations.h"

namespace quavox::s2 {

class TEspeakSynth {
 public:
  // Loads espeak-ng's data for synchronous synthesis. Call once, before any other thread
  // uses the synthesizer; nothing else touches espeak-ng in this process afterwards.
  bool Initialize(std::string& AError);
  int SampleRate() const { return FSampleRate; }
  const std::string& Version() const { return FVersion; }

  // Speaks one plan into 16-bit samples at SampleRate; one utterance at a time, because
  // espeak-ng is not thread-safe and one at a time is what an inference server does.
  // False with a one-line reason when espeak-ng fails, crashes or takes longer than
  // ATimeoutMs.
  bool Speak(const TSpeechPlan& APlan, std::vector<int16_t>& ASamples, std::string& AError,
             int ATimeoutMs = 120000) QX_EXCLUDES(FLock);

 private:
  TMutex FLock;
  // Children that delivered their speech and were still exiting.
  std::vector<pid_t> FExiting QX_GUARDED_BY(FLock);
  int FSampleRate = 0;
  std::string FVersion;
};

// A complete mono 16-bit WAV file with the canonical 44-byte header.
std::string MonoWav16(const std::vector<int16_t>& ASamples, int ASampleRate);

}  // namespace quavox::s2
