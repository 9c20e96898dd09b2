// The voice table of the shipped voice file. The pitch and rate figures were measured with
// the server's own analysis (MeasureVoice) on espeak-ng 1.51 speaking announcement lines,
// so that a clip the server made and gets back as a reference maps onto the same voice.
#include "VoiceBook.h"

namespace quavox::s2 {

TVoiceBook StandardVoiceBook() {
  TVoiceBook b;
  b.Name = "Quavox flite and espeak-ng voices";
  b.SampleRate = 22050;
  // Code, espeak-ng voice, pitch relative to the other languages, syllables per second.
  b.Languages = {
      {"zh", "cmn", 0.70, 3.05}, {"ja", "ja", 1.00, 2.74}, {"en", "en", 1.00, 5.90},
      {"ko", "ko", 0.85, 4.35},  {"es", "es", 1.05, 6.58}, {"pt", "pt", 1.05, 5.88},
      {"fr", "fr", 1.00, 6.34},  {"de", "de", 1.00, 5.21}, {"ru", "ru", 1.05, 6.42},
      {"ar", "ar", 0.95, 4.65},  {"it", "it", 1.00, 5.98}, {"nl", "nl", 1.00, 4.36},
      {"pl", "pl", 1.00, 4.84},  {"tr", "tr", 1.10, 4.56}, {"vi", "vi", 0.80, 4.55},
      {"th", "th", 1.10, 3.80},  {"id", "id", 0.95, 5.42}, {"hi", "hi", 1.05, 5.36},
      {"sv", "sv", 1.00, 5.26},  {"da", "da", 1.00, 5.56}, {"no", "nb", 1.00, 4.73},
      {"fi", "fi", 1.00, 4.82},  {"cs", "cs", 1.00, 5.86}, {"el", "el", 1.00, 6.40},
      {"he", "he", 1.00, 5.56},  {"uk", "uk", 1.05, 7.33}, {"ro", "ro", 1.05, 5.50},
      {"hu", "hu", 0.95, 4.98},
  };
  // Median pitch in English at the pitch setting 50.
  b.Variants = {
      {"f1", tgFemale, 176}, {"f2", tgFemale, 192}, {"f3", tgFemale, 207}, {"f4", tgFemale, 177},
      {"f5", tgFemale, 200}, {"m1", tgMale, 92},    {"m2", tgMale, 100},   {"m3", tgMale, 104},
      {"m4", tgMale, 93},    {"m5", tgMale, 102},   {"m6", tgMale, 100},   {"m7", tgMale, 106},
  };
  b.DefaultBaseF0 = 100;
  b.FemaleVariant = "f3";
  b.MaleVariant = "m3";
  // Between espeak-ng's male (about 100 Hz) and female (about 200 Hz) voices, and between
  // typical men and women.
  b.FemaleAboveF0 = 150;
  b.PeaksPerSecond = 5.1;
  b.PitchSettings = {0, 20, 35, 50, 65, 80, 99};
  b.PitchRatios = {0.70, 0.80, 0.89, 1.00, 1.15, 1.32, 1.62};
  b.Profiles = {
      {"default", "", 50, 175},         {"female-calm", "f3", 46, 165},
      {"female-bright", "f5", 58, 180}, {"female-warm", "f2", 44, 160},
      {"female-clear", "f4", 52, 175},  {"male-calm", "m3", 46, 165},
      {"male-deep", "m7", 36, 155},     {"male-bright", "m1", 56, 180},
      {"male-clear", "m6", 50, 175},
  };
  // English through flite: slt and rms, the female and male voices a speech recogniser
  // understands best of those Debian ships (bench/english-wer.py); pitch and pace measured
  // by the same reference analysis a clone goes through, on flite 2.2 speaking the line the
  // default voices are made from, so a default voice cloned from its own line speaks as the
  // flite voice does.
  b.FliteVoices = {
      {"slt", tgFemale, 165, 9.5, 5.0},
      {"rms", tgMale, 98, 11, 4.4},
  };
  b.FemaleFlite = "slt";
  b.MaleFlite = "rms";
  // slt speaks least clearly at any pace or pitch but its own (bench/english-wer.py: 11 %
  // of words missed at its own pace, 13 % to 19 % at 5 % to 15 % faster or slower). 6 %
  // (a semitone of pitch) covers the spread of the voice analysis and of a seeded voice
  // around its flite voice, so the default voices, cloned from such a line, speak as flite.
  b.FliteOwnWithin = 0.06;
  return b;
}

}  // namespace quavox::s2
