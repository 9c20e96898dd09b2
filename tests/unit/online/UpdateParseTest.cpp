// Version comparison and reading the release list and the release feed, without a network.
#include <gtest/gtest.h>

#include "core/I18n.h"
#include "online/HttpClient.h"
#include "online/Update.h"

namespace quavox {
namespace {

class UpdateParseTest : public ::testing::Test {
 protected:
  void SetUp() override { SetUiLang(ulZh); }
};

TEST_F(UpdateParseTest, CompareVersions) {
  struct TCase {
    const char* A;
    const char* B;
    int Expected;
  };
  for (const TCase& c : std::vector<TCase>{
           {"0.3.26218", "0.3.26218", 0},
           {"0.3.26218", "0.3.26218.0", 0},
           {"0.10", "0.9", 1},
           {"0.9", "0.10", -1},
           {"1.2", "1.2.0", 0},
           {"1.2.x", "1.2.0", 0},
           {"1.2.1", "1.2.x", 1},
           {" 1 . 3 ", "1.2", 1},
           {"", "0", 0},
           {"", "0.0.1", -1},
           {"99999999999999999999", "1", -1},
           {"2", "1.99.99", 1},
       }) {
    EXPECT_EQ(CompareVersions(c.A, c.B), c.Expected) << c.A << " vs " << c.B;
  }
}

std::string Release(const std::string& ATag, bool APre = false, const std::string& AAssets = "[]",
                    const std::string& ABody = "notes") {
  return R"({"tag_name":")" + ATag + R"(","html_url":"https://github.com/o/r/releases/tag/)" +
         ATag + R"(","prerelease":)" + (APre ? "true" : "false") + R"(,"draft":false,"body":")" +
         ABody + R"(","assets":)" + AAssets + "}";
}

TEST_F(UpdateParseTest, ReleaseListPicksTheNewestPublishedRelease) {
  const std::string Assets =
      R"([{"name":"checksums.txt","browser_download_url":"https://x/sums"},
          {"name":"QUAVOX_SETUP_0.3.26250.EXE","browser_download_url":"https://x/setup.exe"},
          {"name":"Quavox_Setup_again.exe","browser_download_url":"https://x/second.exe"}])";
  const TUpdateInfo Info = ParseReleaseList(
      "[" + Release("quavox-v0.3.26300", true) + "," + Release("quavox-engine-v1") + "," +
      Release("quavox-v0.3.26250", false, Assets, "  Fixes.\\n  ") + "," +
      Release("Quavox-V0.3.26100") + "," + R"({"tag_name":"quavox-v9.9","draft":true})" + "," +
      Release("quavox-v") + ",42]");
  EXPECT_TRUE(Info.Ok);
  EXPECT_TRUE(Info.Newer);
  EXPECT_EQ(Info.Latest, "0.3.26250");
  EXPECT_EQ(Info.Current, "0.3.26218");
  EXPECT_EQ(Info.PageUrl, "https://github.com/o/r/releases/tag/quavox-v0.3.26250");
  EXPECT_EQ(Info.SetupUrl, "https://x/setup.exe");
  EXPECT_EQ(Info.Notes, "Fixes.");
  EXPECT_TRUE(Info.Error.empty());
}

TEST_F(UpdateParseTest, ReleaseListEdgeCases) {
  const TUpdateInfo Same = ParseReleaseList("[" + Release("quavox-v0.3.26218") + "]");
  EXPECT_TRUE(Same.Ok);
  EXPECT_FALSE(Same.Newer);
  EXPECT_TRUE(Same.SetupUrl.empty());

  // On equal versions the first one stays.
  const TUpdateInfo Equal = ParseReleaseList("[" + Release("quavox-v1.0") + "," +
                                             Release("quavox-v1.0.0", false, "[]", "second") + "]");
  EXPECT_EQ(Equal.Latest, "1.0");

  for (const char* Bad : {"", "{}", "nope", "[", "\"text\""}) {
    const TUpdateInfo Info = ParseReleaseList(Bad);
    EXPECT_FALSE(Info.Ok) << Bad;
    EXPECT_EQ(Info.Error, "GitHub 返回的内容看不懂") << Bad;
  }
  for (const std::string& None : {std::string("[]"), "[" + Release("quavox-engine-v1") + "]",
                                  "[" + Release("quavox-v2.0", true) + "]"}) {
    const TUpdateInfo Info = ParseReleaseList(None);
    EXPECT_FALSE(Info.Ok) << None;
    EXPECT_EQ(Info.Error, "GitHub 上还没有 Quavox 的发布记录") << None;
  }
}

TEST_F(UpdateParseTest, NotesAreCutToSixHundredCharacters) {
  std::string Long;
  for (int i = 0; i < 599; ++i)
    Long += "字";
  Long += "\\ud83d\\ude00tail";  // a character of two UTF-16 units across the limit
  const TUpdateInfo Info = ParseReleaseList("[" + Release("quavox-v1", false, "[]", Long) + "]");
  ASSERT_TRUE(Info.Ok);
  std::string Expected;
  for (int i = 0; i < 599; ++i)
    Expected += "字";
  EXPECT_EQ(Info.Notes, Expected);
  EXPECT_EQ(LeftUtf16("abc", 600), "abc");
  EXPECT_EQ(LeftUtf16("abcdef", 3), "abc");
}

TEST_F(UpdateParseTest, Feed) {
  const std::string Feed = R"(<?xml version="1.0" encoding="UTF-8"?>
<feed xmlns="http://www.w3.org/2005/Atom">
  <link type="text/html" rel="alternate" href="https://github.com/o/r/releases"/>
  <entry>
    <id>tag:github.com,2008:Repository/1/quavox-engine-v1</id>
    <link rel="alternate" type="text/html" href="https://github.com/o/r/releases/tag/quavox-engine-v1"/>
  </entry>
  <entry>
    <link rel="alternate" type="text/html" href="https://github.com/o/r/releases/tag/quavox-v0.3.26250"/>
  </entry>
  <entry>
    <link rel="alternate" type="text/html" href="https://github.com/o/r/releases/tag/QUAVOX-V0.3.26240"/>
  </entry>
</feed>)";
  const TUpdateInfo Info = ParseReleaseFeed(Feed);
  EXPECT_TRUE(Info.Ok);
  EXPECT_TRUE(Info.Newer);
  EXPECT_EQ(Info.Latest, "0.3.26250");
  EXPECT_EQ(Info.PageUrl, "https://github.com/o/r/releases/tag/quavox-v0.3.26250");
  EXPECT_TRUE(Info.SetupUrl.empty());
  EXPECT_TRUE(Info.Notes.empty());

  for (const char* None :
       {"", "/releases/tag/", "\"/releases/tag/quavox-v1", "/releases/tag/quavox-v1\"",
        "\"/releases/tag/quavox-v\"", "<feed></feed>"}) {
    const TUpdateInfo r = ParseReleaseFeed(None);
    EXPECT_FALSE(r.Ok) << None;
    EXPECT_EQ(r.Error, "GitHub 上还没有 Quavox 的发布记录");
  }
  const TUpdateInfo Bare = ParseReleaseFeed("x\"/releases/tag/quavox-v2\"");
  EXPECT_TRUE(Bare.Ok);
  EXPECT_EQ(Bare.PageUrl, "/releases/tag/quavox-v2");
}

}  // namespace
}  // namespace quavox
