// The release check against a local stand-in for the code host's release API and feed.
#include <gtest/gtest.h>

#include <mutex>

#include "core/I18n.h"
#include "core/Log.h"
#include "integration/online/LocalServer.h"
#include "online/Update.h"

namespace quavox {
namespace {

struct TAnswer {
  int Status = 200;
  std::string Body;
};

const std::string ApiGood = R"([
  {"tag_name": "quavox-v0.3.26300", "prerelease": true, "html_url": "https://x/26300"},
  {"tag_name": "quavox-v0.3.26250", "html_url": "https://x/26250", "body": "Better voices.",
   "assets": [{"name": "Quavox_Setup_0.3.26250.exe", "browser_download_url": "https://x/setup.exe"}]},
  {"tag_name": "quavox-engine-v1", "html_url": "https://x/engine"}])";
const std::string FeedGood = R"(<feed>
  <entry><link href="https://github.com/tallyhorn/quavox/releases/tag/quavox-v0.3.26260"/></entry>
  <entry><link href="https://github.com/tallyhorn/quavox/releases/tag/quavox-engine-v1"/></entry>
</feed>)";
const std::string FeedNone =
    R"(<feed><entry><link href="https://github.com/tallyhorn/quavox/releases/tag/quavox-engine-v1"/></entry></feed>)";

class UpdateCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLang(ulZh);
    TAppLog::Clear();
    auto& s = Server.Server();
    s.Get("/repos/tallyhorn/quavox/releases", [this](const httplib::Request& AReq,
                                                     httplib::Response& ARes) {
      std::lock_guard Guard(Lock);
      ++ApiCalls;
      ApiHeaders = AReq.get_header_value("Accept") + "|" +
                   AReq.get_header_value("X-GitHub-Api-Version") + "|" +
                   AReq.get_header_value("User-Agent") + "|" + AReq.get_param_value("per_page");
      ARes.status = Api.Status;
      ARes.set_content(Api.Body, "application/json");
    });
    s.Get("/tallyhorn/quavox/releases.atom", [this](const httplib::Request& AReq,
                                                    httplib::Response& ARes) {
      std::lock_guard Guard(Lock);
      ++FeedCalls;
      FeedHeaders = AReq.get_header_value("Accept") + "|" + AReq.get_header_value("User-Agent");
      ARes.status = Feed.Status;
      ARes.set_content(Feed.Body, "application/atom+xml");
    });
    Server.Start();
  }

  TUpdateInfo Check() { return CheckForUpdate(Server.Base(), Server.Base() + "/"); }
  // The server thread uses the members too, so the test reads and writes them under the lock.
  void Answer(const TAnswer& AApi, const TAnswer& AFeed) {
    std::lock_guard Guard(Lock);
    Api = AApi;
    Feed = AFeed;
  }
  template <typename T>
  T Read(const T& AField) {
    std::lock_guard Guard(Lock);
    return AField;
  }
  bool Logged(TLogLevel ALevel, const std::string& AText) const {
    for (const auto& e : TAppLog::Entries())
      if (e.Level == ALevel && e.Source == "update" && e.Text == AText) return true;
    return false;
  }

  std::mutex Lock;
  TAnswer Api, Feed;
  int ApiCalls = 0, FeedCalls = 0;
  std::string ApiHeaders, FeedHeaders;
  TLocalServer Server;
};

TEST_F(UpdateCheckTest, ApiAnswerWins) {
  Answer({200, ApiGood}, {200, FeedGood});
  const TUpdateInfo Info = Check();
  EXPECT_TRUE(Info.Ok);
  EXPECT_TRUE(Info.Newer);
  EXPECT_EQ(Info.Latest, "0.3.26250");
  EXPECT_EQ(Info.Current, "0.3.26218");
  EXPECT_EQ(Info.PageUrl, "https://x/26250");
  EXPECT_EQ(Info.SetupUrl, "https://x/setup.exe");
  EXPECT_EQ(Info.Notes, "Better voices.");
  EXPECT_EQ(Read(FeedCalls), 0);
  EXPECT_EQ(Read(ApiHeaders), "application/vnd.github+json|2022-11-28|Quavox/0.3.26218|30");
  EXPECT_TRUE(
      Logged(llInfo, "update check via API: latest 0.3.26250, running 0.3.26218, newer=True"));
}

TEST_F(UpdateCheckTest, FallsBackToTheFeed) {
  struct TCase {
    const char* Label;
    TAnswer Api, Feed;
    bool Ok;
    std::string Latest;
    std::string Error;
  };
  const std::vector<TCase> Cases = {
      {"rate limited, good feed",
       {403, R"({"message": "API rate limit exceeded"})"},
       {200, FeedGood},
       true,
       "0.3.26260",
       ""},
      {"unreadable api, good feed", {200, "<html>"}, {200, FeedGood}, true, "0.3.26260", ""},
      {"no releases anywhere",
       {200, "[]"},
       {200, FeedNone},
       false,
       "",
       "GitHub 上还没有 Quavox 的发布记录"},
      {"unreadable api, feed without tag",
       {200, "{}"},
       {200, FeedNone},
       false,
       "",
       "GitHub 返回的内容看不懂"},
      {"both fail", {500, "{}"}, {404, "missing"}, false, "", "GitHub 返回 500"},
      {"rate limited, feed fails",
       {403, "{}"},
       {502, ""},
       false,
       "",
       "GitHub 接口限流了,过一会儿再试"},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Label);
    Answer(c.Api, c.Feed);
    const int FeedBefore = Read(FeedCalls);
    const TUpdateInfo Info = Check();
    EXPECT_EQ(Read(FeedCalls), FeedBefore + 1);
    EXPECT_EQ(Info.Ok, c.Ok);
    EXPECT_EQ(Info.Latest, c.Latest);
    EXPECT_EQ(Info.Error, c.Error);
    EXPECT_EQ(Info.Current, "0.3.26218");
    EXPECT_TRUE(Info.SetupUrl.empty());
    EXPECT_TRUE(Info.Notes.empty());
    if (c.Ok) {
      EXPECT_TRUE(Info.Newer);
      EXPECT_EQ(Info.PageUrl, "https://github.com/tallyhorn/quavox/releases/tag/quavox-v0.3.26260");
    }
  }
  EXPECT_EQ(Read(FeedHeaders), "application/vnd.github+json|Quavox/0.3.26218");
  EXPECT_TRUE(
      Logged(llInfo, "update check via atom: latest 0.3.26260, running 0.3.26218, newer=True"));
  EXPECT_TRUE(Logged(
      llWarn, "GET " + Server.Base() + "/repos/tallyhorn/quavox/releases?per_page=30 -> HTTP 403"));
}

TEST_F(UpdateCheckTest, UnreachableHostsGiveTheApiRequestsError) {
  std::string FeedBase;
  {
    TLocalServer Gone;
    Gone.Start();
    FeedBase = Gone.Base();
  }
  const std::string ApiBase = Server.Base();
  Server.Stop();
  const TUpdateInfo Info = CheckForUpdate(ApiBase, FeedBase);
  EXPECT_FALSE(Info.Ok);
  EXPECT_EQ(Info.Current, "0.3.26218");
  const std::string ApiPort = ApiBase.substr(ApiBase.rfind(':') + 1);
  EXPECT_NE(Info.Error.find(ApiPort), std::string::npos) << Info.Error;
}

}  // namespace
}  // namespace quavox
