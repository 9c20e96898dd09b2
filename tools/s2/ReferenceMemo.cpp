#include "ReferenceMemo.h"

#include "TextAnalysis.h"
#include "core/Text.h"
#include "core/Types.h"

namespace quavox::s2 {

namespace {

// The recording's digest, then the file name and the transcript, each length-prefixed so
// that no two different triples give the same text.
std::string ContentKey(const TGenerateParts& AParts) {
  std::string Key = Sha256Hex(std::string_view(AParts.Reference));
  for (const std::string* Part : {&AParts.ReferenceFileName, &AParts.ReferenceText}) {
    Key += '|';
    Key += std::to_string(Part->size());
    Key += ':';
    Key += *Part;
  }
  return Sha256Hex(std::string_view(Key));
}

}  // namespace

TReferenceAnalysis AnalyseReference(const TGenerateParts& AParts) {
  TReferenceAnalysis Out;
  Out.Format = SniffReference(AParts.Reference, AParts.ReferenceFileName);
  if (Out.Format != rfWav && Out.Format != rfMp3) return Out;
  TPcmBuffer Pcm;
  Out.Decoded = DecodeReference(AParts.Reference, Out.Format, Pcm);
  if (!Out.Decoded) return Out;
  Out.Traits = MeasureVoice(Pcm, AParts.ReferenceText);
  if (!Trim(AParts.ReferenceText).empty())
    Out.TranscriptLanguage = DetectLanguage(AParts.ReferenceText);
  return Out;
}

bool TReferenceMemo::MoveToFrontLocked(const std::string& AKey) {
  for (auto It = FEntries.begin(); It != FEntries.end(); ++It) {
    if (It->first != AKey) continue;
    FEntries.splice(FEntries.begin(), FEntries, It);
    return true;
  }
  return false;
}

TReferenceAnalysis TReferenceMemo::Analyse(const TGenerateParts& AParts, bool& AKnown) {
  const std::string Key = ContentKey(AParts);
  {
    TLockGuard Guard(FLock);
    AKnown = MoveToFrontLocked(Key);
    if (AKnown) return FEntries.front().second;
  }
  TReferenceAnalysis Analysis = AnalyseReference(AParts);
  TLockGuard Guard(FLock);
  // Another request may have measured the same content meanwhile.
  if (!MoveToFrontLocked(Key)) FEntries.emplace_front(Key, Analysis);
  if (FEntries.size() > Capacity) FEntries.pop_back();
  return Analysis;
}

}  // namespace quavox::s2
