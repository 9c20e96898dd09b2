#include "audio/Announce.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <span>

#include "audio/Dsp.h"
#include "audio/Loudness.h"
#include "core/Text.h"

namespace quavox {

namespace {

// A rising major triad, G5 B5 D6: high enough to cut through a hall's murmur, soft enough
// with few overtones not to startle.
const std::vector<double> NoteFrequencies = {783.99, 987.77, 1174.66};
constexpr double NoteSpacingSeconds = 0.32;
constexpr double AttackSeconds = 0.008;
constexpr double DecaySeconds = 0.42;
constexpr double TailFadeSeconds = 0.06;
// A bell's overtones: relative level and how much faster each dies away.
struct TPartial {
  double Ratio;
  double Level;
  double DecayFactor;
};
constexpr TPartial Partials[] = {{1.0, 1.0, 1.0}, {2.0, 0.18, 2.2}, {3.0, 0.05, 3.5}};
constexpr double ChimePeak = 0.5;
// The chime's sample peak stays below -1 dBFS whatever level the speech asks for.
constexpr double ChimeCeiling = 0.89;
// Samples below -50 dBFS count as silence at the ends of a segment.
constexpr float SilenceThreshold = 0.00316f;
// Below this difference in LU a segment is left untouched.
constexpr double LoudnessTolerance = 0.1;

int64_t MsToSamples(int64_t AMs, int32_t ASampleRate) {
  return static_cast<int64_t>(RoundHalfEven(static_cast<double>(AMs) * ASampleRate / 1000.0));
}

double Envelope(double ASeconds, double ADecay) {
  const double Attack = ASeconds < AttackSeconds
                            ? 0.5 - 0.5 * std::cos(std::numbers::pi * ASeconds / AttackSeconds)
                            : 1.0;
  return Attack * std::exp(-ASeconds / ADecay);
}

void AddNote(std::vector<float>& AData, int32_t ASampleRate, std::size_t AOnset, double AHz) {
  for (std::size_t i = AOnset; i < AData.size(); ++i) {
    const double t = static_cast<double>(i - AOnset) / ASampleRate;
    double Value = 0;
    for (const TPartial& P : Partials)
      Value += P.Level * Envelope(t, DecaySeconds / P.DecayFactor) *
               std::sin(2 * std::numbers::pi * AHz * P.Ratio * t);
    AData[i] += static_cast<float>(Value);
  }
}

void FadeTail(std::vector<float>& AData, int32_t ASampleRate) {
  const auto Length =
      std::min<std::size_t>(AData.size(), static_cast<std::size_t>(TailFadeSeconds * ASampleRate));
  for (std::size_t k = 0; k < Length; ++k) {
    const double Gain = 0.5 - 0.5 * std::cos(std::numbers::pi * k / Length);
    AData[AData.size() - 1 - k] *= static_cast<float>(Gain);
  }
}

// Linear fades of AnnounceFadeMs at both ends, as ApplyFades makes them, in place.
void FadeEdges(std::span<float> AData, int32_t ASampleRate) {
  const auto Length = static_cast<int64_t>(AData.size());
  const int64_t Count = std::min(Length / 2, MsToSamples(AnnounceFadeMs, ASampleRate));
  for (int64_t i = 0; i < Count; ++i) {
    const double Gain = static_cast<double>(i) / static_cast<double>(Count);
    AData[i] = static_cast<float>(AData[i] * Gain);
    AData[Length - 1 - i] = static_cast<float>(AData[Length - 1 - i] * Gain);
  }
}

double Peak(const TPcmBuffer& ABuffer) {
  float Max = 0;
  for (const float v : ABuffer.Data)
    Max = std::max(Max, std::fabs(v));
  return Max;
}

void Append(TAnnouncement& AOut, const TPcmBuffer& APart, TAnnouncePartKind AKind,
            int32_t ASegment) {
  const auto Start = static_cast<int64_t>(AOut.Pcm.Data.size());
  AOut.Pcm.Data.insert(AOut.Pcm.Data.end(), APart.Data.begin(), APart.Data.end());
  FadeEdges(std::span<float>(AOut.Pcm.Data).subspan(static_cast<std::size_t>(Start)),
            AOut.Pcm.SampleRate);
  AOut.Parts.push_back({AKind, ASegment, Start, static_cast<int64_t>(AOut.Pcm.Data.size())});
}

void AppendGap(TAnnouncement& AOut, int64_t ASamples) {
  if (ASamples <= 0) return;
  const auto Start = static_cast<int64_t>(AOut.Pcm.Data.size());
  AOut.Pcm.Data.resize(AOut.Pcm.Data.size() + static_cast<std::size_t>(ASamples), 0.0f);
  AOut.Parts.push_back({apGap, -1, Start, static_cast<int64_t>(AOut.Pcm.Data.size())});
}

}  // namespace

std::string ChimeModeToStr(TChimeMode AMode) {
  switch (AMode) {
    case cmBoth:
      return "both";
    case cmNone:
      return "none";
    case cmStart:
      break;
  }
  return "start";
}

bool TryParseChimeMode(std::string_view AText, TChimeMode& AMode) {
  for (const TChimeMode Mode : {cmStart, cmBoth, cmNone}) {
    if (SameTextAscii(AText, ChimeModeToStr(Mode))) {
      AMode = Mode;
      return true;
    }
  }
  return false;
}

std::string AnnouncePartKindToStr(TAnnouncePartKind AKind) {
  switch (AKind) {
    case apChime:
      return "chime";
    case apGap:
      return "gap";
    case apSegment:
      break;
  }
  return "segment";
}

const std::vector<double>& ChimeNotesHz() {
  return NoteFrequencies;
}

TPcmBuffer MakeChime(int32_t ASampleRate, bool AClosing) {
  TPcmBuffer Chime;
  Chime.SampleRate = ASampleRate;
  if (ASampleRate <= 0) return Chime;
  Chime.Data.assign(static_cast<std::size_t>(MsToSamples(ChimeMs, ASampleRate)), 0.0f);
  std::vector<double> Notes = NoteFrequencies;
  if (AClosing) std::reverse(Notes.begin(), Notes.end());
  for (std::size_t n = 0; n < Notes.size(); ++n) {
    const auto Onset = static_cast<std::size_t>(
        MsToSamples(static_cast<int64_t>(n * NoteSpacingSeconds * 1000), ASampleRate));
    AddNote(Chime.Data, ASampleRate, Onset, Notes[n]);
  }
  FadeTail(Chime.Data, ASampleRate);
  const double PeakNow = Peak(Chime);
  if (PeakNow > 0) ApplyGain(Chime, ChimePeak / PeakNow);
  return Chime;
}

void TrimSilence(TPcmBuffer& ABuffer, float AThreshold, int AMarginMs) {
  const auto Loud = [AThreshold](float v) { return std::fabs(v) >= AThreshold; };
  const auto First = std::find_if(ABuffer.Data.begin(), ABuffer.Data.end(), Loud);
  if (First == ABuffer.Data.end()) return;
  const auto Last = std::find_if(ABuffer.Data.rbegin(), ABuffer.Data.rend(), Loud);
  const int64_t Margin = MsToSamples(AMarginMs, ABuffer.SampleRate);
  const int64_t Size = static_cast<int64_t>(ABuffer.Data.size());
  const int64_t Begin = std::max<int64_t>(0, (First - ABuffer.Data.begin()) - Margin);
  const int64_t End = std::min<int64_t>(Size, Size - (Last - ABuffer.Data.rbegin()) + Margin);
  ABuffer.Data.erase(ABuffer.Data.begin() + End, ABuffer.Data.end());
  ABuffer.Data.erase(ABuffer.Data.begin(), ABuffer.Data.begin() + Begin);
}

void PrepareSegment(TPcmBuffer& ABuffer, int32_t ASampleRate) {
  if (ABuffer.SampleRate > 0 && ABuffer.SampleRate != ASampleRate)
    ABuffer = ResampleTo(ABuffer, ASampleRate);
  ABuffer.SampleRate = ASampleRate;
  TrimSilence(ABuffer, SilenceThreshold, AnnounceFadeMs);
}

std::optional<double> SharedLevel(const std::vector<TLoudness>& AMeasured,
                                  std::optional<double> ATarget) {
  if (ATarget) return ATarget;
  std::optional<double> Loudest;
  for (const TLoudness& Loudness : AMeasured)
    if (Loudness.IsMeasurable())
      Loudest = std::max(Loudest.value_or(Loudness.IntegratedLufs), Loudness.IntegratedLufs);
  return Loudest;
}

void LevelSegment(TPcmBuffer& ASegment, const TLoudness& AMeasured, double ALevel) {
  if (!AMeasured.IsMeasurable()) return;
  if (std::fabs(AMeasured.IntegratedLufs - ALevel) <= LoudnessTolerance) return;
  NormalizeLoudness(ASegment, ALevel);
}

void LevelChime(TPcmBuffer& AChime, const TLoudness& AMeasured, double ALevel) {
  if (!AMeasured.IsMeasurable()) return;
  double Gain = std::pow(10.0, (ALevel - AMeasured.IntegratedLufs) / 20.0);
  const double PeakNow = Peak(AChime);
  if (PeakNow * Gain > ChimeCeiling) Gain = ChimeCeiling / PeakNow;
  ApplyGain(AChime, Gain);
}

std::optional<double> MatchLoudness(std::vector<TPcmBuffer>& ASegments,
                                    std::optional<double> ATarget) {
  std::vector<TLoudness> Measured;
  for (const TPcmBuffer& Segment : ASegments)
    Measured.push_back(MeasureLoudness(Segment));
  const std::optional<double> Level = SharedLevel(Measured, ATarget);
  if (Level)
    for (std::size_t i = 0; i < ASegments.size(); ++i)
      LevelSegment(ASegments[i], Measured[i], *Level);
  return Level;
}

TAnnouncement JoinAnnouncement(const std::vector<const TPcmBuffer*>& ASegments,
                               const TPcmBuffer* AOpening, const TPcmBuffer* AClosing,
                               int32_t AGapMs) {
  TAnnouncement Out;
  Out.Pcm.SampleRate = ASegments.empty() ? 0 : ASegments.front()->SampleRate;
  const int64_t Gap = MsToSamples(AGapMs, Out.Pcm.SampleRate);
  std::size_t Total = 0;
  for (const TPcmBuffer* Segment : ASegments)
    Total += Segment->Data.size() + static_cast<std::size_t>(Gap);
  if (AOpening != nullptr) Total += AOpening->Data.size();
  if (AClosing != nullptr) Total += AClosing->Data.size() + static_cast<std::size_t>(Gap);
  Out.Pcm.Data.reserve(Total);
  if (AOpening != nullptr) {
    Append(Out, *AOpening, apChime, -1);
    AppendGap(Out, Gap);
  }
  for (std::size_t i = 0; i < ASegments.size(); ++i) {
    if (i > 0) AppendGap(Out, Gap);
    Append(Out, *ASegments[i], apSegment, static_cast<int32_t>(i));
  }
  if (AClosing != nullptr) {
    AppendGap(Out, Gap);
    Append(Out, *AClosing, apChime, -1);
  }
  return Out;
}

TAnnouncement AssembleAnnouncement(std::vector<TPcmBuffer> ASegments,
                                   const TAnnounceLayout& ALayout) {
  if (ASegments.empty()) return {};
  const int32_t Rate = ALayout.SampleRate > 0 ? ALayout.SampleRate : ASegments.front().SampleRate;
  for (TPcmBuffer& Segment : ASegments)
    PrepareSegment(Segment, Rate);
  const double Level = MatchLoudness(ASegments, ALayout.LoudnessLufs).value_or(FallbackChimeLufs);
  const auto Chime = [Rate, Level](bool AClosing) {
    TPcmBuffer Made = MakeChime(Rate, AClosing);
    LevelChime(Made, MeasureLoudness(Made), Level);
    return Made;
  };
  std::optional<TPcmBuffer> Opening;
  std::optional<TPcmBuffer> Closing;
  if (ALayout.Chime != cmNone) Opening = Chime(false);
  if (ALayout.Chime == cmBoth) Closing = Chime(true);
  std::vector<const TPcmBuffer*> Parts;
  for (const TPcmBuffer& Segment : ASegments)
    Parts.push_back(&Segment);
  return JoinAnnouncement(Parts, Opening ? &*Opening : nullptr, Closing ? &*Closing : nullptr,
                          ALayout.GapMs);
}

int64_t SampleToMs(int64_t ASample, int32_t ASampleRate) {
  if (ASampleRate <= 0) return 0;
  return static_cast<int64_t>(RoundHalfEven(static_cast<double>(ASample) * 1000.0 / ASampleRate));
}

}  // namespace quavox
