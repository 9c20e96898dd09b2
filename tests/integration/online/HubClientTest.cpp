// The hub client against a local stand-in for the share hub: the requests it sends and
// how it reads every kind of answer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "core/I18n.h"
#include "core/Log.h"
#include "integration/online/LocalServer.h"
#include "online/Hub.h"
#include "state/Json.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

struct TAnswer {
  int Status = 200;
  std::string Body;
};

struct TFormPart {
  std::string Name;
  std::string FileName;
  std::string Value;
};

// The share hub: answers are set by the test; every request is recorded.
class THubServer {
 public:
  THubServer() {
    auto& s = FServer.Server();
    s.Get("/API/hub.php", [this](const httplib::Request& AReq, httplib::Response& ARes) {
      std::lock_guard Guard(FLock);
      LastQuery = AReq.get_param_value("a") + ":" + AReq.get_param_value("kind");
      LastUserAgent = AReq.get_header_value("User-Agent");
      Reply(ARes, ListAnswer);
    });
    s.Post("/API/hub.php", [this](const httplib::Request& AReq, httplib::Response& ARes,
                                  const httplib::ContentReader& AReader) {
      std::string Body;
      std::vector<TFormPart> Parts;
      if (AReq.is_multipart_form_data()) {
        AReader(
            [&Parts](const httplib::MultipartFormData& APart) {
              Parts.push_back({APart.name, APart.filename, {}});
              return true;
            },
            [&Parts](const char* AData, size_t ALength) {
              Parts.back().Value.append(AData, ALength);
              return true;
            });
      } else {
        AReader([&Body](const char* AData, size_t ALength) {
          Body.append(AData, ALength);
          return true;
        });
      }
      std::lock_guard Guard(FLock);
      LastParts = std::move(Parts);
      LastQuery = AReq.get_param_value("a");
      LastUserAgent = AReq.get_header_value("User-Agent");
      LastContentType = AReq.get_header_value("Content-Type");
      LastBody = Body;
      Reply(ARes, LastQuery == "delete" ? DeleteAnswer : UploadAnswer);
    });
    s.Get(R"(/files/(.+))", [this](const httplib::Request& AReq, httplib::Response& ARes) {
      std::lock_guard Guard(FLock);
      const auto It = Files.find(AReq.matches[1]);
      if (It == Files.end()) {
        Reply(ARes, {404, "<html>missing</html>"});
      } else {
        ARes.set_content(It->second, "application/octet-stream");
      }
    });
    FServer.Start();
  }

  std::string Base() const { return FServer.Base(); }
  // The server thread uses the members too, so the test reads and writes them under the lock.
  template <typename T>
  T Read(const T& AField) {
    std::lock_guard Guard(FLock);
    return AField;
  }
  template <typename T>
  void Write(T& AField, T AValue) {
    std::lock_guard Guard(FLock);
    AField = std::move(AValue);
  }

  std::mutex FLock;
  TAnswer ListAnswer, UploadAnswer, DeleteAnswer;
  std::map<std::string, std::string> Files;
  std::string LastQuery, LastUserAgent, LastContentType, LastBody;
  std::vector<TFormPart> LastParts;

 private:
  static void Reply(httplib::Response& ARes, const TAnswer& AAnswer) {
    ARes.status = AAnswer.Status;
    ARes.set_content(AAnswer.Body, "application/json");
  }

  TLocalServer FServer;
};

class HubClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLang(ulZh);
    TAppLog::Clear();
  }

  std::string WriteFile(const std::string& AName, const std::string& ABytes) const {
    std::ofstream(Dir + AName, std::ios::binary | std::ios::trunc) << ABytes;
    return Dir + AName;
  }
  static std::string ReadFile(const std::string& APath) {
    std::ifstream In(APath, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), {}};
  }
  bool Logged(TLogLevel ALevel, const std::string& AText) const {
    for (const auto& e : TAppLog::Entries())
      if (e.Level == ALevel && e.Source == "hub" && e.Text == AText) return true;
    return false;
  }
  // The address of a server that has gone away.
  static std::string DeadBase() {
    TLocalServer Gone;
    Gone.Start();
    return Gone.Base();
  }

  const TTempDir ScratchDir{"quavox-hub"};
  const std::string Dir = ScratchDir.Path();
  THubServer Hub;
};

TEST_F(HubClientTest, List) {
  Hub.Write(Hub.ListAnswer, TAnswer{200, R"({"ok": true, "items": [
      {"id": "a1", "userId": "amy", "title": "Gate", "url": "http://x/a1", "downloads": 3},
      {"id": "a2", "title": "No url"}]})"});
  THubResult r = HubList(hkBroadcasts, Hub.Base() + "/");
  EXPECT_TRUE(r.Ok) << r.Error;
  ASSERT_EQ(r.Items.size(), 1u);
  EXPECT_EQ(r.Items[0].Id, "a1");
  EXPECT_EQ(r.Items[0].Downloads, 3);
  EXPECT_EQ(Hub.Read(Hub.LastQuery), "list:broadcasts");
  EXPECT_EQ(Hub.Read(Hub.LastUserAgent), "Quavox/0.3.26218");
  EXPECT_TRUE(Logged(llInfo, "listed 1 broadcasts share(s)"));

  struct TCase {
    TAnswer Answer;
    std::string Error;
  };
  for (const TCase& c : std::vector<TCase>{
           {{500, "{}"}, "云分享服务返回 500"},
           {{200, "<html>gateway</html>"}, "云分享服务返回的内容看不懂"},
           {{200, R"({"ok": false})"}, "云分享服务出错了"},
       }) {
    Hub.Write(Hub.ListAnswer, c.Answer);
    r = HubList(hkVoices, Hub.Base());
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, c.Error);
    EXPECT_TRUE(r.Items.empty());
  }
  EXPECT_EQ(Hub.Read(Hub.LastQuery), "list:voices");
  EXPECT_TRUE(Logged(llWarn, "list failed: HTTP 500"));

  r = HubList(hkVoices, DeadBase());
  EXPECT_FALSE(r.Ok);
  EXPECT_FALSE(r.Error.empty());
}

TEST_F(HubClientTest, UploadSendsTheFormInOrder) {
  // Exactly the limit is allowed.
  std::string Pack(10485760, 'p');
  Pack[0] = 'P';
  const std::string File = WriteFile("pack.cln", Pack);
  Hub.Write(Hub.UploadAnswer,
            TAnswer{200, R"({"ok": true, "id": "s1", "url": "http://x/s1", "deleteKey": "k-1"})"});
  const THubUploadResult r = HubUpload(hkVoices, File, "amy", "门口 广播", "note\nline 2", "zh",
                                       "female", "fp123", 2, 5, Hub.Base());
  ASSERT_TRUE(r.Ok) << r.Error;
  EXPECT_EQ(r.Id, "s1");
  EXPECT_EQ(r.Url, "http://x/s1");
  EXPECT_EQ(r.DeleteKey, "k-1");
  EXPECT_FALSE(r.Duplicate);
  EXPECT_TRUE(Logged(llInfo, "uploaded share s1"));
  EXPECT_EQ(Hub.Read(Hub.LastQuery), "upload");
  EXPECT_EQ(Hub.Read(Hub.LastUserAgent), "Quavox/0.3.26218");

  const std::vector<TFormPart> Parts = Hub.Read(Hub.LastParts);
  std::vector<std::pair<std::string, std::string>> Fields;
  for (const TFormPart& p : Parts)
    if (p.FileName.empty()) Fields.emplace_back(p.Name, p.Value);
  EXPECT_EQ(Fields, (std::vector<std::pair<std::string, std::string>>{
                        {"kind", "voices"},
                        {"fp", "fp123"},
                        {"userid", "amy"},
                        {"title", "门口 广播"},
                        {"note", "note\nline 2"},
                        {"language", "zh"},
                        {"gender", "female"},
                        {"voices", "2"},
                        {"bindings", "5"},
                        {"appversion", "0.3.26218"},
                    }));
  ASSERT_EQ(Parts.size(), 11u);
  EXPECT_EQ(Parts.back().Name, "file");
  EXPECT_EQ(Parts.back().FileName, "pack.cln");
  EXPECT_TRUE(Parts.back().Value == Pack);
}

TEST_F(HubClientTest, UploadAnswers) {
  const std::string File = WriteFile("small.cln", "zip bytes");
  const std::string Long(300, 'z');
  struct TCase {
    const char* Label;
    TAnswer Answer;
    std::string Error;
    bool Duplicate;
    std::string Id, DupTitle, DupUser;
    bool DupMine;
  };
  const std::vector<TCase> Cases = {
      {"ok false", {200, R"({"ok": false, "error": "busy"})"}, "busy", false, "", "", "", false},
      {"ok false bare", {200, R"({"ok": false})"}, "云分享服务出错了", false, "", "", "", false},
      {"not json", {200, "Internal oops"}, "云分享服务返回的内容看不懂", false, "", "", "", false},
      {"mine",
       {409,
        R"({"existingId": "s9", "existingTitle": "Old", "existingUser": "amy", "mine": true})"},
       "",
       true,
       "s9",
       "Old",
       "amy",
       true},
      {"not mine",
       {409,
        R"({"existingId": "s8", "existingTitle": "Theirs", "existingUser": "bob", "mine": false})"},
       "",
       true,
       "s8",
       "Theirs",
       "bob",
       false},
      {"duplicate without json", {409, "duplicate"}, "", true, "", "", "", false},
      {"rate", {429, Long}, "传得太勤了,歇一会儿再来(每小时最多 5 份)。", false, "", "", "", false},
      {"too large", {413, ""}, "服务端说包太大(上限 10 MB)。", false, "", "", "", false},
      {"one per upload",
       {415, R"({"ok": false, "error": "one_per_upload"})"},
       "一次只能分享一个 —— 这个包里装了不止一个,请分开传。",
       false,
       "",
       "",
       "",
       false},
      {"other 415",
       {415, R"({"ok": false, "error": "bad_type"})"},
       "上传失败(HTTP 415)",
       false,
       "",
       "",
       "",
       false},
      {"server error", {500, "boom"}, "上传失败(HTTP 500)", false, "", "", "", false},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Label);
    Hub.Write(Hub.UploadAnswer, c.Answer);
    const THubUploadResult r =
        HubUpload(hkBroadcasts, File, "amy", "t", "", "zh", "male", "fp", 1, 1, Hub.Base());
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, c.Error);
    EXPECT_EQ(r.Duplicate, c.Duplicate);
    EXPECT_EQ(r.Id, c.Id);
    EXPECT_EQ(r.DupTitle, c.DupTitle);
    EXPECT_EQ(r.DupUser, c.DupUser);
    EXPECT_EQ(r.DupMine, c.DupMine);
    EXPECT_TRUE(r.DeleteKey.empty());
  }
  EXPECT_TRUE(Logged(llWarn, "upload failed: HTTP 429 " + std::string(200, 'z')));
  EXPECT_TRUE(Logged(llWarn, "upload failed: HTTP 500 boom"));

  const THubUploadResult Dead =
      HubUpload(hkVoices, File, "amy", "t", "", "zh", "male", "fp", 1, 1, DeadBase());
  EXPECT_FALSE(Dead.Ok);
  EXPECT_FALSE(Dead.Error.empty());
}

TEST_F(HubClientTest, DeleteSendsTheKeyAsJson) {
  const std::string Key = "k\"}, \"deleteKey\": \"other\\";
  Hub.Write(Hub.DeleteAnswer, TAnswer{200, R"({"ok": true})"});
  std::string Error;
  EXPECT_TRUE(HubDelete(Key, Error, Hub.Base()));
  EXPECT_TRUE(Error.empty());
  EXPECT_EQ(Hub.Read(Hub.LastQuery), "delete");
  EXPECT_EQ(Hub.Read(Hub.LastContentType), "application/json");
  const auto Body = ParseJsonObject(Hub.Read(Hub.LastBody));
  ASSERT_TRUE(Body) << Hub.Read(Hub.LastBody);
  EXPECT_EQ(Body->size(), 1u);
  EXPECT_EQ(JsonString(&*Body, "deleteKey", ""), Key);
  EXPECT_TRUE(Logged(llInfo, "share deleted"));

  Hub.Write(Hub.DeleteAnswer, TAnswer{403, "{}"});
  EXPECT_FALSE(HubDelete("k", Error, Hub.Base()));
  EXPECT_EQ(Error, "删除失败(HTTP 403)");
  EXPECT_FALSE(HubDelete("k", Error, DeadBase()));
  EXPECT_FALSE(Error.empty());
}

TEST_F(HubClientTest, DownloadLeavesNoFileWhenItFails) {
  const std::string Served(300000, 'v');
  Hub.Write(Hub.Files, std::map<std::string, std::string>{{"v1.cln", Served}});
  THubItem Item;
  Item.FileName = "v1.cln";
  Item.Url = Hub.Base() + "/files/v1.cln";
  std::string Error;
  const std::string Dest = Dir + "sub/dir/v1.cln";
  ASSERT_TRUE(HubDownload(Item, Dest, Error)) << Error;
  EXPECT_EQ(ReadFile(Dest), Served);
  EXPECT_FALSE(fs::exists(Dest + ".part"));
  EXPECT_TRUE(Logged(llInfo, "downloaded v1.cln (300000 bytes)"));

  Item.Url = Hub.Base() + "/files/gone.cln";
  const std::string Fresh = Dir + "fresh.cln";
  EXPECT_FALSE(HubDownload(Item, Fresh, Error));
  EXPECT_EQ(Error, "下载失败(HTTP 404)");
  EXPECT_FALSE(fs::exists(Fresh));
  EXPECT_FALSE(fs::exists(Fresh + ".part"));

  // A file already there is replaced only by a complete download.
  EXPECT_FALSE(HubDownload(Item, Dest, Error));
  EXPECT_EQ(ReadFile(Dest), Served);

  Item.Url = DeadBase() + "/files/v1.cln";
  EXPECT_FALSE(HubDownload(Item, Fresh, Error));
  EXPECT_FALSE(Error.empty());
  EXPECT_FALSE(fs::exists(Fresh));
  EXPECT_FALSE(fs::exists(Fresh + ".part"));
}

}  // namespace
}  // namespace quavox
