// The bundled server's "model": which espeak-ng voice speaks each language, the voice
// variants it may pick from with their measured pitch, and the named voice profiles a
// request can ask for. It lives as metadata in a small GGUF file of its own, so the server
// loads a model file the way every inference server does and refuses anybody else's.
#pragma once

#include <string>
#include <vector>

#include "Gguf.h"
#include "core/Types.h"

namespace quavox::s2 {

// The value of general.architecture that marks a voice file of ours.
inline constexpr const char* VoiceFileArchitecture = "quavox-espeak";
// 2: English is spoken by flite voices. 3: a reference near a flite voice keeps its own
// settings (FliteOwnWithin). 4: English comes at its flite voice's own rate (16 kHz), so
// clips cached from an older voice file are not served as this one's.
inline constexpr uint32_t VoiceFileVersion = 4;

// The espeak-ng voice of one language of the service, with how espeak-ng speaks it: its
// pitch relative to the other languages (tonal languages sit lower) and its syllables per
// second at the default rate, both as the server's own measurements see them.
struct TLanguageVoice {
  std::string Code;
  std::string Voice;
  double F0Scale = 1;
  double SyllablesPerSecond = 5;
};

// An espeak-ng voice variant ("f3" is spoken as "<voice>+f3"), with the median pitch of
// its speech at espeak-ng's middle pitch setting 50.
struct TEspeakVariant {
  std::string Name;
  TTtsGender Gender = tgAuto;
  double BaseF0 = 0;
};

// A named voice a request may select with its "voice" part. Variant empty = espeak-ng's
// own voice of the language.
struct TVoiceProfile {
  std::string Name;
  std::string Variant;
  int32_t Pitch = 50;
  int32_t Rate = 175;
};

// A flite voice for English ("slt", "rms"), with the pitch of its speech (median and
// spread of the voiced frames) and its syllables per second, as the server's own
// measurements see them, so that a reference is compared on the same scale.
struct TFliteVoice {
  std::string Name;
  TTtsGender Gender = tgAuto;
  double BaseF0 = 0;
  double F0Range = 0;
  double SyllablesPerSecond = 5;
};

struct TVoiceBook {
  std::string Name;
  int32_t SampleRate = 22050;
  std::vector<TLanguageVoice> Languages;
  std::vector<TEspeakVariant> Variants;
  std::vector<TVoiceProfile> Profiles;
  double DefaultBaseF0 = 0;   // espeak-ng's own voices, no variant
  std::string FemaleVariant;  // picked for a female style hint without seed or reference
  std::string MaleVariant;
  // A reference speaking higher than this (times its language's F0Scale) gets a female
  // variant.
  double FemaleAboveF0 = 0;
  // Loudness peaks per second in espeak-ng's speech at its default rate, the yardstick for
  // references that come without a transcript.
  double PeaksPerSecond = 0;
  // How espeak-ng's pitch setting (0-99, default 50) scales the pitch: PitchRatios[i] is the
  // pitch at setting PitchSettings[i] over the pitch at 50. Ascending in both.
  std::vector<int32_t> PitchSettings;
  std::vector<double> PitchRatios;
  // English is spoken by these instead of espeak-ng; the defaults serve gender hints and
  // requests without a voice.
  std::vector<TFliteVoice> FliteVoices;
  std::string FemaleFlite;
  std::string MaleFlite;
  // A reference's pitch and pace within this fraction of a flite voice's own (its pitch
  // spread within twice that) leave that setting at the voice's own: flite's voices are understood
  // best there, and the reference analysis cannot tell such a difference from the voice itself.
  double FliteOwnWithin = 0;

  // The row of a language code; the English row when the book has none for it.
  const TLanguageVoice& LanguageFor(const std::string& ALanguage) const;
  const TEspeakVariant* FindVariant(const std::string& AName) const;
  const TVoiceProfile* FindProfile(const std::string& AName) const;
  const TFliteVoice* FindFlite(const std::string& AName) const;

  TGgufFile ToGguf() const;
  // False with a reason when the file is not a complete voice file of ours.
  static bool FromGguf(const TGgufFile& AFile, TVoiceBook& ABook, std::string& AError);
};

// The voice book the build writes into models/quavox-espeak.gguf.
TVoiceBook StandardVoiceBook();

// Reads a voice file. Only the first few megabytes are looked at, which holds all of our
// metadata and is enough to name the architecture of anybody else's model.
bool LoadVoiceFile(const std::string& APath, TVoiceBook& ABook, std::string& AError);

}  // namespace quavox::s2
