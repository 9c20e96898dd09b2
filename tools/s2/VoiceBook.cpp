#include "VoiceBook.h"

#include <cmath>
#include <fstream>

#include "core/Format.h"

namespace quavox::s2 {

namespace {

const size_t MaxVoiceFileRead = 16u << 20;

const char* const KeyArchitecture = "general.architecture";
const char* const KeyName = "general.name";
const char* const KeyDescription = "general.description";
const char* const KeyVersion = "quavox-espeak.format_version";
const char* const KeySampleRate = "quavox-espeak.sample_rate";
const char* const KeyLanguageCodes = "quavox-espeak.language.codes";
const char* const KeyLanguageVoices = "quavox-espeak.language.voices";
const char* const KeyLanguageF0Scale = "quavox-espeak.language.f0_scale";
const char* const KeyLanguageSyllables = "quavox-espeak.language.syllables_per_second";
const char* const KeyVariantNames = "quavox-espeak.variant.names";
const char* const KeyVariantGenders = "quavox-espeak.variant.genders";
const char* const KeyVariantBaseF0 = "quavox-espeak.variant.base_f0";
const char* const KeyDefaultBaseF0 = "quavox-espeak.default.base_f0";
const char* const KeyFemaleVariant = "quavox-espeak.default.female_variant";
const char* const KeyMaleVariant = "quavox-espeak.default.male_variant";
const char* const KeyFemaleAbove = "quavox-espeak.reference.female_above_f0";
const char* const KeyPeakRate = "quavox-espeak.rate.peaks_per_second";
const char* const KeyPitchSettings = "quavox-espeak.pitch.settings";
const char* const KeyPitchRatios = "quavox-espeak.pitch.ratios";
const char* const KeyProfileNames = "quavox-espeak.profile.names";
const char* const KeyProfileVariants = "quavox-espeak.profile.variants";
const char* const KeyProfilePitch = "quavox-espeak.profile.pitch";
const char* const KeyProfileRate = "quavox-espeak.profile.rate";
const char* const KeyFliteNames = "quavox-espeak.flite.names";
const char* const KeyFliteGenders = "quavox-espeak.flite.genders";
const char* const KeyFliteBaseF0 = "quavox-espeak.flite.base_f0";
const char* const KeyFliteF0Range = "quavox-espeak.flite.f0_range";
const char* const KeyFliteSyllables = "quavox-espeak.flite.syllables_per_second";
const char* const KeyFemaleFlite = "quavox-espeak.flite.female";
const char* const KeyMaleFlite = "quavox-espeak.flite.male";
const char* const KeyFliteOwnWithin = "quavox-espeak.flite.own_within";

// Voice and variant names become part of the voice name handed to espeak-ng; keeping them
// to plain characters keeps "+" and paths out of it.
bool PlainName(const std::string& AName) {
  if (AName.empty() || AName.size() > 40) return false;
  for (char c : AName) {
    const bool Ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
    if (!Ok) return false;
  }
  return true;
}

class TMetadataReader {
 public:
  TMetadataReader(const TGgufFile& AFile, std::string& AError) : FFile(AFile), FError(AError) {}

  bool Strings(const char* AKey, std::vector<std::string>& AOut) {
    const TGgufValue* v = FFile.Find(AKey);
    if (v == nullptr || v->Type != TGgufType::gtArray || v->ItemType != TGgufType::gtString)
      return Missing(AKey, "an array of strings");
    AOut.clear();
    for (const TGgufValue& Item : v->Items)
      AOut.push_back(Item.Str);
    return true;
  }

  bool Numbers(const char* AKey, std::vector<double>& AOut) {
    const TGgufValue* v = FFile.Find(AKey);
    if (v == nullptr || v->Type != TGgufType::gtArray) return Missing(AKey, "an array of numbers");
    AOut.clear();
    for (const TGgufValue& Item : v->Items) {
      if (!Item.IsNumber()) return Missing(AKey, "an array of numbers");
      AOut.push_back(Item.IsInteger() ? static_cast<double>(Item.Int) : Item.Float);
    }
    return true;
  }

  bool Number(const char* AKey, double& AOut) {
    const TGgufValue* v = FFile.Find(AKey);
    if (v == nullptr || !v->IsNumber()) return Missing(AKey, "a number");
    AOut = v->IsInteger() ? static_cast<double>(v->Int) : v->Float;
    return true;
  }

  bool String(const char* AKey, std::string& AOut) {
    const std::optional<std::string> s = FFile.FindString(AKey);
    if (!s) return Missing(AKey, "a string");
    AOut = *s;
    return true;
  }

  bool Fail(const std::string& AWhy) {
    FError = "the voice file is damaged: " + AWhy;
    return false;
  }

 private:
  bool Missing(const char* AKey, const char* AWhat) {
    return Fail(Format("%s is missing or not %s", AKey, AWhat));
  }

  const TGgufFile& FFile;
  std::string& FError;
};

bool Finite(double AValue, double ALow, double AHigh) {
  return std::isfinite(AValue) && AValue >= ALow && AValue <= AHigh;
}

bool ReadFliteVoices(TMetadataReader& r, TVoiceBook& ABook) {
  std::vector<std::string> Names, Genders;
  std::vector<double> BaseF0, Range, Syllables;
  if (!r.Strings(KeyFliteNames, Names) || !r.Strings(KeyFliteGenders, Genders) ||
      !r.Numbers(KeyFliteBaseF0, BaseF0) || !r.Numbers(KeyFliteF0Range, Range) ||
      !r.Numbers(KeyFliteSyllables, Syllables) || !r.String(KeyFemaleFlite, ABook.FemaleFlite) ||
      !r.String(KeyMaleFlite, ABook.MaleFlite) ||
      !r.Number(KeyFliteOwnWithin, ABook.FliteOwnWithin))
    return false;
  if (Names.size() != Genders.size() || Names.size() != BaseF0.size() ||
      Names.size() != Range.size() || Names.size() != Syllables.size())
    return r.Fail("flite voice tables differ in length");
  if (!Finite(ABook.FliteOwnWithin, 0, 0.5))
    return r.Fail("flite's own-setting margin is out of range");
  for (size_t i = 0; i < Names.size(); ++i) {
    const TTtsGender g = ParseGender(Genders[i]);
    if (!PlainName(Names[i]) || g == tgAuto || !Finite(BaseF0[i], 40, 500) ||
        !Finite(Range[i], 0, 200) || !Finite(Syllables[i], 0.5, 20))
      return r.Fail(Format("flite voice %d is unusable", i));
    ABook.FliteVoices.push_back({Names[i], g, BaseF0[i], Range[i], Syllables[i]});
  }
  const TFliteVoice* Female = ABook.FindFlite(ABook.FemaleFlite);
  const TFliteVoice* Male = ABook.FindFlite(ABook.MaleFlite);
  if (Female == nullptr || Female->Gender != tgFemale || Male == nullptr || Male->Gender != tgMale)
    return r.Fail("the default female and male flite voices are not voices of that gender");
  return true;
}

}  // namespace

const TLanguageVoice& TVoiceBook::LanguageFor(const std::string& ALanguage) const {
  const TLanguageVoice* English = nullptr;
  for (const TLanguageVoice& l : Languages) {
    if (l.Code == ALanguage) return l;
    if (l.Code == "en") English = &l;
  }
  // A loaded book always has English (FromGguf checks it); a hand-made one may not.
  static const TLanguageVoice Fallback{"en", "en", 1, 5};
  return English != nullptr ? *English : Fallback;
}

const TEspeakVariant* TVoiceBook::FindVariant(const std::string& AName) const {
  for (const TEspeakVariant& v : Variants) {
    if (v.Name == AName) return &v;
  }
  return nullptr;
}

const TFliteVoice* TVoiceBook::FindFlite(const std::string& AName) const {
  for (const TFliteVoice& v : FliteVoices) {
    if (v.Name == AName) return &v;
  }
  return nullptr;
}

const TVoiceProfile* TVoiceBook::FindProfile(const std::string& AName) const {
  for (const TVoiceProfile& p : Profiles) {
    if (p.Name == AName) return &p;
  }
  return nullptr;
}

TGgufFile TVoiceBook::ToGguf() const {
  TGgufFile f;
  f.Set(KeyArchitecture, TGgufValue::String(VoiceFileArchitecture));
  f.Set(KeyName, TGgufValue::String(Name));
  f.Set(KeyDescription,
        TGgufValue::String(
            "Voice table of the Quavox bundled inference server (flite for English, espeak-ng)"));
  f.Set(KeyVersion, TGgufValue::Uint32(VoiceFileVersion));
  f.Set(KeySampleRate, TGgufValue::Uint32(static_cast<uint32_t>(SampleRate)));
  std::vector<std::string> Codes, Voices;
  std::vector<float> Scales, Syllables;
  for (const TLanguageVoice& l : Languages) {
    Codes.push_back(l.Code);
    Voices.push_back(l.Voice);
    Scales.push_back(static_cast<float>(l.F0Scale));
    Syllables.push_back(static_cast<float>(l.SyllablesPerSecond));
  }
  f.Set(KeyLanguageCodes, TGgufValue::StringArray(Codes));
  f.Set(KeyLanguageVoices, TGgufValue::StringArray(Voices));
  f.Set(KeyLanguageF0Scale, TGgufValue::Float32Array(Scales));
  f.Set(KeyLanguageSyllables, TGgufValue::Float32Array(Syllables));
  std::vector<std::string> Names, Genders;
  std::vector<float> BaseF0;
  for (const TEspeakVariant& v : Variants) {
    Names.push_back(v.Name);
    Genders.push_back(GenderToStr(v.Gender));
    BaseF0.push_back(static_cast<float>(v.BaseF0));
  }
  f.Set(KeyVariantNames, TGgufValue::StringArray(Names));
  f.Set(KeyVariantGenders, TGgufValue::StringArray(Genders));
  f.Set(KeyVariantBaseF0, TGgufValue::Float32Array(BaseF0));
  f.Set(KeyDefaultBaseF0, TGgufValue::Float32(static_cast<float>(DefaultBaseF0)));
  f.Set(KeyFemaleVariant, TGgufValue::String(FemaleVariant));
  f.Set(KeyMaleVariant, TGgufValue::String(MaleVariant));
  f.Set(KeyFemaleAbove, TGgufValue::Float32(static_cast<float>(FemaleAboveF0)));
  f.Set(KeyPeakRate, TGgufValue::Float32(static_cast<float>(PeaksPerSecond)));
  f.Set(KeyPitchSettings, TGgufValue::Int32Array(PitchSettings));
  std::vector<float> Ratios(PitchRatios.begin(), PitchRatios.end());
  f.Set(KeyPitchRatios, TGgufValue::Float32Array(Ratios));
  std::vector<std::string> ProfileNames, ProfileVariants;
  std::vector<int32_t> Pitch, Rate;
  for (const TVoiceProfile& p : Profiles) {
    ProfileNames.push_back(p.Name);
    ProfileVariants.push_back(p.Variant);
    Pitch.push_back(p.Pitch);
    Rate.push_back(p.Rate);
  }
  f.Set(KeyProfileNames, TGgufValue::StringArray(ProfileNames));
  f.Set(KeyProfileVariants, TGgufValue::StringArray(ProfileVariants));
  f.Set(KeyProfilePitch, TGgufValue::Int32Array(Pitch));
  f.Set(KeyProfileRate, TGgufValue::Int32Array(Rate));
  std::vector<std::string> FliteNames, FliteGenders;
  std::vector<float> FliteF0, FliteRange, FliteSyllables;
  for (const TFliteVoice& v : FliteVoices) {
    FliteNames.push_back(v.Name);
    FliteGenders.push_back(GenderToStr(v.Gender));
    FliteF0.push_back(static_cast<float>(v.BaseF0));
    FliteRange.push_back(static_cast<float>(v.F0Range));
    FliteSyllables.push_back(static_cast<float>(v.SyllablesPerSecond));
  }
  f.Set(KeyFliteNames, TGgufValue::StringArray(FliteNames));
  f.Set(KeyFliteGenders, TGgufValue::StringArray(FliteGenders));
  f.Set(KeyFliteBaseF0, TGgufValue::Float32Array(FliteF0));
  f.Set(KeyFliteF0Range, TGgufValue::Float32Array(FliteRange));
  f.Set(KeyFliteSyllables, TGgufValue::Float32Array(FliteSyllables));
  f.Set(KeyFemaleFlite, TGgufValue::String(FemaleFlite));
  f.Set(KeyMaleFlite, TGgufValue::String(MaleFlite));
  f.Set(KeyFliteOwnWithin, TGgufValue::Float32(static_cast<float>(FliteOwnWithin)));
  return f;
}

bool TVoiceBook::FromGguf(const TGgufFile& AFile, TVoiceBook& ABook, std::string& AError) {
  ABook = TVoiceBook();
  const std::optional<std::string> Arch = AFile.FindString(KeyArchitecture);
  if (!Arch) {
    AError = "not a quavox-espeak voice file (it names no general.architecture)";
    return false;
  }
  if (*Arch != VoiceFileArchitecture) {
    AError = Format(
        "not a quavox-espeak voice file (general.architecture is \"%s\"); this "
        "server speaks through espeak-ng and runs no other model",
        Arch->substr(0, 60).c_str());
    return false;
  }
  TMetadataReader r(AFile, AError);
  if (AFile.TensorCount != 0) return r.Fail("a voice file holds no tensors");
  double Version = 0, Rate = 0;
  if (!r.Number(KeyVersion, Version) || !r.Number(KeySampleRate, Rate)) return false;
  if (Version != VoiceFileVersion)
    return r.Fail(Format("format version %.0f is not %u", Version, VoiceFileVersion));
  if (!Finite(Rate, 8000, 48000)) return r.Fail("sample rate out of range");
  ABook.SampleRate = static_cast<int32_t>(Rate);
  const std::optional<std::string> Name = AFile.FindString(KeyName);
  ABook.Name = Name.value_or("");

  std::vector<std::string> Codes, Voices;
  std::vector<double> Scales, Syllables;
  if (!r.Strings(KeyLanguageCodes, Codes) || !r.Strings(KeyLanguageVoices, Voices) ||
      !r.Numbers(KeyLanguageF0Scale, Scales) || !r.Numbers(KeyLanguageSyllables, Syllables))
    return false;
  if (Codes.empty() || Codes.size() != Voices.size() || Codes.size() != Scales.size() ||
      Codes.size() != Syllables.size())
    return r.Fail("language tables differ in length");
  bool HasEnglish = false;
  for (size_t i = 0; i < Codes.size(); ++i) {
    if (!PlainName(Codes[i]) || !PlainName(Voices[i]) || !Finite(Scales[i], 0.25, 4) ||
        !Finite(Syllables[i], 0.5, 20))
      return r.Fail(Format("language %d is unusable", i));
    ABook.Languages.push_back({Codes[i], Voices[i], Scales[i], Syllables[i]});
    HasEnglish = HasEnglish || Codes[i] == "en";
  }
  if (!HasEnglish) return r.Fail("no voice for English, the fallback");

  std::vector<std::string> Names, Genders;
  std::vector<double> BaseF0;
  if (!r.Strings(KeyVariantNames, Names) || !r.Strings(KeyVariantGenders, Genders) ||
      !r.Numbers(KeyVariantBaseF0, BaseF0))
    return false;
  if (Names.size() != Genders.size() || Names.size() != BaseF0.size())
    return r.Fail("variant tables differ in length");
  for (size_t i = 0; i < Names.size(); ++i) {
    const TTtsGender g = ParseGender(Genders[i]);
    if (!PlainName(Names[i]) || g == tgAuto || !Finite(BaseF0[i], 40, 500))
      return r.Fail(Format("variant %d is unusable", i));
    ABook.Variants.push_back({Names[i], g, BaseF0[i]});
  }
  if (!r.Number(KeyDefaultBaseF0, ABook.DefaultBaseF0) ||
      !r.String(KeyFemaleVariant, ABook.FemaleVariant) ||
      !r.String(KeyMaleVariant, ABook.MaleVariant) ||
      !r.Number(KeyFemaleAbove, ABook.FemaleAboveF0) ||
      !r.Number(KeyPeakRate, ABook.PeaksPerSecond))
    return false;
  if (!Finite(ABook.DefaultBaseF0, 40, 500) || !Finite(ABook.FemaleAboveF0, 40, 500) ||
      !Finite(ABook.PeaksPerSecond, 0.5, 20))
    return r.Fail("a pitch or rate constant is out of range");
  std::vector<double> Settings;
  if (!r.Numbers(KeyPitchSettings, Settings) || !r.Numbers(KeyPitchRatios, ABook.PitchRatios))
    return false;
  if (Settings.size() < 2 || Settings.size() != ABook.PitchRatios.size())
    return r.Fail("the pitch response needs two or more points");
  for (size_t i = 0; i < Settings.size(); ++i) {
    const bool Rising = i == 0 || (Settings[i] > Settings[i - 1] &&
                                   ABook.PitchRatios[i] > ABook.PitchRatios[i - 1]);
    if (!Finite(Settings[i], 0, 99) || !Finite(ABook.PitchRatios[i], 0.1, 10) || !Rising)
      return r.Fail("the pitch response is not rising");
    ABook.PitchSettings.push_back(static_cast<int32_t>(Settings[i]));
  }
  const TEspeakVariant* Female = ABook.FindVariant(ABook.FemaleVariant);
  const TEspeakVariant* Male = ABook.FindVariant(ABook.MaleVariant);
  if (Female == nullptr || Female->Gender != tgFemale || Male == nullptr || Male->Gender != tgMale)
    return r.Fail("the default female and male variants are not variants of that gender");

  std::vector<std::string> ProfileNames, ProfileVariants;
  std::vector<double> Pitch, ProfileRate;
  if (!r.Strings(KeyProfileNames, ProfileNames) ||
      !r.Strings(KeyProfileVariants, ProfileVariants) || !r.Numbers(KeyProfilePitch, Pitch) ||
      !r.Numbers(KeyProfileRate, ProfileRate))
    return false;
  if (ProfileNames.size() != ProfileVariants.size() || ProfileNames.size() != Pitch.size() ||
      ProfileNames.size() != ProfileRate.size())
    return r.Fail("profile tables differ in length");
  for (size_t i = 0; i < ProfileNames.size(); ++i) {
    const bool VariantOk =
        ProfileVariants[i].empty() || ABook.FindVariant(ProfileVariants[i]) != nullptr;
    if (ProfileNames[i].empty() || !VariantOk || !Finite(Pitch[i], 0, 99) ||
        !Finite(ProfileRate[i], 80, 450))
      return r.Fail(Format("profile %d is unusable", i));
    ABook.Profiles.push_back({ProfileNames[i], ProfileVariants[i], static_cast<int32_t>(Pitch[i]),
                              static_cast<int32_t>(ProfileRate[i])});
  }
  return ReadFliteVoices(r, ABook);
}

bool LoadVoiceFile(const std::string& APath, TVoiceBook& ABook, std::string& AError) {
  std::ifstream In(APath, std::ios::binary);
  if (!In) {
    AError = "cannot open the model file " + APath;
    return false;
  }
  std::vector<uint8_t> Bytes(MaxVoiceFileRead);
  In.read(reinterpret_cast<char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
  Bytes.resize(static_cast<size_t>(In.gcount()));
  TGgufFile File;
  const TGgufReadResult Result = TGgufFile::Parse(Bytes, File);
  // A big foreign model is cut off here, but its architecture comes first and still tells
  // whose it is; a voice file of ours must be whole.
  const std::optional<std::string> Arch = File.FindString(KeyArchitecture);
  const bool Foreign = Arch && *Arch != VoiceFileArchitecture;
  if (Result != grOk && !Foreign) {
    AError = Format("%s: %s", APath, GgufReadResultText(Result));
    return false;
  }
  if (!TVoiceBook::FromGguf(File, ABook, AError)) {
    AError = APath + ": " + AError;
    return false;
  }
  return true;
}

}  // namespace quavox::s2
