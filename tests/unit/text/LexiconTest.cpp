#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "support/ReadOnlyFolder.h"
#include "support/TempDir.h"
#include "text/Lexicon.h"
#include "text/TextRules.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& AFile) {
  std::ifstream In(AFile, std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

TEST(LexiconTest, FilesThatAreNotLexiconsAreRefused) {
  for (const char* Text : {"", "   ", "not json", "[]", "\"text\"", "{\"languages\": []}",
                           "{\"languages\": \"en\"}", "{\"languages\": {\"en\": {\"a\": \"b\"}"}) {
    std::vector<TLexiconEntry> Entries;
    std::size_t Skipped = 0;
    EXPECT_FALSE(ParseLexicon(Text, Entries, Skipped)) << Text;
    EXPECT_TRUE(Entries.empty());
  }
}

TEST(LexiconTest, UnusableEntriesAreSkippedAndTheRestKept) {
  const std::string Text =
      "\xEF\xBB\xBF"
      R"({
    "version": "0.3.26218",
    "languages": {
      "en-US": {"PEK": " Beijing ", "blank": "", "number": 5, "null": null, "two": "a\nb"},
      "auto": {"PVG": "Shanghai"},
      "zh": {"浦东": "浦东机场"},
      "ja": [1, 2]
    }
  })";
  std::vector<TLexiconEntry> Entries;
  std::size_t Skipped = 0;
  ASSERT_TRUE(ParseLexicon(Text, Entries, Skipped));
  ASSERT_EQ(Entries.size(), 2u);
  EXPECT_EQ(Entries[0].Language, "en");
  EXPECT_EQ(Entries[0].Word, "PEK");
  EXPECT_EQ(Entries[0].Say, "Beijing");
  EXPECT_EQ(Entries[1].Word, "浦东");
  EXPECT_EQ(Skipped, 6u);
}

TEST(LexiconTest, EntriesAreCheckedAndCleaned) {
  struct TCase {
    TLexiconEntry Entry;
    const char* Problem;
  };
  const std::vector<TCase> Cases = {
      {{" zh_CN ", " 登机口 ", " 登機口 "}, ""},
      {{"en", "PEK", ""}, ""},
      {{"", "PEK", "x"}, "language is missing"},
      {{"automatic!", "PEK", "x"}, "language is not a language code"},
      {{"en", "  ", "x"}, "word is missing"},
      {{"en", std::string(65, 'w'), "x"}, "word is too long"},
      {{"en", "w", std::string(257, 's')}, "say is too long"},
      {{"en", "tab\tword", "x"}, "word and say must be one line of text"},
  };
  for (TCase c : Cases) {
    EXPECT_EQ(CleanLexiconEntry(c.Entry), c.Problem) << c.Entry.Word;
  }
  TLexiconEntry Clean{" zh_CN ", " 登机口 ", " 登機口 "};
  CleanLexiconEntry(Clean);
  EXPECT_EQ(Clean.Language, "zh");
  EXPECT_EQ(Clean.Word, "登机口");
  EXPECT_EQ(Clean.Say, "登機口");
  TLexiconEntry Broken{"en", "ab\xFF", "c\xE4"};
  EXPECT_EQ(CleanLexiconEntry(Broken), "");
  EXPECT_EQ(Broken.Word, "ab\xEF\xBF\xBD");
}

TEST(LexiconTest, TheFileTextReadsBackAsTheSameEntries) {
  const std::vector<TLexiconEntry> Written = {
      {"zh", "浦东", "浦东机场"}, {"en", "PEK", "Beijing"}, {"en", "CA", "Air China"}};
  const std::string Text = LexiconFileText(Written);
  EXPECT_EQ(Text,
            "\xEF\xBB\xBF{\n  \"version\": \"0.3.26218\",\n  \"languages\": {\n    \"en\": {\n"
            "      \"CA\": \"Air China\",\n      \"PEK\": \"Beijing\"\n    },\n    \"zh\": {\n"
            "      \"浦东\": \"浦东机场\"\n    }\n  }\n}\n");
  EXPECT_EQ(LexiconFileText({}),
            "\xEF\xBB\xBF{\n  \"version\": \"0.3.26218\",\n  \"languages\": {}\n}\n");
  std::vector<TLexiconEntry> Read;
  std::size_t Skipped = 0;
  ASSERT_TRUE(ParseLexicon(Text, Read, Skipped));
  ASSERT_EQ(Read.size(), 3u);
  EXPECT_EQ(Read[0].Word, "CA");
  EXPECT_EQ(Read[1].Word, "PEK");
  EXPECT_EQ(Read[2].Say, "浦东机场");
  EXPECT_EQ(Skipped, 0u);
}

class TextRulesTest : public ::testing::Test {
 protected:
  std::unique_ptr<TTextRules> Open() {
    return std::make_unique<TTextRules>(QUAVOX_SOURCE_DIR "/data/text/", File);
  }
  const TTempDir Dir{"quavox-lexicon"};
  const std::string File = Dir.Path() + "data/lexicon.json";
};

TEST_F(TextRulesTest, ChangesAreSavedAndSurviveARestart) {
  auto Rules = Open();
  EXPECT_EQ(Rules->Speak("to PEK", "en"), "to Beijing Capital");
  const TLexiconEntry Stored = Rules->Put({"EN", " pek ", "Beijing"});
  EXPECT_EQ(Stored.Language, "en");
  EXPECT_EQ(Stored.Word, "pek");
  EXPECT_EQ(Rules->Speak("to PEK", "en"), "to Beijing");
  Rules->Put({"en", "PEK", "Peking"});
  ASSERT_EQ(Rules->Entries().size(), 1u) << "the same word in another letter case is one entry";
  Rules->Put({"ja", "CA", "エアチャイナ"});

  Rules = Open();
  EXPECT_EQ(Rules->Speak("to PEK", "en"), "to Peking");
  EXPECT_EQ(Rules->Speak("CA1便", "ja"), "エアチャイナ一便");
  Rules->Put({"en", "pek", ""});
  EXPECT_EQ(Rules->Speak("to PEK", "en"), "to Beijing Capital");
  EXPECT_EQ(Open()->Entries().size(), 1u);
  EXPECT_FALSE(fs::exists(File + ".tmp"));
}

// A change updates only its own part of the reading index; after every change of every kind
// of entry (word, phrase, code, digit; added, replaced in other letter case, removed) the
// rules read like rules that load the same lexicon whole.
TEST_F(TextRulesTest, EachChangeReadsLikeTheWholeLexiconLoadedAnew) {
  const std::string Probe = "Flight CA1234 to PEK via new york, gate B12 at 14:35: Hello World.";
  const std::string ProbeJa = "CA1234便 PEK行き 3番ゲート";
  const TLexiconEntry Changes[] = {{"en", "hello", "Greetings"},
                                   {"en", "New York", "the Big Apple"},
                                   {"en", "PEK", "Peking"},
                                   {"en", "3", "drei"},
                                   {"ja", "3", "さん"},
                                   {"ja", "CA", "エアチャイナ"},
                                   {"en", "HELLO", "Hi"},
                                   {"en", "new YORK", "NYC"},
                                   {"fr", "gate", "porte"},
                                   {"en", "hello", ""},
                                   {"en", "New York", ""},
                                   {"en", "pek", ""},
                                   {"en", "3", ""},
                                   {"ja", "3", ""},
                                   {"ja", "ca", ""},
                                   {"en", "World", "Earth"}};
  auto Rules = Open();
  for (const TLexiconEntry& Change : Changes) {
    Rules->Put(Change);
    const auto Whole = Open();
    for (const char* Language : {"en", "ja", "zh", "fr"}) {
      EXPECT_EQ(Rules->Speak(Probe, Language), Whole->Speak(Probe, Language))
          << Change.Word << " -> " << Change.Say << " in " << Language;
      EXPECT_EQ(Rules->Speak(ProbeJa, Language), Whole->Speak(ProbeJa, Language))
          << Change.Word << " -> " << Change.Say << " in " << Language;
    }
  }
}

TEST_F(TextRulesTest, RefusedChangesChangeNothing) {
  auto Rules = Open();
  Rules->Put({"en", "PEK", "Beijing"});
  const std::string Before = ReadFile(File);
  EXPECT_THROW(Rules->Put({"", "PEK", "x"}), std::invalid_argument);
  EXPECT_THROW(Rules->Put({"en", "", "x"}), std::invalid_argument);
  EXPECT_EQ(ReadFile(File), Before);
  EXPECT_EQ(Rules->Speak("to PEK", "en"), "to Beijing");
}

TEST_F(TextRulesTest, AnUnwritableFolderRaisesAndKeepsTheLexicon) {
  auto Rules = Open();
  Rules->Put({"en", "PEK", "Beijing"});
  TReadOnlyFolder ReadOnly(Dir.Path() + "data");
  if (!ReadOnly.Works()) GTEST_SKIP() << "the folder cannot be made read-only here";
  EXPECT_THROW(Rules->Put({"en", "PEK", "Peking"}), std::system_error);
  ReadOnly.Release();
  EXPECT_EQ(Rules->Speak("to PEK", "en"), "to Beijing");
  EXPECT_EQ(Rules->Entries().size(), 1u);
  EXPECT_EQ(Open()->Speak("to PEK", "en"), "to Beijing");
}

TEST_F(TextRulesTest, AnUnreadableFileIsSetAsideAtTheFirstChange) {
  fs::create_directories(Dir.Path() + "data");
  WriteFileAtomic(File, std::string("{\"languages\": 7}"));
  auto Rules = Open();
  EXPECT_TRUE(Rules->Entries().empty());
  EXPECT_EQ(Rules->Speak("CA1 to PEK", "en"), "Air China one to Beijing Capital");
  Rules->Put({"en", "PEK", "Beijing"});
  EXPECT_EQ(ReadFile(File + ".unreadable"), "{\"languages\": 7}");
  EXPECT_EQ(Open()->Entries().size(), 1u);
}

// A file that cannot even be opened is kept aside as well. A link to itself fails to open
// with ELOOP also for root, where a mode of 000 would not stop the read.
TEST_F(TextRulesTest, AFileThatCannotBeOpenedIsSetAsideAtTheFirstChange) {
  fs::create_directories(Dir.Path() + "data");
  fs::create_symlink("lexicon.json", File);
  auto Rules = Open();
  EXPECT_TRUE(Rules->Entries().empty());
  Rules->Put({"en", "PEK", "Beijing"});
  EXPECT_TRUE(fs::is_symlink(File + ".unreadable"));
  EXPECT_EQ(Open()->Entries().size(), 1u);
}

}  // namespace
}  // namespace quavox
