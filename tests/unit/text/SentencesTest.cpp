#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/Sentences.h"

namespace quavox {
namespace {

struct TSplitCase {
  const char* Text;
  std::vector<std::string> Sentences;
};

TEST(SentencesTest, SplitsAtSentenceEndsOnly) {
  const std::vector<TSplitCase> Cases = {
      {"", {}},
      {"   ", {}},
      {"Welcome aboard", {"Welcome aboard"}},
      {"Flight CA1234 is boarding. Gate B12 closes soon!  Thank you?",
       {"Flight CA1234 is boarding.", "Gate B12 closes soon!", "Thank you?"}},
      // Decimals, codes and dots without a blank after them end nothing.
      {"Delay of 1.5 hours for CA1234.B today.", {"Delay of 1.5 hours for CA1234.B today."}},
      // Repeated marks and closing quotes stay with their sentence.
      {"He said \"Go now!\" Then left... Bye?!", {"He said \"Go now!\"", "Then left...", "Bye?!"}},
      // East Asian marks end a sentence wherever they stand.
      {"各位旅客请注意。CA1234航班开始登机！请走（B12）。",
       {"各位旅客请注意。", "CA1234航班开始登机！", "请走（B12）。"}},
      {"「搭乗を開始します。」次の便です？", {"「搭乗を開始します。」", "次の便です？"}},
      // A piece without words joins the sentence before it.
      {"Boarding now. ... !", {"Boarding now....!"}},
      {"... Boarding now.", {"...Boarding now."}},
  };
  for (const TSplitCase& Case : Cases)
    EXPECT_EQ(SplitSentences(Case.Text), Case.Sentences) << Case.Text;
}

TEST(SentencesTest, SurvivesInvalidUtf8AndLoneMarks) {
  for (const std::string& Text :
       {std::string("\xE3\x80"), std::string(".\xFF. x"), std::string("。"), std::string("!!!")}) {
    const std::vector<std::string> Sentences = SplitSentences(Text);
    std::string Joined;
    for (const std::string& Sentence : Sentences)
      Joined += Sentence;
    EXPECT_LE(Joined.size(), Text.size()) << Text;
  }
}

}  // namespace
}  // namespace quavox
