#include "text/SpokenText.h"

#include <algorithm>
#include <functional>

#include "core/Text.h"
#include "text/TextFiles.h"

namespace quavox {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsUpper(char c) {
  return c >= 'A' && c <= 'Z';
}

bool IsLower(char c) {
  return c >= 'a' && c <= 'z';
}

// Letters and digits of Latin script make up words; every other character, including
// Chinese and Japanese script, stands between words.
bool IsWordChar(char32_t c) {
  if (c < 0x80)
    return IsDigit(static_cast<char>(c)) || IsUpper(static_cast<char>(c)) ||
           IsLower(static_cast<char>(c));
  return c >= 0xC0 && c < 0x250 && c != 0xD7 && c != 0xF7;
}

char32_t FoldAscii(char32_t c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

bool IsAllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), IsDigit);
}

int ValueOf(std::string_view ADigits) {
  int Value = 0;
  for (char c : ADigits)
    Value = Value * 10 + (c - '0');
  return Value;
}

// 1 to 4 digits and at most one capital letter: the number part of a flight number.
bool IsFlightNumber(std::string_view s) {
  std::size_t Digits = 0;
  while (Digits < s.size() && IsDigit(s[Digits]))
    ++Digits;
  if (Digits == 0 || Digits > 4) return false;
  return s.size() == Digits || (s.size() == Digits + 1 && IsUpper(s.back()));
}

// A gate, stand or belt number: an optional capital, 1 to 3 digits, an optional capital.
struct TPlaceNumber {
  std::string_view Prefix, Digits, Suffix;
};

bool ParsePlaceNumber(std::string_view s, TPlaceNumber& AOut) {
  std::size_t i = 0;
  if (i < s.size() && IsUpper(s[i])) ++i;
  const std::size_t DigitsStart = i;
  while (i < s.size() && IsDigit(s[i]))
    ++i;
  const std::size_t DigitCount = i - DigitsStart;
  if (DigitCount == 0 || DigitCount > 3) return false;
  if (i < s.size() && IsUpper(s[i])) ++i;
  if (i != s.size()) return false;
  AOut = {s.substr(0, DigitsStart), s.substr(DigitsStart, DigitCount),
          s.substr(DigitsStart + DigitCount)};
  return true;
}

// Two-letter designators that are also English words are read as flight numbers only when
// written together with the number ("AS123"), never across a blank ("AS 12 PASSENGERS").
bool IsTwoLetterWord(std::string_view s) {
  static const std::vector<std::string_view> Words = {
      "AM", "AN", "AS", "AT", "BE", "BY", "DO", "GO", "HE", "IF", "IN", "IS", "IT",
      "LA", "ME", "MY", "NO", "OF", "OK", "ON", "OR", "SO", "TO", "UP", "US", "WE"};
  return std::find(Words.begin(), Words.end(), s) != Words.end();
}

// ---- Number words ----------------------------------------------------------------------

constexpr std::array<const char*, 20> EnglishSmall = {
    "zero",     "one",     "two",     "three",     "four",     "five",    "six",
    "seven",    "eight",   "nine",    "ten",       "eleven",   "twelve",  "thirteen",
    "fourteen", "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
constexpr std::array<const char*, 10> EnglishTens = {
    "", "", "twenty", "thirty", "forty", "fifty", "sixty", "seventy", "eighty", "ninety"};

std::string EnglishCardinal(int n) {
  if (n < 20) return EnglishSmall[n];
  std::string Words = EnglishTens[n / 10];
  if (n % 10 != 0) Words += std::string("-") + EnglishSmall[n % 10];
  return Words;
}

// Gate and stand numbers as English announcers say them: "twelve", "one twelve",
// "one oh five"; a leading zero is read digit by digit.
std::string EnglishPlaceNumber(std::string_view ADigits) {
  if (ADigits.size() > 1 && ADigits[0] == '0') {
    std::string Words;
    for (char c : ADigits)
      Words += (Words.empty() ? "" : " ") + std::string(EnglishSmall[c - '0']);
    return Words;
  }
  const int Value = ValueOf(ADigits);
  if (Value < 100) return EnglishCardinal(Value);
  const int Rest = Value % 100;
  const std::string Head = EnglishSmall[Value / 100];
  if (Rest == 0) return Head + " hundred";
  if (Rest < 10) return Head + " oh " + EnglishSmall[Rest];
  return Head + " " + EnglishCardinal(Rest);
}

constexpr std::array<const char*, 10> ChineseDigits = {"零", "一", "二", "三", "四",
                                                       "五", "六", "七", "八", "九"};

// A whole number below 10000 in Chinese: 十二, 一百零五, 一千二百.
std::string ChineseCardinal(int n) {
  if (n == 0) return ChineseDigits[0];
  static constexpr std::array<const char*, 4> Units = {"千", "百", "十", ""};
  std::string Words;
  bool Started = false, Gap = false;
  for (int Unit = 1000, u = 0; Unit > 0; Unit /= 10, ++u) {
    const int d = n / Unit % 10;
    if (d == 0) {
      Gap = Started;
      continue;
    }
    if (Gap) Words += ChineseDigits[0];
    Gap = false;
    if (!(Unit == 10 && d == 1 && !Started)) Words += ChineseDigits[d];
    Words += Units[u];
    Started = true;
  }
  return Words;
}

// A whole number below 10000 in Japanese with the language's digit words: 百二十三, 千五.
std::string JapaneseCardinal(int n, const TDigitWords& ADigits) {
  if (n == 0) return ADigits[0];
  static constexpr std::array<const char*, 4> Units = {"千", "百", "十", ""};
  std::string Words;
  for (int Unit = 1000, u = 0; Unit > 0; Unit /= 10, ++u) {
    const int d = n / Unit % 10;
    if (d == 0) continue;
    if (!(d == 1 && Unit > 1)) Words += ADigits[d];
    Words += Units[u];
  }
  return Words;
}

bool HasAllDigitWords(const TDigitWords& ADigits) {
  return std::none_of(ADigits.begin(), ADigits.end(),
                      [](const std::string& w) { return w.empty(); });
}

// ---- Context words -----------------------------------------------------------------------

using TWordList = std::vector<std::string_view>;

const TWordList EnglishPlaceWords = {"to", "from", "via", "for"};
const TWordList EnglishNumberedPlaces = {"gate",    "gates", "stand", "belt", "carousel",
                                         "counter", "desk",  "door",  "bay",  "platform"};
const TWordList ChineseBeforePlace = {"飞往", "前往", "开往", "到达", "抵达", "来自",
                                      "从",   "经停", "经由", "至",   "往",   "由"};
const TWordList ChineseAfterPlace = {"出发", "始发", "起飞", "飞往", "到", "经停"};
const TWordList JapaneseAfterPlace = {"行き", "行", "発", "着", "経由", "から", "まで", "空港"};
const TWordList ChineseBeforeNumber = {"登机口", "行李转盘", "转盘", "柜台", "机位", "停机位"};
const TWordList ChineseAfterNumber = {"号登机口", "登机口",   "号门",   "号行李转盘", "行李转盘",
                                      "号转盘",   "转盘",     "号柜台", "柜台",       "号机位",
                                      "机位",     "号停机位", "停机位"};
const TWordList JapaneseBeforeNumber = {"搭乗口", "ゲート", "ターンテーブル", "カウンター"};
const TWordList JapaneseAfterNumber = {"番", "搭乗口", "ゲート"};

bool EndsWithAny(std::string_view AText, const TWordList& AWords) {
  return std::any_of(AWords.begin(), AWords.end(),
                     [&](std::string_view w) { return EndsWith(AText, w); });
}

bool StartsWithAny(std::string_view AText, const TWordList& AWords) {
  return std::any_of(AWords.begin(), AWords.end(),
                     [&](std::string_view w) { return StartsWith(AText, w); });
}

// Whether the word, ignoring ASCII letter case, is one of the lower-case words.
bool ContainsFolded(const TWordList& AWords, std::string_view AWord) {
  return std::any_of(AWords.begin(), AWords.end(), [&](std::string_view w) {
    return w.size() == AWord.size() &&
           std::equal(w.begin(), w.end(), AWord.begin(), [](char a, char b) {
             return a == (IsUpper(b) ? static_cast<char>(b - 'A' + 'a') : b);
           });
  });
}

// The language a text without one is read in: Japanese when it has kana, Chinese when it
// has Han characters, English otherwise.
int GuessLanguage(std::string_view AText) {
  bool Han = false;
  for (std::size_t i = 0; i < AText.size();) {
    if (static_cast<unsigned char>(AText[i]) < 0x80) {
      ++i;
      continue;
    }
    const char32_t c = NextCodePoint(AText, i);
    if (c >= 0x3040 && c <= 0x30FF) return slJapanese;
    if (c >= 0x4E00 && c <= 0x9FFF) Han = true;
  }
  return Han ? slChinese : slEnglish;
}

}  // namespace

bool IsValidUtf8(std::string_view AText) {
  for (std::size_t i = 0; i < AText.size();) {
    if (static_cast<unsigned char>(AText[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t Start = i;
    if (NextCodePoint(AText, i) == 0xFFFD && i - Start == 1) return false;
  }
  return true;
}

// ---- The reader ----------------------------------------------------------------------------

// One pass over one text, left to right. Context is always looked up in the original text,
// so what one rule wrote never feeds another.
class TAnnouncementReader {
 public:
  TAnnouncementReader(const TSpeechIndex& AIndex, const TSpeechIndex::TLanguageWords& AWords,
                      int ALanguage, std::string_view AText)
      : FIndex(AIndex), FWords(AWords), FLanguage(ALanguage), FText(AText) {
    FOut.reserve(AText.size() + AText.size() / 2);
  }

  std::string Read() {
    std::size_t i = 0;
    while (i < FText.size()) {
      if (i == 0 || FText[i - 1] == '\n') FCapitalLine = IsCapitalLine(i);
      if (TryPhrase(i)) continue;
      if (IsWordStart(i)) {
        std::size_t End = WordEnd(i);
        if (!TryWord(i, End)) FOut.append(FText.substr(i, End - i));
        i = End;
        continue;
      }
      const std::size_t Start = i;
      if (static_cast<unsigned char>(FText[i]) < 0x80) {
        ++i;
      } else {
        NextCodePoint(FText, i);
      }
      FOut.append(FText.substr(Start, i - Start));
    }
    return std::move(FOut);
  }

 private:
  // ---- Positions in the text

  char32_t CodePointAt(std::size_t i) const {
    std::size_t Next = i;
    return i < FText.size() ? NextCodePoint(FText, Next) : 0;
  }

  char32_t CodePointBefore(std::size_t i) const {
    if (i == 0) return 0;
    std::size_t Start = i - 1;
    while (Start > 0 && (static_cast<unsigned char>(FText[Start]) & 0xC0) == 0x80 && i - Start < 4)
      --Start;
    std::size_t Next = Start;
    const char32_t c = NextCodePoint(FText, Next);
    return Next == i ? c : 0xFFFD;
  }

  bool IsWordStart(std::size_t i) const {
    return IsWordChar(CodePointAt(i)) && !IsWordChar(CodePointBefore(i));
  }

  std::size_t WordEnd(std::size_t i) const {
    while (i < FText.size()) {
      std::size_t Next = i;
      if (!IsWordChar(NextCodePoint(FText, Next))) break;
      i = Next;
    }
    return i;
  }

  std::size_t SkipBlanksForward(std::size_t i) const {
    while (i < FText.size() && (FText[i] == ' ' || FText[i] == '\t'))
      ++i;
    return i;
  }

  std::size_t SkipBlanksBackward(std::size_t i) const {
    while (i > 0 && (FText[i - 1] == ' ' || FText[i - 1] == '\t'))
      --i;
    return i;
  }

  // The Latin word just before the position, across blanks only; empty when there is none.
  std::string_view WordBefore(std::size_t i) const {
    const std::size_t End = SkipBlanksBackward(i);
    std::size_t Start = End;
    while (Start > 0 && static_cast<unsigned char>(FText[Start - 1]) < 0x80 &&
           IsWordChar(static_cast<unsigned char>(FText[Start - 1])))
      --Start;
    if (Start > 0 && IsWordChar(CodePointBefore(Start))) return {};
    return FText.substr(Start, End - Start);
  }

  std::string_view TextBefore(std::size_t i) const {
    return FText.substr(0, SkipBlanksBackward(i));
  }
  std::string_view TextAfter(std::size_t i) const { return FText.substr(SkipBlanksForward(i)); }

  // A line without lower-case letters and with at least two words of capitals is shouting,
  // not codes: "PASSENGERS CAN BOARD".
  bool IsCapitalLine(std::size_t i) const {
    int Words = 0;
    std::size_t Run = 0;
    bool RunHasDigit = false;
    for (; i <= FText.size(); ++i) {
      const char c = i < FText.size() ? FText[i] : '\n';
      if (c == '\n') break;
      if (IsLower(c)) return false;
      if (IsUpper(c) || IsDigit(c)) {
        ++Run;
        RunHasDigit = RunHasDigit || IsDigit(c);
        continue;
      }
      if (Run >= 2 && !RunHasDigit) ++Words;
      Run = 0;
      RunHasDigit = false;
    }
    if (Run >= 2 && !RunHasDigit) ++Words;
    return Words >= 2;
  }

  // ---- The lexicon

  bool TryPhrase(std::size_t& i) {
    if (FWords.PhraseLengths.empty()) return false;
    const auto Lengths = FWords.PhraseLengths.find(FoldAscii(CodePointAt(i)));
    if (Lengths == FWords.PhraseLengths.end()) return false;
    for (const std::size_t Length : Lengths->second) {
      const std::size_t End = i + Length;
      if (End > FText.size()) continue;
      const auto It = FWords.Phrases.find(Folded(FText.substr(i, Length)));
      if (It == FWords.Phrases.end()) continue;
      if (IsWordChar(CodePointAt(i)) && !IsWordStart(i)) continue;
      if (IsWordChar(CodePointBefore(End)) && IsWordChar(CodePointAt(End))) continue;
      FOut += It->second;
      i = End;
      return true;
    }
    return false;
  }

  // The text in ASCII lower case, in a buffer reused so lookups need no allocation.
  const std::string& Folded(std::string_view AText) {
    FFolded.assign(AText);
    for (char& c : FFolded)
      if (IsUpper(c)) c = static_cast<char>(c - 'A' + 'a');
    return FFolded;
  }

  bool TryLexiconWord(std::string_view AWord) {
    if (FWords.Words.empty()) return false;
    const auto It = FWords.Words.find(Folded(AWord));
    if (It == FWords.Words.end()) return false;
    FOut += It->second;
    return true;
  }

  // ---- One word of Latin script

  bool TryWord(std::size_t AStart, std::size_t& AEnd) {
    const std::string_view Word = FText.substr(AStart, AEnd - AStart);
    if (TryLexiconWord(Word)) return true;
    // A number after "gate" or "runway" is that, even when it looks like a flight ("G51").
    return FLanguage >= 0 &&
           (TryRunway(AStart, Word) || TryNumberedPlace(AStart, AEnd, Word) ||
            TryFlight(AStart, AEnd) || TryTime(AStart, AEnd) || TryAirport(AStart, AEnd, Word));
  }

  // ---- Flight numbers

  // The spoken name of an airline designator in the language, or empty when unknown.
  std::string AirlineName(std::string_view ACode) const {
    const std::string Code(ACode);
    if (const auto Own = FWords.Codes.find(Code); Own != FWords.Codes.end()) return Own->second;
    const auto It = FIndex.FAirlines->find(Code);
    if (It == FIndex.FAirlines->end()) {
      const auto Word = FWords.Words.find(LowerAscii(Code));
      return Word != FWords.Words.end() ? Word->second : std::string();
    }
    const TAirlineFacts& Facts = *It->second;
    for (const std::string* Other : {&Facts.Iata, &Facts.Icao})
      if (const auto Own = FWords.Codes.find(*Other); Own != FWords.Codes.end()) return Own->second;
    return Facts.Names[FLanguage].empty() ? Facts.Names[slEnglish] : Facts.Names[FLanguage];
  }

  static bool IsDesignator(std::string_view ACode) {
    if (ACode.size() == 3) return std::all_of(ACode.begin(), ACode.end(), IsUpper);
    return ACode.size() == 2 &&
           std::all_of(ACode.begin(), ACode.end(),
                       [](char c) { return IsUpper(c) || IsDigit(c); }) &&
           (IsUpper(ACode[0]) || IsUpper(ACode[1]));
  }

  // A number followed by ":" or "." and a digit is a time or a decimal, not a flight.
  bool NumberEndsHere(std::size_t AEnd) const {
    return !(AEnd + 1 < FText.size() && (FText[AEnd] == ':' || FText[AEnd] == '.') &&
             IsDigit(FText[AEnd + 1]));
  }

  bool TryFlight(std::size_t AStart, std::size_t& AEnd) {
    const std::string_view Word = FText.substr(AStart, AEnd - AStart);
    if (!NumberEndsHere(AEnd)) return false;
    for (const std::size_t Length : {std::size_t{3}, std::size_t{2}}) {
      if (Word.size() <= Length) continue;
      const std::string_view Code = Word.substr(0, Length);
      if (IsDesignator(Code) && IsFlightNumber(Word.substr(Length)) &&
          SayFlight(Code, Word.substr(Length)))
        return true;
    }
    return TrySpacedFlight(AStart, AEnd, Word);
  }

  // "CA 1234": the designator and the number one blank apart.
  bool TrySpacedFlight(std::size_t AStart, std::size_t& AEnd, std::string_view ACode) {
    if (!IsDesignator(ACode) || (ACode.size() == 2 && IsTwoLetterWord(ACode))) return false;
    // In a line of capitals a three-letter word before a number is more likely a word.
    if (ACode.size() == 3 && FCapitalLine) return false;
    if (AEnd >= FText.size() || FText[AEnd] != ' ') return false;
    const std::size_t NumberStart = AEnd + 1;
    if (NumberStart >= FText.size() || !IsDigit(FText[NumberStart])) return false;
    const std::size_t NumberEnd = WordEnd(NumberStart);
    const std::string_view Number = FText.substr(NumberStart, NumberEnd - NumberStart);
    if (!IsFlightNumber(Number) || !NumberEndsHere(NumberEnd)) return false;
    if (!SayFlight(FText.substr(AStart, ACode.size()), Number)) return false;
    AEnd = NumberEnd;
    return true;
  }

  bool SayFlight(std::string_view ACode, std::string_view ANumber) {
    const std::string Name = AirlineName(ACode);
    if (Name.empty() || !HasAllDigitWords(FWords.Digits)) return false;
    std::string_view Digits = ANumber;
    std::string_view Letter;
    if (IsUpper(Digits.back())) {
      Letter = Digits.substr(Digits.size() - 1);
      Digits.remove_suffix(1);
    }
    if (FLanguage == slJapanese) {
      FOut += Name + JapaneseCardinal(ValueOf(Digits), FWords.Digits);
      FOut += Letter;
      return true;
    }
    const std::string Separator = FLanguage == slEnglish ? " " : "";
    FOut += Name;
    for (char c : Digits)
      FOut += Separator + FWords.Digits[c - '0'];
    if (!Letter.empty()) FOut += Separator + std::string(Letter);
    return true;
  }

  // ---- Times

  bool TryTime(std::size_t AStart, std::size_t& AEnd) {
    const std::string_view Hour = FText.substr(AStart, AEnd - AStart);
    if (!IsAllDigits(Hour) || Hour.size() > 2) return false;
    if (AStart > 0 && (FText[AStart - 1] == ':' || FText[AStart - 1] == '.')) return false;
    const std::size_t MinuteEnd = AEnd + 3;
    if (MinuteEnd > FText.size() || FText[AEnd] != ':') return false;
    const std::string_view Minute = FText.substr(AEnd + 1, 2);
    if (!IsAllDigits(Minute) || IsWordChar(CodePointAt(MinuteEnd))) return false;
    if (MinuteEnd + 1 < FText.size() && FText[MinuteEnd] == ':' && IsDigit(FText[MinuteEnd + 1]))
      return false;
    const int h = ValueOf(Hour), m = ValueOf(Minute);
    if (h > 23 || m > 59) return false;
    const bool Meridiem = HasMeridiem(MinuteEnd);
    if (Meridiem && (h == 0 || h > 12)) return false;
    if (FLanguage == slJapanese && !HasAllDigitWords(FWords.Digits)) return false;
    SayTime(Hour, h, m, Meridiem);
    AEnd = MinuteEnd;
    return true;
  }

  bool HasMeridiem(std::size_t i) const {
    const std::size_t Start = SkipBlanksForward(i);
    const std::size_t End = WordEnd(Start);
    const std::string Word = LowerAscii(FText.substr(Start, End - Start));
    return End > Start && (Word == "am" || Word == "pm");
  }

  void SayTime(std::string_view AHour, int h, int m, bool AMeridiem) {
    switch (FLanguage) {
      case slEnglish: {
        std::string Words = h == 0                                 ? std::string("zero")
                            : AHour.size() == 2 && AHour[0] == '0' ? "oh " + EnglishCardinal(h)
                                                                   : EnglishCardinal(h);
        if (m == 0) {
          if (!AMeridiem) Words += " hundred";
        } else {
          Words += m < 10 ? " oh " + EnglishCardinal(m) : " " + EnglishCardinal(m);
        }
        FOut += Words;
        break;
      }
      case slChinese:
        FOut += (h == 2 ? std::string("两") : ChineseCardinal(h)) + "点";
        FOut += m == 0 ? std::string("整")
                       : (m < 10 ? std::string(ChineseDigits[0]) : std::string()) +
                             ChineseCardinal(m) + "分";
        break;
      default:
        FOut += (h == 0 ? std::string("零") : JapaneseCardinal(h, FWords.Digits)) + "時";
        if (m != 0) FOut += JapaneseCardinal(m, FWords.Digits) + "分";
        break;
    }
  }

  // ---- Gates, stands, belts and runways

  bool TryNumberedPlace(std::size_t AStart, std::size_t AEnd, std::string_view AWord) {
    TPlaceNumber Number;
    if (!ParsePlaceNumber(AWord, Number) || !NumberEndsHere(AEnd)) return false;
    switch (FLanguage) {
      case slEnglish:
        if (!ContainsFolded(EnglishNumberedPlaces, WordBefore(AStart))) return false;
        FOut += Number.Prefix.empty() ? std::string() : std::string(Number.Prefix) + " ";
        FOut += EnglishPlaceNumber(Number.Digits);
        if (!Number.Suffix.empty()) FOut += " " + std::string(Number.Suffix);
        return true;
      case slChinese:
        if (!EndsWithAny(TextBefore(AStart), ChineseBeforeNumber) &&
            !StartsWithAny(TextAfter(AEnd), ChineseAfterNumber))
          return false;
        FOut += std::string(Number.Prefix) + ChineseCardinal(ValueOf(Number.Digits)) +
                std::string(Number.Suffix);
        return true;
      default:
        if (!EndsWithAny(TextBefore(AStart), JapaneseBeforeNumber) &&
            !StartsWithAny(TextAfter(AEnd), JapaneseAfterNumber))
          return false;
        if (!HasAllDigitWords(FWords.Digits)) return false;
        FOut += std::string(Number.Prefix) +
                JapaneseCardinal(ValueOf(Number.Digits), FWords.Digits) +
                std::string(Number.Suffix);
        return true;
    }
  }

  bool IsRunwayContext(std::size_t AStart, std::string_view AWord) const {
    switch (FLanguage) {
      case slEnglish:
        return ContainsFolded({"runway"}, WordBefore(AStart));
      case slChinese:
        return EndsWith(TextBefore(AStart), "跑道") ||
               StartsWithAny(TextAfter(AStart + AWord.size()), {"号跑道", "跑道"});
      default:
        return EndsWith(TextBefore(AStart), "滑走路");
    }
  }

  // Runways are read digit by digit, with the side as a word: "three six left", "三六左".
  bool TryRunway(std::size_t AStart, std::string_view AWord) {
    std::size_t Digits = 0;
    while (Digits < AWord.size() && IsDigit(AWord[Digits]))
      ++Digits;
    const bool Shaped = Digits >= 1 && Digits <= 2 &&
                        (AWord.size() == Digits ||
                         (AWord.size() == Digits + 1 &&
                          std::string_view("LRC").find(AWord.back()) != std::string_view::npos));
    if (!Shaped || !IsRunwayContext(AStart, AWord) || !HasAllDigitWords(FWords.Digits))
      return false;
    static constexpr std::array<std::array<const char*, 3>, SpokenLanguageCount> Sides = {
        {{"left", "right", "center"}, {"左", "右", "中"}, {"レフト", "ライト", "センター"}}};
    const std::string Separator = FLanguage == slEnglish ? " " : "";
    std::string Words;
    for (std::size_t k = 0; k < Digits; ++k)
      Words += (k == 0 ? "" : Separator) + FWords.Digits[AWord[k] - '0'];
    if (AWord.size() > Digits)
      Words += Separator + Sides[FLanguage][std::string_view("LRC").find(AWord.back())];
    FOut += Words;
    return true;
  }

  // ---- Airports

  bool IsPlaceContext(std::size_t AStart, std::size_t AEnd) const {
    switch (FLanguage) {
      case slEnglish:
        return ContainsFolded(EnglishPlaceWords, WordBefore(AStart));
      case slChinese:
        return EndsWithAny(TextBefore(AStart), ChineseBeforePlace) ||
               StartsWithAny(TextAfter(AEnd), ChineseAfterPlace);
      default:
        return StartsWithAny(TextAfter(AEnd), JapaneseAfterPlace);
    }
  }

  bool TryAirport(std::size_t AStart, std::size_t AEnd, std::string_view AWord) {
    if (AWord.size() != 3 || !std::all_of(AWord.begin(), AWord.end(), IsUpper)) return false;
    const auto It = FIndex.FAirports->find(std::string(AWord));
    if (It == FIndex.FAirports->end()) return false;
    const TAirportFacts& Facts = *It->second;
    const bool Place = IsPlaceContext(AStart, AEnd);
    if (!Place && (Facts.IsWord || FCapitalLine)) return false;
    if (const auto Own = FWords.Codes.find(Facts.Iata); Own != FWords.Codes.end()) {
      FOut += Own->second;
    } else {
      FOut += Facts.Names[FLanguage].empty() ? Facts.Names[slEnglish] : Facts.Names[FLanguage];
    }
    return true;
  }

  const TSpeechIndex& FIndex;
  const TSpeechIndex::TLanguageWords& FWords;
  const int FLanguage;
  const std::string_view FText;
  std::string FOut;
  std::string FFolded;  // the word being looked up, reused so lookups need no allocation
  bool FCapitalLine = false;
};

// ---- The index -----------------------------------------------------------------------------

TSpeechIndex::TSpeechIndex(std::shared_ptr<const TSpeechTables> ATables,
                           const std::vector<TLexiconEntry>& AEntries)
    : FTables(std::move(ATables)) {
  auto Airlines = std::make_shared<TAirlineMap>();
  for (const TAirlineFacts& Facts : FTables->Airlines)
    for (const std::string* Code : {&Facts.Iata, &Facts.Icao})
      if (!Code->empty()) Airlines->emplace(*Code, &Facts);
  auto Airports = std::make_shared<TAirportMap>();
  for (const TAirportFacts& Facts : FTables->Airports)
    Airports->emplace(Facts.Iata, &Facts);
  FAirlines = std::move(Airlines);
  FAirports = std::move(Airports);
  std::unordered_map<std::string, TLanguageWords> Languages;
  for (int l = 0; l < SpokenLanguageCount; ++l)
    Languages[std::string(SpokenLanguageCodes[l])].Digits = FTables->Digits[l];
  for (const TLexiconEntry& Entry : AEntries)
    Add(Languages[Entry.Language], Entry);
  for (auto& [Language, Words] : Languages)
    FLanguages.emplace(Language, std::make_shared<const TLanguageWords>(std::move(Words)));
}

std::shared_ptr<const TSpeechIndex> TSpeechIndex::Changed(const TLexiconEntry* ARemoved,
                                                          const TLexiconEntry& AAdded) const {
  auto Next = std::make_shared<TSpeechIndex>(*this);
  const auto Found = FLanguages.find(AAdded.Language);
  TLanguageWords Words;
  if (Found != FLanguages.end())
    Words = *Found->second;
  else
    Words.Digits = BuiltInDigits(AAdded.Language);
  if (ARemoved != nullptr) Remove(Words, *ARemoved);
  if (!AAdded.Say.empty()) Add(Words, AAdded);
  Next->FLanguages[AAdded.Language] = std::make_shared<const TLanguageWords>(std::move(Words));
  return Next;
}

TSpeechIndex::TEntryKind TSpeechIndex::KindOf(const TLexiconEntry& AEntry) const {
  const std::string Upper = UpperAscii(AEntry.Word);
  if (AEntry.Word.size() == 1 && IsDigit(AEntry.Word[0])) return ekDigit;
  if (FAirlines->count(Upper) > 0 || FAirports->count(Upper) > 0) return ekCode;
  return WordEndOf(AEntry.Word) == AEntry.Word.size() ? ekWord : ekPhrase;
}

void TSpeechIndex::Add(TLanguageWords& AWords, const TLexiconEntry& AEntry) const {
  switch (KindOf(AEntry)) {
    case ekDigit:
      AWords.Digits[AEntry.Word[0] - '0'] = AEntry.Say;
      break;
    case ekCode:
      AWords.Codes[UpperAscii(AEntry.Word)] = AEntry.Say;
      break;
    case ekWord:
      AWords.Words[LowerAscii(AEntry.Word)] = AEntry.Say;
      break;
    case ekPhrase:
      AddPhrase(AWords, AEntry);
      break;
  }
}

// A phrase's length stays listed for its first character: a length without a phrase only
// costs a lookup that finds nothing.
void TSpeechIndex::Remove(TLanguageWords& AWords, const TLexiconEntry& AEntry) const {
  switch (KindOf(AEntry)) {
    case ekDigit:
      AWords.Digits[AEntry.Word[0] - '0'] =
          BuiltInDigits(AEntry.Language)[static_cast<std::size_t>(AEntry.Word[0] - '0')];
      break;
    case ekCode:
      AWords.Codes.erase(UpperAscii(AEntry.Word));
      break;
    case ekWord:
      AWords.Words.erase(LowerAscii(AEntry.Word));
      break;
    case ekPhrase:
      AWords.Phrases.erase(LowerAscii(AEntry.Word));
      break;
  }
}

TDigitWords TSpeechIndex::BuiltInDigits(std::string_view ALanguage) const {
  const int Language = SpokenLanguageIndex(ALanguage);
  return Language >= 0 ? FTables->Digits[Language] : TDigitWords{};
}

std::size_t TSpeechIndex::WordEndOf(std::string_view AText) {
  std::size_t i = 0;
  while (i < AText.size()) {
    std::size_t Next = i;
    if (!IsWordChar(NextCodePoint(AText, Next))) break;
    i = Next;
  }
  return i;
}

void TSpeechIndex::AddPhrase(TLanguageWords& AWords, const TLexiconEntry& AEntry) {
  const std::string Folded = LowerAscii(AEntry.Word);
  AWords.Phrases[Folded] = AEntry.Say;
  std::size_t i = 0;
  std::vector<std::size_t>& Lengths = AWords.PhraseLengths[FoldAscii(NextCodePoint(Folded, i))];
  // Longest first.
  const auto At = std::lower_bound(Lengths.begin(), Lengths.end(), Folded.size(), std::greater<>());
  if (At == Lengths.end() || *At != Folded.size()) Lengths.insert(At, Folded.size());
}

const TSpeechIndex::TLanguageWords* TSpeechIndex::WordsFor(std::string_view ALanguage) const {
  const auto It = FLanguages.find(std::string(ALanguage));
  return It == FLanguages.end() ? nullptr : It->second.get();
}

std::string TSpeechIndex::Speak(std::string_view AText, std::string_view ALanguage) const {
  const std::string Clean = IsValidUtf8(AText) ? std::string(AText) : ValidUtf8(AText);
  const int Language = ALanguage.empty() ? GuessLanguage(Clean) : SpokenLanguageIndex(ALanguage);
  const std::string_view Code =
      Language >= 0 ? SpokenLanguageCodes[Language] : std::string_view(ALanguage);
  const TLanguageWords* Words = WordsFor(Code);
  if (Words == nullptr) return Clean;
  return TAnnouncementReader(*this, *Words, Language, Clean).Read();
}

}  // namespace quavox
