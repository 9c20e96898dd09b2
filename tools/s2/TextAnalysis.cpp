#include "TextAnalysis.h"

#include <algorithm>
#include <array>
#include <vector>

#include "core/Text.h"

namespace quavox::s2 {

namespace {

const char32_t Invalid = 0xFFFD;

// Lenient decoding: every byte that does not start a well-formed sequence becomes U+FFFD.
std::u32string Decode(std::string_view AText, bool* AValid = nullptr) {
  std::u32string Out;
  Out.reserve(AText.size());
  bool Valid = true;
  size_t i = 0;
  while (i < AText.size()) {
    const auto b0 = static_cast<uint8_t>(AText[i]);
    int Need = 0;
    char32_t c = 0;
    char32_t Min = 0;
    if (b0 < 0x80) {
      Out.push_back(b0);
      ++i;
      continue;
    } else if ((b0 & 0xE0) == 0xC0) {
      Need = 1, c = b0 & 0x1F, Min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      Need = 2, c = b0 & 0x0F, Min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      Need = 3, c = b0 & 0x07, Min = 0x10000;
    } else {
      Out.push_back(Invalid), Valid = false, ++i;
      continue;
    }
    bool Ok = i + static_cast<size_t>(Need) < AText.size();
    for (int k = 1; Ok && k <= Need; ++k) {
      const auto b = static_cast<uint8_t>(AText[i + k]);
      if ((b & 0xC0) != 0x80) Ok = false;
      c = (c << 6) | (b & 0x3F);
    }
    if (!Ok || c < Min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      Out.push_back(Invalid), Valid = false, ++i;
      continue;
    }
    Out.push_back(c);
    i += Need + 1;
  }
  if (AValid != nullptr) *AValid = Valid;
  return Out;
}

std::string Encode(std::u32string_view AText) {
  std::string Out;
  for (char32_t c : AText) {
    if (c < 0x80) {
      Out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      Out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      Out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      Out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      Out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      Out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      Out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      Out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      Out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      Out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return Out;
}

bool In(char32_t c, char32_t ALo, char32_t AHi) {
  return c >= ALo && c <= AHi;
}

bool IsHan(char32_t c) {
  return In(c, 0x4E00, 0x9FFF) || In(c, 0x3400, 0x4DBF) || In(c, 0xF900, 0xFAFF) ||
         In(c, 0x20000, 0x2FFFF);
}
bool IsKana(char32_t c) {
  return In(c, 0x3041, 0x309F) || In(c, 0x30A0, 0x30FF) || In(c, 0x31F0, 0x31FF) ||
         In(c, 0xFF66, 0xFF9D);
}
bool IsHangul(char32_t c) {
  return In(c, 0xAC00, 0xD7AF) || In(c, 0x1100, 0x11FF) || In(c, 0x3130, 0x318F);
}
bool IsCyrillic(char32_t c) {
  return In(c, 0x0400, 0x04FF);
}
bool IsGreek(char32_t c) {
  return In(c, 0x0370, 0x03FF) || In(c, 0x1F00, 0x1FFF);
}
bool IsArabic(char32_t c) {
  return In(c, 0x0600, 0x06FF) || In(c, 0x0750, 0x077F) || In(c, 0xFB50, 0xFDFF) ||
         In(c, 0xFE70, 0xFEFF);
}
bool IsHebrew(char32_t c) {
  return In(c, 0x0590, 0x05FF);
}
bool IsThai(char32_t c) {
  return In(c, 0x0E00, 0x0E7F);
}
bool IsDevanagari(char32_t c) {
  return In(c, 0x0900, 0x097F);
}
bool IsLatinLetter(char32_t c) {
  return In(c, 'a', 'z') || In(c, 'A', 'Z') || (In(c, 0x00C0, 0x024F) && c != 0xD7 && c != 0xF7) ||
         In(c, 0x1E00, 0x1EFF);
}

char32_t Lower(char32_t c) {
  if (In(c, 'A', 'Z')) return c + 0x20;
  if (In(c, 0x00C0, 0x00DE) && c != 0xD7) return c + 0x20;
  if ((In(c, 0x0100, 0x0137) || In(c, 0x014A, 0x0177)) && c % 2 == 0) return c + 1;
  if ((In(c, 0x0139, 0x0148) || In(c, 0x0179, 0x017E)) && c % 2 == 1) return c + 1;
  if (c == 0x01A0 || c == 0x01AF || In(c, 0x0218, 0x021B)) return c % 2 == 0 ? c + 1 : c;
  if (In(c, 0x1EA0, 0x1EF9) && c % 2 == 0) return c + 1;
  if (In(c, 0x0410, 0x042F)) return c + 0x20;
  if (In(c, 0x0400, 0x040F)) return c + 0x50;
  if (In(c, 0x0391, 0x03A9)) return c + 0x20;
  return c;
}

// Cues of one Latin-script language: letters only it uses, letters it shares with a few
// others, and frequent words (announcement vocabulary first).
struct TLatinCues {
  const char* Code;
  const char* Distinctive;
  const char* Shared;
  std::array<const char*, 24> Words;
};

// English comes first so that it wins ties, as the fallback of the service does.
const TLatinCues LatinCues[] = {
    {"en", "", "", {"the",      "and",    "is",     "are",       "to",      "of",
                    "please",   "flight", "your",   "we",        "will",    "for",
                    "this",     "you",    "ladies", "gentlemen", "welcome", "passengers",
                    "boarding", "gate",   "now",    "with",      "our",     "seat"}},
    {"es", "ñ¿¡", "áéíóú", {"el",        "la",          "los",     "las",   "de",    "que",
                            "y",         "en",          "por",     "favor", "vuelo", "señores",
                            "pasajeros", "su",          "con",     "del",   "está",  "puerta",
                            "embarque",  "bienvenidos", "gracias", "para",  "al",    "una"}},
    {"pt", "ãõ", "çâêôáéíóúà", {"o",           "os",         "as",  "do",   "da",    "dos",
                                "das",         "em",         "não", "para", "voo",   "senhores",
                                "passageiros", "obrigado",   "com", "uma",  "é",     "portão",
                                "embarque",    "bem-vindos", "seu", "sua",  "favor", "no"}},
    {"fr", "œëïûùÿ", "çàâêîôéè", {"le",  "la",       "les",       "des",          "du",
                                  "et",  "est",      "vous",      "nous",         "votre",
                                  "vol", "mesdames", "messieurs", "pour",         "avec",
                                  "une", "merci",    "porte",     "embarquement", "bienvenue",
                                  "au",  "aux",      "sont",      "veuillez"}},
    {"de", "ß", "äöü", {"der", "die", "das", "und",   "ist",        "nicht",     "bitte", "flug",
                        "sie", "ihr", "wir", "meine", "damen",      "herren",    "mit",   "zu",
                        "den", "dem", "ein", "eine",  "willkommen", "flugsteig", "auf",   "ihre"}},
    {"it", "ìò", "àèéù", {"il",         "lo",  "gli",       "della",  "del",     "che",
                          "è",          "e",   "per",       "volo",   "signore", "signori",
                          "passeggeri", "con", "una",       "grazie", "sono",    "benvenuti",
                          "imbarco",    "vi",  "preghiamo", "nel",    "alla",    "uscita"}},
    {"nl", "", "ëï", {"de", "het",    "een",   "en",    "van", "is",   "niet",        "u",
                      "uw", "vlucht", "dames", "heren", "wij", "met",  "alstublieft", "naar",
                      "op", "welkom", "wordt", "zijn",  "bij", "voor", "dank",        "instappen"}},
    {"pl", "ąęłńśźż", "óć", {"i",    "w",      "z",        "na",        "nie",        "się",
                             "jest", "lot",    "prosimy",  "pasażerów", "państwo",    "do",
                             "od",   "że",     "szanowni", "witamy",    "dziękujemy", "pokładzie",
                             "o",    "bramki", "są",       "to",        "jak",        "po"}},
    {"tr", "ğış", "çöüâ", {"ve",       "bir",      "bu",     "için", "lütfen",   "uçuş",
                           "sayın",    "yolcular", "ile",    "da",   "de",       "hoş",
                           "geldiniz", "teşekkür", "ederiz", "kapı", "uçağımız", "numaralı",
                           "olarak",   "çok",      "mi",     "ne",   "var",      "yok"}},
    {"vi", "ơưđ", "ăâêô", {"và",  "của", "là",   "các",   "quý", "khách", "chuyến", "bay",
                           "xin", "vui", "lòng", "không", "cảm", "ơn",    "hành",   "chúng",
                           "tôi", "đến", "cửa",  "lên",   "máy", "được",  "có",     "này"}},
    {"id", "", "", {"dan",    "yang",  "di",    "ke",          "dari", "untuk",
                    "dengan", "ini",   "itu",   "penerbangan", "para", "penumpang",
                    "terima", "kasih", "mohon", "anda",        "kami", "selamat",
                    "datang", "pintu", "akan",  "tidak",       "ada",  "pesawat"}},
    {"sv", "", "åäö", {"och", "är",     "att",      "det",   "som",       "på",
                       "för", "inte",   "flyg",     "damer", "herrar",    "med",
                       "vi",  "ni",     "välkomna", "tack",  "resenärer", "till",
                       "går", "ombord", "vänligen", "har",   "av",        "ett"}},
    {"da", "", "æøå", {"og",   "er",        "at",       "det",   "som",    "på",
                       "for",  "ikke",      "fly",      "damer", "herrer", "med",
                       "jer",  "velkommen", "af",       "mine",  "tak",    "passagerer",
                       "hvad", "nu",        "venligst", "jeres", "skal",   "bedes"}},
    {"no", "", "æøå", {"og",   "er",        "at",        "det",   "som",    "på",
                       "for",  "ikke",      "fly",       "damer", "herrer", "med",
                       "dere", "velkommen", "av",        "mine",  "takk",   "passasjerer",
                       "hva",  "ikkje",     "vennligst", "deres", "skal",   "bes"}},
    {"fi", "", "äö", {"ja",          "on",       "ei",     "se",       "että",       "hyvät",
                      "matkustajat", "lento",    "kiitos", "olemme",   "te",         "me",
                      "tämä",        "ole",      "naiset", "herrat",   "tervetuloa", "koneeseen",
                      "portti",      "lennolle", "nousu",  "pyydämme", "kanssa",     "myös"}},
    {"cs", "ěřůďťň", "čšžáéíóúý", {"a",      "je",     "se",        "na",       "v",
                                   "že",     "to",     "není",      "let",      "dámy",
                                   "pánové", "prosím", "cestující", "děkujeme", "vítáme",
                                   "palubě", "vás",    "do",        "od",       "jsou",
                                   "pro",    "letu",   "bránu",     "vážení"}},
    {"ro", "șțşţ", "ăâî", {"și",       "este",   "în",        "de",     "la",        "cu",
                           "un",       "o",      "pentru",    "zborul", "doamnelor", "domnilor",
                           "vă",       "rugăm",  "pasageri",  "bine",   "ați",       "venit",
                           "mulțumim", "poarta", "îmbarcare", "sunt",   "nu",        "pe"}},
    {"hu", "őű", "áéíóöúü", {"a",      "az",        "és",        "egy",        "hogy",
                             "nem",    "van",       "járat",     "hölgyeim",   "uraim",
                             "kérjük", "utasok",    "köszönjük", "üdvözöljük", "fedélzetén",
                             "kapu",   "beszállás", "járatra",   "kedves",     "utasaink",
                             "is",     "meg",       "el",        "ki"}},
};

struct TLetterSets {
  std::u32string Distinctive;
  std::u32string Shared;
};

const std::vector<TLetterSets>& LetterSets() {
  static const std::vector<TLetterSets> Sets = [] {
    std::vector<TLetterSets> v;
    for (const TLatinCues& c : LatinCues)
      v.push_back({Decode(c.Distinctive), Decode(c.Shared)});
    return v;
  }();
  return Sets;
}

size_t CueIndex(std::string_view ACode) {
  for (size_t k = 0; k < std::size(LatinCues); ++k)
    if (ACode == LatinCues[k].Code) return k;
  return 0;
}

std::string DetectLatin(const std::u32string& AText) {
  static const size_t Vietnamese = CueIndex("vi");
  const std::vector<TLetterSets>& Sets = LetterSets();
  std::vector<int> Score(std::size(LatinCues), 0);
  std::vector<std::u32string> Words;
  std::u32string Word;
  auto EndWord = [&] {
    if (!Word.empty()) Words.push_back(Word);
    Word.clear();
  };
  for (char32_t c : AText) {
    const char32_t l = Lower(c);
    if (IsLatinLetter(l) || l == '-') {
      Word.push_back(l);
    } else {
      EndWord();
    }
    if (l < 0x80) continue;
    // Vietnamese tone marks sit in one block nobody else uses.
    if (In(l, 0x1EA0, 0x1EF9)) Score[Vietnamese] += 3;
    for (size_t k = 0; k < std::size(LatinCues); ++k) {
      if (Sets[k].Distinctive.find(l) != std::u32string::npos) Score[k] += 3;
      if (Sets[k].Shared.find(l) != std::u32string::npos) Score[k] += 1;
    }
  }
  EndWord();
  for (const std::u32string& w : Words) {
    const std::string u = Encode(w);
    for (size_t k = 0; k < std::size(LatinCues); ++k) {
      for (const char* Cue : LatinCues[k].Words) {
        if (Cue != nullptr && u == Cue) Score[k] += 2;
      }
    }
  }
  size_t Best = 0;
  for (size_t k = 1; k < Score.size(); ++k) {
    if (Score[k] > Score[Best]) Best = k;
  }
  return LatinCues[Best].Code;
}

bool IsVowel(char32_t c) {
  static const std::u32string Vowels = Decode(
      "aeiouyáéíóúàèìòùâêîôûäëïöüãõåæøœăơưýěůőűı"
      "аеёиоуыэюяіїєαεηιουωάέήίόύώ");
  return Vowels.find(Lower(c)) != std::u32string::npos || In(Lower(c), 0x1EA0, 0x1EF9);
}

}  // namespace

bool IsValidUtf8(std::string_view AText) {
  bool Valid = true;
  Decode(AText, &Valid);
  return Valid;
}

TStyledText SplitStyleHint(std::string_view AText) {
  size_t Start = 0;
  while (Start < AText.size() && (AText[Start] == ' ' || AText[Start] == '\t'))
    ++Start;
  if (Start >= AText.size() || AText[Start] != '[') return {"", std::string(AText)};
  const size_t Close = AText.find_first_of("[]", Start + 1);
  if (Close == std::string_view::npos || AText[Close] != ']') return {"", std::string(AText)};
  size_t Rest = Close + 1;
  while (Rest < AText.size() && (AText[Rest] == ' ' || AText[Rest] == '\t'))
    ++Rest;
  return {Trim(AText.substr(Start + 1, Close - Start - 1)), std::string(AText.substr(Rest))};
}

TTtsGender GenderFromStyle(std::string_view AStyle) {
  static const char* const Female[] = {"female", "woman", "women", "girl", "lady", "feminine"};
  static const char* const Male[] = {"male", "man", "men", "boy", "gentleman", "masculine"};
  const std::u32string Text = Decode(AStyle);
  std::u32string Word;
  auto Judge = [&]() -> TTtsGender {
    const std::string w = Encode(Word);
    Word.clear();
    for (const char* f : Female)
      if (w == f) return tgFemale;
    for (const char* m : Male)
      if (w == m) return tgMale;
    return tgAuto;
  };
  for (char32_t c : Text) {
    if (In(Lower(c), 'a', 'z')) {
      Word.push_back(Lower(c));
      continue;
    }
    if (const TTtsGender g = Judge(); g != tgAuto) return g;
    if (c == U'女') return tgFemale;
    if (c == U'男') return tgMale;
  }
  return Judge();
}

std::string DetectLanguage(std::string_view AText) {
  const std::u32string Text = Decode(AText);
  int Kana = 0, Hangul = 0, Han = 0;
  int Cyrillic = 0, Ukrainian = 0, Greek = 0, Arabic = 0, Hebrew = 0, Thai = 0, Devanagari = 0,
      Latin = 0;
  for (char32_t c : Text) {
    if (IsKana(c)) {
      ++Kana;
    } else if (IsHangul(c)) {
      ++Hangul;
    } else if (IsHan(c)) {
      ++Han;
    } else if (IsCyrillic(c)) {
      ++Cyrillic;
      // і ї є ґ (either case) are written in Ukrainian and not in Russian.
      const char32_t l = Lower(c);
      if (l == 0x0456 || l == 0x0457 || l == 0x0454 || c == 0x0490 || c == 0x0491) ++Ukrainian;
    } else if (IsGreek(c)) {
      ++Greek;
    } else if (IsArabic(c)) {
      ++Arabic;
    } else if (IsHebrew(c)) {
      ++Hebrew;
    } else if (IsThai(c)) {
      ++Thai;
    } else if (IsDevanagari(c)) {
      ++Devanagari;
    } else if (IsLatinLetter(c)) {
      ++Latin;
    }
  }
  // Japanese mixes kanji with kana, so any kana decides before Han does.
  if (Kana > 0) return "ja";
  if (Hangul > 0) return "ko";
  if (Han > 0) return "zh";
  const std::pair<int, const char*> Scripts[] = {
      {Cyrillic, Ukrainian > 0 ? "uk" : "ru"},
      {Greek, "el"},
      {Arabic, "ar"},
      {Hebrew, "he"},
      {Thai, "th"},
      {Devanagari, "hi"},
  };
  const auto Best =
      std::max_element(std::begin(Scripts), std::end(Scripts),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
  if (Best->first > Latin) return Best->second;
  return DetectLatin(Text);
}

int CountSyllables(std::string_view AText) {
  const std::u32string Text = Decode(AText);
  int Count = 0;
  bool InVowels = false;
  int Letters = 0;  // letters of scripts without written vowels, counted apart
  for (char32_t c : Text) {
    // Small kana (ゃゅょぁ...) glide onto the one before them.
    const bool SmallKana = c == U'ゃ' || c == U'ゅ' || c == U'ょ' || c == U'ャ' || c == U'ュ' ||
                           c == U'ョ' || c == U'ぁ' || c == U'ぃ' || c == U'ぅ' || c == U'ぇ' ||
                           c == U'ぉ';
    if (IsHan(c) || (IsKana(c) && !SmallKana) || In(c, 0xAC00, 0xD7AF)) {
      ++Count;
      InVowels = false;
    } else if (In(c, '0', '9')) {
      Count += 2;
      InVowels = false;
    } else if (IsArabic(c) || IsHebrew(c) || IsThai(c) || IsDevanagari(c)) {
      ++Letters;
      InVowels = false;
    } else if (IsVowel(c)) {
      if (!InVowels) ++Count;
      InVowels = true;
    } else {
      InVowels = false;
    }
  }
  return Count + (Letters * 2 + 4) / 5;
}

}  // namespace quavox::s2
