#include "core/I18n.h"

#include <atomic>
#include <cstdlib>
#include <unordered_map>

#include "core/Text.h"

namespace quavox {

const TTranslationRow TranslationTable[] = {
#include "core/TranslationTable.inc"
};
const std::size_t TranslationTableSize = std::size(TranslationTable);

namespace {

std::atomic<uint8_t> GChosenLang{ulAuto};

// Built once before first use; the first row with a given Chinese text wins.
const std::unordered_map<std::string_view, std::size_t>& TranslationIndex() {
  static const auto Index = [] {
    std::unordered_map<std::string_view, std::size_t> m;
    m.reserve(TranslationTableSize);
    for (std::size_t Row = 0; Row < TranslationTableSize; ++Row)
      m.emplace(TranslationTable[Row].Zh, Row);
    return m;
  }();
  return Index;
}

std::string FirstUiLanguageSetting() {
  for (const char* Name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(Name);
    if (v != nullptr && *v != '\0') {
      std::string s(v);
      return s.substr(0, s.find(':'));
    }
  }
  return {};
}

}  // namespace

void SetUiLang(TUiLang ALang) {
  GChosenLang.store(ALang, std::memory_order_relaxed);
}

TUiLang CurrentUiLang() {
  const auto Chosen = static_cast<TUiLang>(GChosenLang.load(std::memory_order_relaxed));
  return Chosen == ulZh || Chosen == ulJa || Chosen == ulEn ? Chosen : DetectUiLang();
}

TUiLang DetectUiLang() {
  const std::string Lang = LowerAscii(FirstUiLanguageSetting());
  if (StartsWith(Lang, "zh")) return ulZh;
  if (StartsWith(Lang, "ja")) return ulJa;
  return ulEn;
}

std::string Translate(std::string_view AText) {
  const TUiLang Lang = CurrentUiLang();
  if (Lang == ulZh) return std::string(AText);
  const auto& Index = TranslationIndex();
  const auto It = Index.find(AText);
  if (It == Index.end()) return std::string(AText);
  const TTranslationRow& Row = TranslationTable[It->second];
  const char* Cell = Lang == ulJa ? Row.Ja : Row.En;
  return Cell != nullptr && *Cell != '\0' ? std::string(Cell) : std::string(AText);
}

std::string UiLangCode(TUiLang ALang) {
  switch (ALang) {
    case ulZh:
      return "zh";
    case ulJa:
      return "ja";
    case ulEn:
      return "en";
    default:
      return "auto";
  }
}

TUiLang ParseUiLang(std::string_view AText) {
  const std::string t = LowerAscii(Trim(AText));
  if (t == "zh") return ulZh;
  if (t == "ja") return ulJa;
  if (t == "en") return ulEn;
  return ulAuto;
}

std::string UiLangName(TUiLang ALang) {
  switch (ALang) {
    case ulZh:
      return "中文";
    case ulJa:
      return "日本語";
    case ulEn:
      return "English";
    default:
      return Translate("自动");
  }
}

std::vector<std::string> UiFontCandidates(TUiLang ALang) {
  // The Windows names come first so a machine that has them looks the same everywhere.
  switch (ALang) {
    case ulZh:
      return {"Microsoft YaHei UI", "Microsoft YaHei",     "Segoe UI",
              "Noto Sans CJK SC",   "WenQuanYi Micro Hei", "DejaVu Sans"};
    case ulJa:
      return {"Yu Gothic UI", "Meiryo UI",        "Meiryo",
              "MS UI Gothic", "Noto Sans CJK JP", "DejaVu Sans"};
    case ulEn:
      return {"Segoe UI", "Tahoma", "DejaVu Sans"};
    default:
      return {"Segoe UI", "DejaVu Sans"};
  }
}

}  // namespace quavox
