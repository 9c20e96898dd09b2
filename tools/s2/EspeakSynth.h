// Speech from espeak-ng, and English from flite. espeak-ng keeps hidden state from one
// utterance to the next (the phase of its pitch flutter among others), so the same text
// spoken twice in one process comes out different. Every espeak-ng utterance is therefore
// spoken by a process of its own, forked from a small "speaker" process that loaded
// espeak-ng and never speaks with it itself: equal requests give equal samples, the same
// samples as espeak-ng's own command line, and a crash inside espeak-ng costs one request,
// not the server. flite's state is put back after each utterance, so the speaker speaks
// English itself, sample for sample as flite's command line; a crash there costs one request
// and the speaker, which the next request replaces.
//
// The speaker is started from the server before the server has threads and kept small,
// because forking it is part of every request. It dies with the server.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "SpeechPlan.h"
#include "core/ThreadAnnotations.h"

namespace quavox::s2 {

// One utterance as its voice spoke it: espeak-ng's rate, or a flite voice's own (16 kHz).
struct TSpeech {
  std::vector<int16_t> Samples;
  int SampleRate = 0;
};

class TEspeakSynth {
 public:
  ~TEspeakSynth();

  // Starts the speaker and waits until espeak-ng is loaded in it. Call before the server
  // starts its threads.
  bool Initialize(std::string& AError) QX_EXCLUDES(FLock);
  // espeak-ng's rate; flite's English keeps its voice's own rate instead, so that no
  // resampling stands between the voice and the listener.
  int SampleRate() const { return FSampleRate; }
  const std::string& Version() const { return FVersion; }

  // Speaks one plan into 16-bit samples at its voice's rate; one utterance at a time,
  // because that is what an inference server does. False with a one-line reason when
  // espeak-ng fails, crashes or takes longer than ATimeoutMs; a speaker that went wrong is
  // replaced for the next request.
  bool Speak(const TSpeechPlan& APlan, TSpeech& ASpeech, std::string& AError,
             int ATimeoutMs = 120000) QX_EXCLUDES(FLock);

 private:
  bool SpeakWithSpeaker(const TSpeechPlan& APlan, TSpeech& ASpeech, std::string& AError,
                        std::chrono::steady_clock::time_point ADeadline, int ATimeoutMs,
                        bool& ARetry) QX_REQUIRES(FLock);
  bool StartSpeaker(std::string& AError) QX_REQUIRES(FLock);
  void StopSpeaker() QX_REQUIRES(FLock);

  TMutex FLock;
  pid_t FSpeaker QX_GUARDED_BY(FLock) = -1;
  int FChannel QX_GUARDED_BY(FLock) = -1;  // stream socket to the speaker
  // Set once by Initialize, before any other thread exists.
  int FSampleRate = 0;
  std::string FVersion;
};

// A complete mono 16-bit WAV file with the canonical 44-byte header.
std::string MonoWav16(const std::vector<int16_t>& ASamples, int ASampleRate);

}  // namespace quavox::s2
