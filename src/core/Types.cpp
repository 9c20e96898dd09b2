#include "core/Types.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/Format.h"
#include "core/I18n.h"
#include "core/Text.h"
#include "platform/Files.h"

namespace quavox {

namespace {

struct TLanguageRow {
  const char* Code;
  const char* Name;
};

constexpr TLanguageRow LanguageTable[] = {
    {"zh", "中文"},      {"ja", "日本語"},     {"en", "English"},    {"ko", "한국어"},
    {"es", "Español"},   {"pt", "Português"},  {"fr", "Français"},   {"de", "Deutsch"},
    {"ru", "Русский"},   {"ar", "العربية"},    {"it", "Italiano"},   {"nl", "Nederlands"},
    {"pl", "Polski"},    {"tr", "Türkçe"},     {"vi", "Tiếng Việt"}, {"th", "ไทย"},
    {"id", "Indonesia"}, {"hi", "हिन्दी"},      {"sv", "Svenska"},    {"da", "Dansk"},
    {"no", "Norsk"},     {"fi", "Suomi"},      {"cs", "Čeština"},    {"el", "Ελληνικά"},
    {"he", "עברית"},     {"uk", "Українська"}, {"ro", "Română"},     {"hu", "Magyar"},
};

struct TErrorRow {
  const char* WireName;
  int Status;
};

constexpr TErrorRow ErrorTable[] = {
    {"ok", 500},
    {"empty_text", 400},
    {"text_too_long", 413},
    {"bad_voice", 404},
    {"bad_speed", 400},
    {"bad_audio", 400},
    {"engine_not_connected", 503},
    {"engine_failed", 500},
    {"queue_full", 503},
    {"timeout", 504},
    {"clone_failed", 500},
    {"not_found", 404},
    {"follower_read_only", 409},
};

}  // namespace

double RoundHalfEven(double AValue) {
  return std::nearbyint(AValue);
}

TTtsRequest TTtsRequest::Make(std::string_view AText, std::string_view ALanguage,
                              TTtsGender AGender, float ASpeed) {
  TTtsRequest r;
  r.Text = AText;
  r.Language = ALanguage;
  r.Gender = AGender;
  r.Speed = ASpeed;
  r.Priority = tpNormal;
  r.Normalize();
  return r;
}

void TTtsRequest::Normalize() {
  Text = Trim(Text);
  Airline = NormalizeAirline(Airline);
  Style = Trim(Style);
  VoiceId = Trim(VoiceId);
  Speed = ClampSpeed(Speed);
  if (SampleRate < 0) SampleRate = 0;
  if (Style.size() >= 2 && Style.front() == '[' && Style.back() == ']')
    Style = Trim(std::string_view(Style).substr(1, Style.size() - 2));
}

std::string TTtsRequest::EffectiveText() const {
  return Style.empty() ? Text : "[" + Style + "] " + Text;
}

std::string TTtsRequest::Describe() const {
  return Format("[%s/%s/%s x%.2f%s] %s", Language, GenderToStr(Gender),
                VoiceId.empty() ? std::string("-") : VoiceId, Speed,
                Style.empty() ? std::string() : " " + Style, Text);
}

void TTtsResult::SaveToFile(const std::string& AFileName) const {
  WriteFileAtomic(AFileName, Wav);
}

TVoiceHint TVoiceHint::FromVoice(const TVoiceInfo& AVoice) {
  return {AVoice.Language, AVoice.Gender, AVoice.Seed, AVoice.Display};
}

std::string TEngineOptions::Describe() const {
  return Format(Translate("本地 s2.cpp · %s · temp %.2f / top_p %.2f / top_k %d"),
                ComputeDisplay(Compute), Temperature, TopP, TopK);
}

int32_t TPcmBuffer::DurationMs() const {
  if (SampleRate <= 0 || Data.empty()) return 0;
  return static_cast<int32_t>(
      RoundHalfEven(static_cast<double>(Data.size()) / SampleRate * 1000.0));
}

TPcmBuffer TPcmBuffer::Silence(int32_t ASampleRate, int32_t AMs) {
  TPcmBuffer b;
  b.SampleRate = ASampleRate;
  const double n = RoundHalfEven(static_cast<double>(ASampleRate) * AMs / 1000.0);
  if (n > 0) b.Data.assign(static_cast<std::size_t>(n), 0.0f);
  return b;
}

void ETtsError::Raise_(TTtsErrorCode ACode, const std::string& AMsg) {
  throw ETtsError(ACode, AMsg);
}

int ETtsError::HttpStatus() const {
  return ErrorCodeHttpStatus(FCode);
}

std::string NormalizeAirline(std::string_view AText) {
  return UpperAscii(Trim(AText));
}

std::string NormalizeLanguage(std::string_view AText) {
  std::string s = LowerAscii(Trim(AText));
  if (const auto Dash = s.find('-'); Dash != std::string::npos) {
    s.resize(Dash);
  } else if (const auto Under = s.find('_'); Under != std::string::npos) {
    s.resize(Under);
  }
  if (s == "auto") return {};
  if (s == "cn") s = "zh";
  if (s == "jp") s = "ja";
  if (s == "kr") s = "ko";
  for (char c : s)
    if (c < 'a' || c > 'z') return {};
  return s;
}

std::string LanguageName(std::string_view ACode) {
  const std::string Code = NormalizeLanguage(ACode);
  if (Code.empty()) return Translate("自动");
  for (const auto& Row : LanguageTable)
    if (Code == Row.Code) return Row.Name;
  return Code;
}

std::string LanguageLabel(std::string_view ACode) {
  const std::string Code = NormalizeLanguage(ACode);
  if (Code.empty()) return Translate("自动") + " (auto)";
  return Format("%s (%s)", LanguageName(Code), Code);
}

const std::vector<std::string>& KnownLanguages() {
  static const std::vector<std::string> Codes = [] {
    std::vector<std::string> v;
    for (const auto& Row : LanguageTable)
      v.emplace_back(Row.Code);
    return v;
  }();
  return Codes;
}

std::string GenderToStr(TTtsGender AGender) {
  switch (AGender) {
    case tgFemale:
      return "female";
    case tgMale:
      return "male";
    default:
      return "default";
  }
}

TTtsGender ParseGender(std::string_view AText) {
  const std::string t = LowerAscii(Trim(AText));
  if (t == "female" || t == "f" || t == "女") return tgFemale;
  if (t == "male" || t == "m" || t == "男") return tgMale;
  return tgAuto;
}

std::string GenderDisplay(TTtsGender AGender) {
  switch (AGender) {
    case tgFemale:
      return Translate("女声");
    case tgMale:
      return Translate("男声");
    default:
      return Translate("默认");
  }
}

std::string ComputeToStr(TComputeBackend ACompute) {
  switch (ACompute) {
    case cbCpu:
      return "cpu";
    case cbCuda:
      return "cuda";
    case cbVulkan:
      return "vulkan";
    default:
      return "auto";
  }
}

TComputeBackend ParseCompute(std::string_view AText) {
  const std::string t = LowerAscii(Trim(AText));
  if (t == "cpu") return cbCpu;
  if (t == "cuda") return cbCuda;
  if (t == "vulkan") return cbVulkan;
  return cbAuto;
}

std::string ComputeDisplay(TComputeBackend ACompute) {
  switch (ACompute) {
    case cbCpu:
      return Translate("CPU(任何机器都能跑,最慢)");
    case cbCuda:
      return Translate("CUDA(NVIDIA 显卡)");
    case cbVulkan:
      return Translate("Vulkan(A卡/N卡/核显通用)");
    default:
      return Translate("自动(用通用版,CPU)");
  }
}

std::string SpeedModeToStr(TTtsSpeedMode AMode) {
  switch (AMode) {
    case smLocalStretch:
      return "stretch";
    case smLocalResample:
      return "resample";
    default:
      return "engine";
  }
}

TTtsSpeedMode ParseSpeedMode(std::string_view AText) {
  const std::string t = LowerAscii(Trim(AText));
  if (t == "stretch") return smLocalStretch;
  if (t == "resample") return smLocalResample;
  return smEngine;
}

std::string SpeedModeDisplay(TTtsSpeedMode AMode) {
  switch (AMode) {
    case smLocalStretch:
      return Translate("本地变速不变调(WSOLA)");
    case smLocalResample:
      return Translate("本地重采样(变速也变调)");
    default:
      return Translate("引擎原生 speed");
  }
}

std::string ErrorCodeName(TTtsErrorCode ACode) {
  return ACode < std::size(ErrorTable) ? ErrorTable[ACode].WireName : "unknown";
}

int ErrorCodeHttpStatus(TTtsErrorCode ACode) {
  return ACode < std::size(ErrorTable) ? ErrorTable[ACode].Status : 500;
}

float ClampSpeed(float ASpeed) {
  if (std::isnan(ASpeed) || ASpeed <= 0.0f) return 1.0f;
  return std::clamp(ASpeed, 0.5f, 2.0f);
}

}  // namespace quavox
