#include "text/Sentences.h"

#include <algorithm>

#include "core/Text.h"

namespace quavox {

namespace {

bool EndsAnywhere(char32_t c) {
  return c == U'。' || c == U'！' || c == U'？' || c == U'｡';
}

bool EndsBeforeBlank(char32_t c) {
  return c == U'.' || c == U'!' || c == U'?' || c == U'…';
}

bool Closes(char32_t c) {
  return c == U'"' || c == U'\'' || c == U')' || c == U']' || c == U'”' || c == U'’' ||
         c == U'」' || c == U'』' || c == U'）' || c == U'】';
}

bool IsBlank(char32_t c) {
  return c <= 0xFFFF ? IsWhiteSpace(static_cast<char16_t>(c)) : false;
}

bool HasWords(std::string_view AText) {
  for (std::size_t i = 0; i < AText.size();) {
    const char32_t c = NextCodePoint(AText, i);
    if (c > 0xFFFF || IsLetterOrDigit(static_cast<char16_t>(c))) return true;
  }
  return false;
}

// The index just past the sentence end that starts at AIndex (a mark), or npos when the
// mark does not end a sentence.
std::size_t SentenceEnd(std::string_view AText, std::size_t AIndex) {
  std::size_t i = AIndex;
  const char32_t Mark = NextCodePoint(AText, i);
  if (!EndsAnywhere(Mark) && !EndsBeforeBlank(Mark)) return std::string_view::npos;
  bool Anywhere = EndsAnywhere(Mark);
  for (std::size_t Next = i; Next < AText.size(); i = Next) {
    const char32_t c = NextCodePoint(AText, Next);
    if (EndsAnywhere(c)) Anywhere = true;
    if (!EndsAnywhere(c) && !EndsBeforeBlank(c) && !Closes(c)) break;
  }
  if (Anywhere || i >= AText.size()) return i;
  std::size_t Peek = i;
  return IsBlank(NextCodePoint(AText, Peek)) ? i : std::string_view::npos;
}

}  // namespace

std::vector<std::string> SplitSentences(std::string_view AText) {
  std::vector<std::string> Sentences;
  const auto Add = [&Sentences](std::string_view APiece) {
    std::string Piece = Trim(APiece);
    if (Piece.empty()) return;
    if (!Sentences.empty() && !HasWords(Piece))
      Sentences.back() += Piece;
    else if (!Sentences.empty() && !HasWords(Sentences.back()))
      Sentences.back() += Piece;
    else
      Sentences.push_back(std::move(Piece));
  };
  std::size_t Start = 0;
  for (std::size_t i = 0; i < AText.size();) {
    const std::size_t End = SentenceEnd(AText, i);
    if (End == std::string_view::npos) {
      NextCodePoint(AText, i);
      continue;
    }
    Add(AText.substr(Start, End - Start));
    Start = i = End;
  }
  Add(AText.substr(Start));
  return Sentences;
}

}  // namespace quavox
