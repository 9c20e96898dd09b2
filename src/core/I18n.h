// Interface language: every user-visible text is written in Chinese and shown through
// Translate, which looks it up in a fixed table and returns the Japanese or English row
// for the current language. Safe on any thread: the table is constant after start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quavox {

enum TUiLang : uint8_t { ulAuto = 0, ulZh = 1, ulJa = 2, ulEn = 3 };

struct TTranslationRow {
  const char* Zh;
  const char* Ja;
  const char* En;
};

extern const TTranslationRow TranslationTable[];
extern const std::size_t TranslationTableSize;

void SetUiLang(TUiLang ALang);
// The chosen language, or the detected one while the choice is automatic; never ulAuto.
TUiLang CurrentUiLang();
// From the user's locale settings (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), asked on every call.
TUiLang DetectUiLang();
std::string Translate(std::string_view AText);
std::string UiLangCode(TUiLang ALang);
TUiLang ParseUiLang(std::string_view AText);
std::string UiLangName(TUiLang ALang);
std::vector<std::string> UiFontCandidates(TUiLang ALang);

}  // namespace quavox
