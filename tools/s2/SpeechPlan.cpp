#include "SpeechPlan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "ReferenceMemo.h"
#include "TextAnalysis.h"
#include "VoiceAnalysis.h"
#include "core/Format.h"
#include "core/Text.h"

namespace quavox::s2 {

namespace {

const size_t MaxParamsBytes = 64 * 1024;
// Rates outside this range stop sounding like a person reading an announcement, however
// fast or slow the reference seemed to be.
const int32_t MinRate = 120, MaxRate = 260;

bool Fail(TRequestError& AError, int AStatus, std::string AMessage) {
  AError.Status = AStatus;
  AError.Message = std::move(AMessage);
  return false;
}

// Reads "params": a JSON object whose numeric members must be numbers; "seed" must be a
// 32-bit integer. Sampling settings have no meaning for espeak-ng and are only checked.
bool ReadParams(const std::string& AText, int32_t& ASeed, TRequestError& AError) {
  ASeed = 0;
  if (AText.size() > MaxParamsBytes) return Fail(AError, 413, "params is too large");
  const nlohmann::json j = nlohmann::json::parse(AText, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return Fail(AError, 400, "params is not a JSON object");
  for (const char* Key :
       {"max_new_tokens", "temperature", "top_p", "top_k", "repetition_penalty", "seed"}) {
    const auto It = j.find(Key);
    if (It == j.end() || It->is_null()) continue;
    if (!It->is_number()) return Fail(AError, 400, Format("params: %s must be a number", Key));
  }
  const auto Seed = j.find("seed");
  if (Seed != j.end() && Seed->is_number()) {
    const double v = Seed->get<double>();
    if (!(std::floor(v) == v) || v < std::numeric_limits<int32_t>::min() ||
        v > std::numeric_limits<int32_t>::max())
      return Fail(AError, 400, "params: seed must be a 32-bit integer");
    ASeed = static_cast<int32_t>(v);
  }
  return true;
}

// A request's own words quoted in an answer, kept to one short line.
std::string Quoted(const std::string& AText) {
  size_t Length = std::min<size_t>(AText.size(), 80);
  // Cut between characters, not inside one.
  while (Length < AText.size() && Length > 0 &&
         (static_cast<unsigned char>(AText[Length]) & 0xC0) == 0x80)
    --Length;
  std::string Out = AText.substr(0, Length);
  for (char& c : Out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return Out;
}

// A well-mixed hash of the seed, so neighbouring seeds land far apart.
uint32_t MixSeed(int32_t ASeed) {
  uint32_t x = static_cast<uint32_t>(ASeed) + 0x9E3779B9u;
  x = (x ^ (x >> 16)) * 0x85EBCA6Bu;
  x = (x ^ (x >> 13)) * 0xC2B2AE35u;
  return x ^ (x >> 16);
}

// A value in [-ASpread, ASpread] drawn from the bits of the hash at AShift.
int32_t Jitter(uint32_t AHash, int AShift, int32_t ASpread) {
  return static_cast<int32_t>((AHash >> AShift) % static_cast<uint32_t>(2 * ASpread + 1)) - ASpread;
}

const TEspeakVariant* NearestVariant(const TVoiceBook& ABook, TTtsGender AGender, double AF0) {
  const TEspeakVariant* Best = nullptr;
  for (const TEspeakVariant& v : ABook.Variants) {
    if (v.Gender != AGender) continue;
    if (Best == nullptr ||
        std::fabs(std::log(v.BaseF0 / AF0)) < std::fabs(std::log(Best->BaseF0 / AF0)))
      Best = &v;
  }
  return Best;
}

std::string DefaultVariant(const TVoiceBook& ABook, TTtsGender AGender) {
  if (AGender == tgFemale) return ABook.FemaleVariant;
  if (AGender == tgMale) return ABook.MaleVariant;
  return "";
}

struct TChoice {
  std::string Variant;
  int32_t Pitch = EspeakDefaultPitch;
  int32_t Rate = EspeakDefaultRate;
  std::string Origin;
  // What a reference said of its speaker, for a flite voice: pitch as spoken in English
  // and its spread; 0 when the reference told nothing.
  double F0 = 0;
  double F0Range = 0;
  double SyllablesPerSecond = 0;  // from the reference's transcript
};

const TFliteVoice* NearestFlite(const TVoiceBook& ABook, TTtsGender AGender, double AF0) {
  const TFliteVoice* Best = nullptr;
  for (const TFliteVoice& v : ABook.FliteVoices) {
    if (v.Gender != AGender) continue;
    if (Best == nullptr ||
        std::fabs(std::log(v.BaseF0 / AF0)) < std::fabs(std::log(Best->BaseF0 / AF0)))
      Best = &v;
  }
  return Best;
}

// A scale from a reference's measurement, or 1 where it is too close to the voice's own
// to be told apart from it (AMargins: how many of the voice book's margins).
double OwnUnlessFar(const TVoiceBook& ABook, double AScale, double AMargins = 1) {
  return std::fabs(std::log(AScale)) <= std::log1p(AMargins * ABook.FliteOwnWithin) ? 1 : AScale;
}

// The flite voice for an espeak-ng choice: of the variant's gender (else the hinted one,
// else the default female voice, the usual announcer), nearest to the reference's pitch;
// the pitch setting and rate carry over as ratios, so profiles and seeds keep their
// meaning, and a reference's own pitch and spread are taken as they are.
void ChooseFlite(const TVoiceBook& ABook, const TChoice& AChoice, TTtsGender AStyleGender,
                 TSpeechPlan& APlan) {
  const TEspeakVariant* Variant = ABook.FindVariant(AChoice.Variant);
  TTtsGender Gender = Variant != nullptr ? Variant->Gender : AStyleGender;
  if (Gender == tgAuto) Gender = tgFemale;
  const TFliteVoice* v = AChoice.F0 > 0 ? NearestFlite(ABook, Gender, AChoice.F0) : nullptr;
  if (v == nullptr) v = ABook.FindFlite(Gender == tgFemale ? ABook.FemaleFlite : ABook.MaleFlite);
  if (v == nullptr) return;
  APlan.Flite = v->Name;
  if (AChoice.F0 > 0) {
    APlan.F0Scale = OwnUnlessFar(ABook, AChoice.F0 / v->BaseF0);
    // The spread of pitch is measured less surely than its median: one line of slt reads
    // 9 % wider as flite's 16 kHz than as the server's 22.05 kHz.
    if (AChoice.F0Range > 0 && v->F0Range > 0)
      APlan.RangeScale =
          OwnUnlessFar(ABook, std::clamp(AChoice.F0Range / v->F0Range, 0.25, 4.0), 2);
  } else {
    APlan.F0Scale = PitchRatioFor(ABook, APlan.Pitch);
  }
  // A transcript's pace compares with the voice's own; otherwise the rate's ratio to
  // espeak-ng's default carries over.
  const double Stretch =
      AChoice.SyllablesPerSecond > 0
          ? OwnUnlessFar(ABook, v->SyllablesPerSecond / AChoice.SyllablesPerSecond)
          : static_cast<double>(EspeakDefaultRate) / AChoice.Rate;
  APlan.Stretch = std::clamp(Stretch, static_cast<double>(EspeakDefaultRate) / MaxRate,
                             static_cast<double>(EspeakDefaultRate) / MinRate);
}

bool ChooseFromReference(const TVoiceBook& ABook, const TGenerateParts& AParts,
                         const std::string& ALanguage, TTtsGender AStyleGender,
                         TReferenceMemo* AMemo, TChoice& AChoice, TRequestError& AError) {
  bool Known = false;
  const TReferenceAnalysis Analysis =
      AMemo != nullptr ? AMemo->Analyse(AParts, Known) : AnalyseReference(AParts);
  const TReferenceFormat Kind = Analysis.Format;
  if (Kind != rfWav && Kind != rfMp3)
    return Fail(AError, 400, "the reference audio is neither WAV nor MP3");
  if (!Analysis.Decoded)
    return Fail(AError, 400,
                Format("the reference audio cannot be read as %s", ReferenceFormatName(Kind)));
  const TVoiceTraits& Traits = Analysis.Traits;
  const TLanguageVoice& Ref = ABook.LanguageFor(
      Analysis.TranscriptLanguage.empty() ? ALanguage : Analysis.TranscriptLanguage);
  AChoice.Origin = Format("reference %s %.1fs", ReferenceFormatName(Kind), Traits.DurationS);
  if (Traits.MedianF0 > 0) {
    // Pitches are compared on the scale of a language espeak-ng speaks at its usual
    // height, so a clip in Mandarin (which espeak-ng speaks low) is judged fairly. The
    // output language's own height then applies through espeak-ng itself.
    const double F0 = Traits.MedianF0 / Ref.F0Scale;
    const TTtsGender Gender = F0 > ABook.FemaleAboveF0 ? tgFemale : tgMale;
    const TEspeakVariant* v = NearestVariant(ABook, Gender, F0);
    if (v == nullptr) v = ABook.FindVariant(DefaultVariant(ABook, Gender));
    if (v != nullptr) {
      AChoice.Variant = v->Name;
      AChoice.Pitch = PitchSettingFor(ABook, F0 / v->BaseF0);
    }
    AChoice.F0 = F0;
    AChoice.F0Range = Traits.F0Range / Ref.F0Scale;
    AChoice.Origin += Format(" f0=%.0fHz", Traits.MedianF0);
  } else {
    AChoice.Variant = DefaultVariant(ABook, AStyleGender);
    AChoice.Origin += " unvoiced";
  }
  if (Traits.SyllablesPerSecond > 0) {
    const double Nominal =
        Traits.RateFromTranscript ? Ref.SyllablesPerSecond : ABook.PeaksPerSecond;
    const double Relative = Traits.SyllablesPerSecond / Nominal;
    // Languages have their own pace in espeak-ng; the speaker's pace relative to
    // espeak-ng's in the reference's language carries over, not the syllable count.
    AChoice.Rate = std::clamp(static_cast<int32_t>(std::lround(EspeakDefaultRate * Relative)),
                              MinRate, MaxRate);
    AChoice.Origin += Format(" %.1fsyl/s", Traits.SyllablesPerSecond);
    if (Traits.RateFromTranscript) AChoice.SyllablesPerSecond = Traits.SyllablesPerSecond;
  }
  if (Known) AChoice.Origin += " remembered";
  return true;
}

}  // namespace

int32_t PitchSettingFor(const TVoiceBook& ABook, double ARatio) {
  const std::vector<int32_t>& s = ABook.PitchSettings;
  const std::vector<double>& r = ABook.PitchRatios;
  if (s.size() < 2 || s.size() != r.size() || !(ARatio > 0)) return EspeakDefaultPitch;
  const double x = std::log(ARatio);
  size_t i = 1;
  while (i + 1 < s.size() && x > std::log(r[i]))
    ++i;
  // Interpolated in the logarithm of the ratio, extrapolated past the ends.
  const double x0 = std::log(r[i - 1]), x1 = std::log(r[i]);
  const double Setting = s[i - 1] + (x - x0) / (x1 - x0) * (s[i] - s[i - 1]);
  if (!std::isfinite(Setting)) return EspeakDefaultPitch;
  return static_cast<int32_t>(std::lround(std::clamp(Setting, 0.0, 99.0)));
}

double PitchRatioFor(const TVoiceBook& ABook, int32_t ASetting) {
  const std::vector<int32_t>& s = ABook.PitchSettings;
  const std::vector<double>& r = ABook.PitchRatios;
  if (s.size() < 2 || s.size() != r.size()) return 1;
  size_t i = 1;
  while (i + 1 < s.size() && ASetting > s[i])
    ++i;
  const double t = static_cast<double>(ASetting - s[i - 1]) / (s[i] - s[i - 1]);
  return std::exp(std::log(r[i - 1]) + t * (std::log(r[i]) - std::log(r[i - 1])));
}

bool PlanSpeech(const TVoiceBook& ABook, const TGenerateParts& AParts, TSpeechPlan& APlan,
                TRequestError& AError, TReferenceMemo* AMemo) {
  APlan = TSpeechPlan();
  if (!AParts.HasText) return Fail(AError, 400, "the request has no \"text\" part");
  if (AParts.Text.size() > MaxTextBytes)
    return Fail(AError, 413, Format("the text is longer than %d bytes", MaxTextBytes));
  if (!IsValidUtf8(AParts.Text)) return Fail(AError, 400, "the text is not valid UTF-8");
  const TStyledText Styled = SplitStyleHint(AParts.Text);
  if (Trim(Styled.Spoken).empty()) return Fail(AError, 400, "the text has nothing to speak");
  int32_t Seed = 0;
  if (AParts.HasParams && !ReadParams(AParts.Params, Seed, AError)) return false;

  APlan.Text = Styled.Spoken;
  APlan.Language = DetectLanguage(Styled.Spoken);
  APlan.Seed = Seed;
  const TTtsGender StyleGender = GenderFromStyle(Styled.Style);
  const uint32_t Hash = MixSeed(Seed);
  const std::string Profile = Trim(AParts.Voice);

  TChoice c;
  if (AParts.HasVoice && !Profile.empty()) {
    const TVoiceProfile* p = ABook.FindProfile(Profile);
    if (p == nullptr)
      return Fail(AError, 400, Format("unknown voice profile \"%s\"", Quoted(Profile)));
    c.Variant = p->Variant;
    c.Pitch = p->Pitch;
    c.Rate = p->Rate;
    c.Origin = "profile " + p->Name;
    if (Seed != 0) {
      c.Pitch += Jitter(Hash, 0, 2);
      c.Rate += Jitter(Hash, 8, 4);
    }
  } else if (AParts.HasReference && !AParts.Reference.empty()) {
    if (!ChooseFromReference(ABook, AParts, APlan.Language, StyleGender, AMemo, c, AError))
      return false;
    if (Seed != 0) {
      c.Pitch += Jitter(Hash, 0, 2);
      c.Rate += Jitter(Hash, 8, 4);
    }
  } else if (Seed != 0) {
    // No voice given: the seed invents one, a variant of the asked-for gender with its
    // own pitch and pace, the same every time for the same seed.
    std::vector<const TEspeakVariant*> Candidates;
    for (const TEspeakVariant& v : ABook.Variants) {
      if (v.Gender == StyleGender) Candidates.push_back(&v);
    }
    if (!Candidates.empty()) c.Variant = Candidates[(Hash >> 16) % Candidates.size()]->Name;
    c.Pitch += Jitter(Hash, 0, 4);
    c.Rate += Jitter(Hash, 8, 8);
    c.Origin = "seeded";
  } else {
    // espeak-ng's own voice of the language, exactly as its command line speaks it.
    c.Variant = DefaultVariant(ABook, StyleGender);
    c.Origin = "default";
  }
  const TLanguageVoice& Lang = ABook.LanguageFor(APlan.Language);
  APlan.Voice = c.Variant.empty() ? Lang.Voice : Lang.Voice + "+" + c.Variant;
  APlan.Pitch = std::clamp(c.Pitch, 0, 99);
  APlan.Rate = std::clamp(c.Rate, 80, 450);
  APlan.Origin = c.Origin;
  if (APlan.Language == "en") ChooseFlite(ABook, c, StyleGender, APlan);
  return true;
}

}  // namespace quavox::s2
