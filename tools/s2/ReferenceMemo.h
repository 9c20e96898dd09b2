// What the server learns from a reference recording, kept per distinct content. The
// contract sends a voice's reference with every request, and measuring it costs more than
// speaking a sentence, while one voice sends the same bytes again and again. Safe on any
// thread; the measuring itself runs outside the lock.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <utility>

#include "SpeechPlan.h"
#include "VoiceAnalysis.h"
#include "core/ThreadAnnotations.h"

namespace quavox::s2 {

// Everything the voice choice reads from the reference part, its file name and its
// transcript.
struct TReferenceAnalysis {
  TReferenceFormat Format = rfUnknown;
  bool Decoded = false;
  TVoiceTraits Traits;
  std::string TranscriptLanguage;  // empty when the transcript is blank
};

TReferenceAnalysis AnalyseReference(const TGenerateParts& AParts);

class TReferenceMemo {
 public:
  // Distinct references remembered; the least recently used one goes first.
  static constexpr std::size_t Capacity = 32;

  // The analysis of AParts' reference. AKnown tells whether it was remembered: the same
  // bytes with the same file name and transcript (compared by their SHA-256) came before.
  TReferenceAnalysis Analyse(const TGenerateParts& AParts, bool& AKnown) QX_EXCLUDES(FLock);

 private:
  bool MoveToFrontLocked(const std::string& AKey) QX_REQUIRES(FLock);

  TMutex FLock;
  // Most recently used first.
  std::list<std::pair<std::string, TReferenceAnalysis>> FEntries QX_GUARDED_BY(FLock);
};

}  // namespace quavox::s2
