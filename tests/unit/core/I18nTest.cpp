#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "core/I18n.h"

namespace quavox {
namespace {

// Restores the chosen language and the locale variables after each test.
class I18nTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* Name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* v = std::getenv(Name);
      Saved.emplace_back(Name, v ? std::optional<std::string>(v) : std::nullopt);
      unsetenv(Name);
    }
  }
  void TearDown() override {
    SetUiLang(ulAuto);
    for (const auto& [Name, Value] : Saved) {
      if (Value) {
        setenv(Name, Value->c_str(), 1);
      } else {
        unsetenv(Name);
      }
    }
  }
  std::vector<std::pair<const char*, std::optional<std::string>>> Saved;
};

std::vector<std::string> Placeholders(const std::string& AText) {
  static const std::regex Placeholder(R"(%(\d+:)?-?\d*(\.\d+)?[a-zA-Z%])");
  std::vector<std::string> Found;
  for (auto It = std::sregex_iterator(AText.begin(), AText.end(), Placeholder);
       It != std::sregex_iterator(); ++It) {
    std::string s = It->str();
    // An index specifier may reorder, so compare the conversions without their indices.
    if (It->str(1).size() > 0) s.erase(1, It->str(1).size());
    Found.push_back(s);
  }
  return Found;
}

TEST_F(I18nTest, EveryRowHasThreeTextsWithTheSamePlaceholders) {
  ASSERT_GT(TranslationTableSize, 400u);
  std::set<std::string> Keys;
  for (std::size_t i = 0; i < TranslationTableSize; ++i) {
    const TTranslationRow& Row = TranslationTable[i];
    ASSERT_TRUE(*Row.Zh && *Row.Ja && *Row.En) << "row " << i;
    EXPECT_TRUE(Keys.insert(Row.Zh).second) << "duplicate key: " << Row.Zh;
    auto Zh = Placeholders(Row.Zh), Ja = Placeholders(Row.Ja), En = Placeholders(Row.En);
    std::sort(Zh.begin(), Zh.end());
    std::sort(Ja.begin(), Ja.end());
    std::sort(En.begin(), En.end());
    EXPECT_EQ(Zh, Ja) << Row.Zh << " / " << Row.Ja;
    EXPECT_EQ(Zh, En) << Row.Zh << " / " << Row.En;
  }
}

// Every literal the code hands to Translate, or to the window's Tr, must be a key, or
// operators would see Chinese.
TEST_F(I18nTest, EveryTranslatedLiteralInTheSourcesIsAKey) {
  std::set<std::string> Keys;
  for (std::size_t i = 0; i < TranslationTableSize; ++i)
    Keys.insert(TranslationTable[i].Zh);
  // A literal as the whole argument, or both literals of a choice between two.
  // A live text's source is its first argument, followed by its values.
  const std::regex Call(
      R"re(\b(?:Translate|Tr)\(\s*(?:[\w>().-]+\s*\?\s*"((?:[^"\\]|\\.)*)"\s*:\s*)?"((?:[^"\\]|\\.)*)"\s*\)|\bTLiveText::Of\(\s*"((?:[^"\\]|\\.)*)"\s*[,)])re");
  const auto Unescape = [](const std::string& AText) {
    return std::regex_replace(std::regex_replace(AText, std::regex(R"(\\n)"), "\n"),
                              std::regex(R"(\\\")"), "\"");
  };
  std::set<std::string> Folders;
  int Seen = 0;
  for (const auto& Entry :
       std::filesystem::recursive_directory_iterator(std::string(QUAVOX_SOURCE_DIR) + "/src")) {
    const auto Ext = Entry.path().extension();
    if (Ext != ".cpp" && Ext != ".h") continue;
    Folders.insert(Entry.path().parent_path().filename().string());
    std::ifstream In(Entry.path());
    std::stringstream Buf;
    Buf << In.rdbuf();
    const std::string Source = Buf.str();
    for (auto It = std::sregex_iterator(Source.begin(), Source.end(), Call);
         It != std::sregex_iterator(); ++It, ++Seen) {
      for (const int Group : {1, 2, 3}) {
        if (!(*It)[Group].matched) continue;
        const std::string Literal = Unescape(It->str(Group));
        EXPECT_TRUE(Keys.count(Literal)) << Entry.path().filename() << ": " << Literal;
      }
    }
  }
  EXPECT_GT(Seen, 10);
  EXPECT_TRUE(Folders.count("app")) << "the window's sources were not searched";
}

TEST_F(I18nTest, TranslateFollowsTheCurrentLanguage) {
  const std::tuple<const char*, const char*, const char*> Rows[] = {
      {"服务", "サービス", "Service"},
      {"音色", "音色", "Voices"},
      {"合成并播放", "合成して再生", "Synthesize && play"},
      {"(合成中)", "(合成中)", " (busy)"},
  };
  for (const auto& [Zh, Ja, En] : Rows) {
    SetUiLang(ulZh);
    EXPECT_EQ(Translate(Zh), Zh);
    SetUiLang(ulJa);
    EXPECT_EQ(Translate(Zh), Ja);
    SetUiLang(ulEn);
    EXPECT_EQ(Translate(Zh), En);
  }
  EXPECT_EQ(Translate("东方航空 女声一号"), "东方航空 女声一号");
  EXPECT_EQ(Translate("服务 "), "服务 ");
}

TEST_F(I18nTest, AutomaticLanguageComesFromTheLocale) {
  SetUiLang(ulAuto);
  const std::tuple<const char*, const char*, TUiLang> Cases[] = {
      {"LANG", "ja_JP.UTF-8", ulJa}, {"LANG", "ko_KR.UTF-8", ulEn}, {"LANGUAGE", "zh_CN:en", ulZh},
      {"LC_ALL", "C", ulEn},         {"LC_MESSAGES", "ja", ulJa},
  };
  for (const auto& [Name, Value, Want] : Cases) {
    setenv(Name, Value, 1);
    EXPECT_EQ(DetectUiLang(), Want) << Name << "=" << Value;
    EXPECT_EQ(CurrentUiLang(), Want);
    unsetenv(Name);
  }
  setenv("LANG", "ja_JP.UTF-8", 1);
  EXPECT_EQ(Translate("服务"), "サービス");
  setenv("LANGUAGE", "en_US", 1);
  EXPECT_EQ(Translate("服务"), "Service");
}

TEST_F(I18nTest, CodesNamesAndParsing) {
  EXPECT_EQ(ParseUiLang(" JA "), ulJa);
  EXPECT_EQ(ParseUiLang("jp"), ulAuto);
  for (TUiLang l : {ulAuto, ulZh, ulJa, ulEn})
    EXPECT_EQ(ParseUiLang(UiLangCode(l)), l);
  EXPECT_EQ(UiLangName(ulJa), "日本語");
  EXPECT_EQ(UiFontCandidates(ulZh).front(), "Microsoft YaHei UI");
  EXPECT_EQ(UiFontCandidates(ulJa).front(), "Yu Gothic UI");
}

}  // namespace
}  // namespace quavox
