// Reading hub answers and arranging the listed shares, without a network.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "core/I18n.h"
#include "online/Hub.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

using namespace std::chrono;

class HubParseTest : public ::testing::Test {
 protected:
  void SetUp() override { SetUiLang(ulZh); }
};

TEST_F(HubParseTest, ListAnswers) {
  struct TCase {
    const char* Label;
    std::string Body;
    bool Ok;
    std::string Error;
    size_t Items;
  };
  const std::vector<TCase> Cases = {
      {"not json", "<html>502 Bad Gateway</html>", false, "云分享服务返回的内容看不懂", 0},
      {"array", "[1,2]", false, "云分享服务返回的内容看不懂", 0},
      {"empty", "", false, "云分享服务返回的内容看不懂", 0},
      {"ok false without error", R"({"ok": false})", false, "云分享服务出错了", 0},
      {"ok missing", R"({"items": []})", false, "云分享服务出错了", 0},
      {"ok false with error", R"({"ok": false, "error": "maintenance"})", false, "maintenance", 0},
      {"no items", R"({"ok": true})", true, "", 0},
      {"items not an array", R"({"ok": true, "items": {"id": "a"}})", true, "", 0},
      {"drops elements without id or url",
       R"({"ok": true, "items": [{"id": "a", "url": "http://x/a"}, {"id": "b"}, {"url": "http://x/c"},
          {"id": "", "url": "http://x/d"}, 7, null, "s", [], {"id": "e", "url": "http://x/e"}]})",
       true, "", 2},
      {"with byte order mark", "\xEF\xBB\xBF{\"ok\": true, \"items\": []}", true, "", 0},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Label);
    const THubResult r = ParseHubList(Case.Body);
    EXPECT_EQ(r.Ok, Case.Ok);
    EXPECT_EQ(r.Error, Case.Error);
    EXPECT_EQ(r.Items.size(), Case.Items);
  }
}

TEST_F(HubParseTest, ItemMembers) {
  const THubResult r = ParseHubList(R"({"ok": true, "items": [{
      "id": "v1", "userId": "alice", "title": "Gate voice", "language": "zh", "gender": "female",
      "voices": 2, "bindings": "3", "note": "calm", "appVersion": "0.3.26218", "file": "v1.cln",
      "size": 123456789012, "downloads": 99999999999, "createdAt": "2024-05-01T08:30:00+08:00",
      "url": "https://hub.example/v1.cln"}]})");
  ASSERT_TRUE(r.Ok);
  ASSERT_EQ(r.Items.size(), 1u);
  const THubItem& i = r.Items[0];
  EXPECT_EQ(i.Id, "v1");
  EXPECT_EQ(i.UserId, "alice");
  EXPECT_EQ(i.Title, "Gate voice");
  EXPECT_EQ(i.Language, "zh");
  EXPECT_EQ(i.Gender, "female");
  EXPECT_EQ(i.Voices, 2);
  EXPECT_EQ(i.Bindings, 3);
  EXPECT_EQ(i.Note, "calm");
  EXPECT_EQ(i.AppVersion, "0.3.26218");
  EXPECT_EQ(i.FileName, "v1.cln");
  EXPECT_EQ(i.Size, 123456789012);
  EXPECT_EQ(i.Downloads, INT32_MAX);
  EXPECT_EQ(i.CreatedAt, sys_days{2024y / May / 1} + 30min);
  EXPECT_EQ(i.Url, "https://hub.example/v1.cln");
  EXPECT_EQ(i.Describe(), "Gate voice  @alice");
  THubItem Anonymous = i;
  Anonymous.UserId.clear();
  EXPECT_EQ(Anonymous.Describe(), "Gate voice");
}

TEST_F(HubParseTest, Iso8601) {
  const TDateTime Base = sys_days{2024y / February / 29} + 23h + 59min + 58s;
  const std::vector<std::pair<std::string, TDateTime>> Good = {
      {"2024-02-29T23:59:58Z", Base},      {"2024-02-29T23:59:58", Base},
      {"2024-02-29 23:59:58z", Base},      {"2024-02-29T23:59:58.250Z", Base + 250ms},
      {"2024-03-01T00:59:58+01:00", Base}, {"2024-02-29T18:59:58-0500", Base},
      {"2024-02-29T23:59Z", Base - 58s},   {"2024-02-29", sys_days{2024y / February / 29}},
      {" 2024-02-29T23:59:58Z ", Base},
  };
  for (const auto& [Text, Expected] : Good) {
    TDateTime Value{};
    EXPECT_TRUE(ParseHubTime(Text, Value)) << Text;
    EXPECT_EQ(Value, Expected) << Text;
  }
  for (const char* Bad :
       {"", "yesterday", "2023-02-29", "2024-13-01", "2024-00-10", "2024-1-01",
        "2024-02-29T24:00:00Z", "2024-02-29T23:60Z", "2024-02-29T23:59:58+25:00",
        "2024-02-29T23:59:58Zjunk", "2024-02-29T", "2024-02-29T23:59:58.Z", "1714552200"}) {
    TDateTime Value{};
    EXPECT_FALSE(ParseHubTime(Bad, Value)) << Bad;
  }
  const THubResult r =
      ParseHubList(R"({"ok":true,"items":[{"id":"a","url":"u","createdAt":"not a date"}]})");
  ASSERT_EQ(r.Items.size(), 1u);
  EXPECT_EQ(r.Items[0].CreatedAt, TDateTime{});
}

THubItem Item(std::string AId, std::string AUser, std::string ATitle, std::string ALanguage,
              int32_t ADownloads, int ADay, std::string ANote = {}) {
  THubItem i;
  i.Id = std::move(AId);
  i.UserId = std::move(AUser);
  i.Title = std::move(ATitle);
  i.Language = std::move(ALanguage);
  i.Gender = "female";
  i.Downloads = ADownloads;
  i.CreatedAt = sys_days{2024y / January / ADay};
  i.Note = std::move(ANote);
  i.Url = "u";
  return i;
}

std::vector<std::string> Ids(const std::vector<THubItem>& AItems) {
  std::vector<std::string> r;
  for (const THubItem& i : AItems)
    r.push_back(i.Id);
  return r;
}

TEST_F(HubParseTest, ArrangeFiltersAndSorts) {
  const std::vector<THubItem> Items = {
      Item("c", "Bob", "beta", "zh", 5, 3, "Airport night"),
      Item("B", "alice", "Alpha", "en", 5, 1),
      Item("a", "carol", "gamma", "ZH", 9, 2),
      Item("d", "alice", "delta", "ja", 1, 4, "for GATE 12"),
  };
  struct TCase {
    const char* Label;
    THubFilter Filter;
    THubSort Sort;
    std::vector<std::string> Expected;
  };
  const std::vector<TCase> Cases = {
      {"newest", {}, hsNewest, {"d", "c", "a", "B"}},
      {"oldest", {}, hsOldest, {"B", "a", "c", "d"}},
      {"downloads, ties by id", {}, hsDownloads, {"a", "B", "c", "d"}},
      {"title", {}, hsTitle, {"B", "c", "d", "a"}},
      {"uploader, ties by id", {}, hsUploader, {"B", "d", "c", "a"}},
      {"language ignores case", {"", "zh", "", ""}, hsOldest, {"a", "c"}},
      {"uploader ignores case", {"", "", "", "ALICE"}, hsOldest, {"B", "d"}},
      {"gender", {"", "", "male", ""}, hsOldest, {}},
      {"text in title", {"  ALP ", "", "", ""}, hsOldest, {"B"}},
      {"text in uploader", {"caro", "", "", ""}, hsOldest, {"a"}},
      {"text in note", {"gate", "", "", ""}, hsOldest, {"d"}},
      {"text and language", {"a", "en", "", ""}, hsOldest, {"B"}},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Label);
    EXPECT_EQ(Ids(HubArrange(Items, Case.Filter, Case.Sort)), Case.Expected);
  }
}

TEST_F(HubParseTest, CollectDistinctKeepsTheFirstFormSorted) {
  const std::vector<THubItem> Items = {
      Item("1", "zed", "t", "zh", 0, 1), Item("2", "Amy", "t", "ZH", 0, 1),
      Item("3", "", "t", "en", 0, 1),    Item("4", "amy", "t", "", 0, 1),
      Item("5", "bo", "t", "en", 0, 1),
  };
  EXPECT_EQ(CollectDistinct(Items, false), (std::vector<std::string>{"en", "zh"}));
  EXPECT_EQ(CollectDistinct(Items, true), (std::vector<std::string>{"Amy", "bo", "zed"}));
  EXPECT_TRUE(CollectDistinct({}, true).empty());
}

TEST_F(HubParseTest, KindTexts) {
  EXPECT_EQ(HubKindWire(hkVoices), "voices");
  EXPECT_EQ(HubKindWire(hkBroadcasts), "broadcasts");
  EXPECT_EQ(HubKindDisplay(hkVoices), "音色");
  EXPECT_EQ(HubKindDisplay(hkBroadcasts), "广播");
}

// Refused before anything is sent, so no server is needed.
TEST_F(HubParseTest, UploadRefusesMissingAndOversizedFilesLocally) {
  const TTempDir Dir("quavox-hub-unit");
  const std::string File = Dir.Path("big.cln");
  { std::ofstream Out(File, std::ios::binary); }
  std::filesystem::resize_file(File, HubMaxUploadBytes + 1);
  const THubUploadResult Big =
      HubUpload(hkVoices, File, "u", "t", "", "zh", "female", "fp", 1, 0, "http://127.0.0.1:9");
  EXPECT_FALSE(Big.Ok);
  EXPECT_EQ(Big.Error,
            "这个包 10.0 MB,超过了 10 MB 的上限。\r\n把参考音频换成 mp3,或者去掉几段 —— 同样一段话,"
            "wav 比 mp3 大好几倍。");
  const THubUploadResult Missing = HubUpload(hkVoices, Dir.Path("gone.cln"), "u", "t", "", "zh",
                                             "female", "fp", 1, 0, "http://127.0.0.1:9");
  EXPECT_FALSE(Missing.Ok);
  EXPECT_EQ(Missing.Error, "要上传的文件不在了");
  std::string Error;
  EXPECT_FALSE(HubDelete("", Error, "http://127.0.0.1:9"));
  EXPECT_EQ(Error, "没有删除凭据 —— 只能删自己在这台机器上传过的。");
  THubItem NoUrl;
  EXPECT_FALSE(HubDownload(NoUrl, Dir.Path("x.cln"), Error));
  EXPECT_EQ(Error, "这一条没有下载地址");
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("x.cln")));
}

}  // namespace
}  // namespace quavox
