// What the bundled server reads from the text of a request: the style hint in front of
// it, the gender that hint asks for, the language (the request names none, so the script
// and a few word cues decide), and a syllable count for speaking-rate estimates. Pure
// functions; any bytes give an answer.
#pragma once

#include <string>
#include <string_view>

#include "core/Types.h"

namespace quavox::s2 {

// "[a calm female voice] Flight 123" → Style "a calm female voice", Spoken "Flight 123".
// Only a leading bracket pair without brackets inside counts, so espeak-ng phoneme input
// ("[[h@'loU]]") stays spoken text.
struct TStyledText {
  std::string Style;
  std::string Spoken;
};
TStyledText SplitStyleHint(std::string_view AText);

// tgFemale or tgMale when the hint says so in words ("female", "woman", 女, ...), the
// earliest such word winning; tgAuto otherwise.
TTtsGender GenderFromStyle(std::string_view AStyle);

// One of the 28 language codes of the service; "en" when nothing points elsewhere.
std::string DetectLanguage(std::string_view AText);

// Rough count of spoken syllables: one per Han character, kana or Hangul block, one per
// vowel group in alphabetic words, two per digit.
int CountSyllables(std::string_view AText);

bool IsValidUtf8(std::string_view AText);

}  // namespace quavox::s2
