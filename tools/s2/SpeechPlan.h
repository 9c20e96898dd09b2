// Turns the parts of one POST /generate into what espeak-ng is asked to do: the spoken
// text, its language, the espeak-ng voice with variant, pitch and rate. Requests that
// cannot be served get a 4xx status and a one-line reason instead. Pure; any bytes in
// any part give one or the other.
#pragma once

#include <cstdint>
#include <string>

#include "VoiceBook.h"

namespace quavox::s2 {

// The multipart form fields of a generate request, as they arrived.
struct TGenerateParts {
  bool HasText = false;
  std::string Text;
  bool HasParams = false;
  std::string Params;
  bool HasVoice = false;
  std::string Voice;
  bool HasReference = false;
  std::string Reference;
  std::string ReferenceFileName;
  std::string ReferenceText;
};

// espeak-ng's own settings, which a plan leaves untouched when it keeps them.
inline constexpr int32_t EspeakDefaultPitch = 50;
inline constexpr int32_t EspeakDefaultRate = 175;

struct TSpeechPlan {
  std::string Text;      // the spoken text: the request's text without its style hint
  std::string Language;  // service language code
  std::string Voice;     // espeak-ng voice name, with "+variant" when one is chosen
  int32_t Pitch = EspeakDefaultPitch;
  int32_t Rate = EspeakDefaultRate;
  // English: the flite voice that speaks instead of espeak-ng (Voice, Pitch and Rate then
  // mean nothing), with how its pitch mean and pitch spread are scaled and its duration
  // stretch (1 = flite's own pace, 1.2 = 20 % slower).
  std::string Flite;
  double F0Scale = 1;
  double RangeScale = 1;
  double Stretch = 1;
  int32_t Seed = 0;    // 0 = none
  std::string Origin;  // for the log: how the voice was chosen
};

struct TRequestError {
  int Status = 400;
  std::string Message;  // one line
};

// The limit on the text of one request, in bytes.
inline constexpr size_t MaxTextBytes = 20000;

class TReferenceMemo;

// With AMemo, a reference whose content was measured before is not measured again.
bool PlanSpeech(const TVoiceBook& ABook, const TGenerateParts& AParts, TSpeechPlan& APlan,
                TRequestError& AError, TReferenceMemo* AMemo = nullptr);

// espeak-ng pitch setting (0-99) that scales its pitch at setting 50 by ARatio.
int32_t PitchSettingFor(const TVoiceBook& ABook, double ARatio);
// Its inverse: how much the pitch setting ASetting scales the pitch at setting 50.
double PitchRatioFor(const TVoiceBook& ABook, int32_t ASetting);

}  // namespace quavox::s2
