#include "online/Hub.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <optional>

#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "online/HttpClient.h"
#include "platform/Files.h"
#include "state/Json.h"

namespace quavox {

namespace {

constexpr long ConnectTimeoutMs = 10000;
constexpr long ListTimeoutMs = 20000;
constexpr long DownloadTimeoutMs = 120000;
constexpr long UploadTimeoutMs = 180000;
constexpr long DeleteTimeoutMs = 30000;

int32_t ClampInt32(int64_t AValue) {
  return static_cast<int32_t>(std::clamp<int64_t>(AValue, INT32_MIN, INT32_MAX));
}

std::optional<TJson> ParseAnswer(std::string_view ABody) {
  return ParseJsonObject(StripUtf8Bom(ABody));
}

std::string HubError(const TJson& ARoot) {
  const std::string Error = JsonString(&ARoot, "error", "");
  return Error.empty() ? Translate("云分享服务出错了") : Error;
}

THubItem ItemFrom(const TJson& ANode) {
  THubItem Item;
  Item.Id = JsonString(&ANode, "id", "");
  Item.UserId = JsonString(&ANode, "userId", "");
  Item.Title = JsonString(&ANode, "title", "");
  Item.Language = JsonString(&ANode, "language", "");
  Item.Gender = JsonString(&ANode, "gender", "");
  Item.Voices = ClampInt32(JsonInteger(&ANode, "voices", 0));
  Item.Bindings = ClampInt32(JsonInteger(&ANode, "bindings", 0));
  Item.Note = JsonString(&ANode, "note", "");
  Item.AppVersion = JsonString(&ANode, "appVersion", "");
  Item.FileName = JsonString(&ANode, "file", "");
  Item.Size = JsonInteger(&ANode, "size", 0);
  Item.Downloads = ClampInt32(JsonInteger(&ANode, "downloads", 0));
  TDateTime Created{};
  if (ParseHubTime(JsonString(&ANode, "createdAt", ""), Created)) Item.CreatedAt = Created;
  Item.Url = JsonString(&ANode, "url", "");
  return Item;
}

// Reads exactly ACount decimal digits.
bool Digits(std::string_view AText, std::size_t& APos, int ACount, int& AValue) {
  if (APos + static_cast<std::size_t>(ACount) > AText.size()) return false;
  AValue = 0;
  for (int k = 0; k < ACount; ++k) {
    const char c = AText[APos++];
    if (c < '0' || c > '9') return false;
    AValue = AValue * 10 + (c - '0');
  }
  return true;
}

bool Expect(std::string_view AText, std::size_t& APos, char AChar) {
  if (APos >= AText.size() || AText[APos] != AChar) return false;
  ++APos;
  return true;
}

int CompareNoCase(const std::string& A, const std::string& B) {
  const std::string a = LowerAscii(A), b = LowerAscii(B);
  return a < b ? -1 : a > b ? 1 : 0;
}

}  // namespace

std::string HubKindWire(THubKind AKind) {
  return AKind == hkBroadcasts ? "broadcasts" : "voices";
}

std::string HubKindDisplay(THubKind AKind) {
  return AKind == hkBroadcasts ? Translate("广播") : Translate("音色");
}

std::string THubItem::Describe() const {
  return UserId.empty() ? Title : Title + "  @" + UserId;
}

bool THubFilter::Matches(const THubItem& AItem) const {
  if (!Language.empty() && !SameTextAscii(Language, AItem.Language)) return false;
  if (!Gender.empty() && !SameTextAscii(Gender, AItem.Gender)) return false;
  if (!UserId.empty() && !SameTextAscii(UserId, AItem.UserId)) return false;
  const std::string Needle = LowerAscii(Trim(Text));
  if (Needle.empty()) return true;
  return LowerAscii(AItem.Title).find(Needle) != std::string::npos ||
         LowerAscii(AItem.UserId).find(Needle) != std::string::npos ||
         LowerAscii(AItem.Note).find(Needle) != std::string::npos;
}

bool ParseHubTime(std::string_view AText, TDateTime& AValue) {
  using namespace std::chrono;
  const std::string Text = Trim(AText);
  const std::string_view s = Text;
  std::size_t p = 0;
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  if (!Digits(s, p, 4, Year) || !Expect(s, p, '-') || !Digits(s, p, 2, Month) ||
      !Expect(s, p, '-') || !Digits(s, p, 2, Day))
    return false;
  const year_month_day Date{year{Year}, month{static_cast<unsigned>(Month)},
                            day{static_cast<unsigned>(Day)}};
  if (!Date.ok()) return false;
  milliseconds Fraction{0};
  minutes Offset{0};
  if (p < s.size()) {
    if (s[p] != 'T' && s[p] != 't' && s[p] != ' ') return false;
    ++p;
    if (!Digits(s, p, 2, Hour) || !Expect(s, p, ':') || !Digits(s, p, 2, Minute)) return false;
    if (p < s.size() && s[p] == ':') {
      ++p;
      if (!Digits(s, p, 2, Second)) return false;
      if (p < s.size() && (s[p] == '.' || s[p] == ',')) {
        ++p;
        int Scale = 100, Count = 0;
        int64_t Ms = 0;
        while (p < s.size() && s[p] >= '0' && s[p] <= '9') {
          Ms += (s[p++] - '0') * Scale;
          Scale /= 10;
          ++Count;
        }
        if (Count == 0) return false;
        Fraction = milliseconds{Ms};
      }
    }
    if (Hour > 23 || Minute > 59 || Second > 60) return false;
    if (p < s.size()) {
      if (s[p] == 'Z' || s[p] == 'z') {
        ++p;
      } else if (s[p] == '+' || s[p] == '-') {
        const int Sign = s[p++] == '-' ? -1 : 1;
        int OffHours = 0, OffMinutes = 0;
        if (!Digits(s, p, 2, OffHours)) return false;
        if (p < s.size() && s[p] == ':') ++p;
        if (p < s.size() && !Digits(s, p, 2, OffMinutes)) return false;
        if (OffHours > 23 || OffMinutes > 59) return false;
        Offset = minutes{Sign * (OffHours * 60 + OffMinutes)};
      } else {
        return false;
      }
    }
    if (p != s.size()) return false;
  }
  const sys_days Days{Date};
  const auto Utc =
      Days + hours{Hour} + minutes{Minute} + seconds{std::min(Second, 59)} + Fraction - Offset;
  // The clock's ticks span only a few centuries around 1970; a date beyond them is invalid.
  const auto Earliest = floor<milliseconds>(system_clock::time_point::min()) + seconds{1};
  const auto Latest = floor<milliseconds>(system_clock::time_point::max()) - seconds{1};
  if (Utc < Earliest || Utc > Latest) return false;
  AValue = time_point_cast<system_clock::duration>(Utc);
  return true;
}

THubResult ParseHubList(std::string_view ABody) {
  THubResult Result;
  const std::optional<TJson> Root = ParseAnswer(ABody);
  if (!Root) {
    Result.Error = Translate("云分享服务返回的内容看不懂");
    return Result;
  }
  if (!JsonBoolean(&*Root, "ok", false)) {
    Result.Error = HubError(*Root);
    return Result;
  }
  if (const TJson* Items = JsonChildArray(&*Root, "items")) {
    for (const TJson& Node : *Items) {
      if (!Node.is_object()) continue;
      THubItem Item = ItemFrom(Node);
      if (Item.Id.empty() || Item.Url.empty()) continue;
      Result.Items.push_back(std::move(Item));
    }
  }
  Result.Ok = true;
  return Result;
}

THubResult HubList(THubKind AKind, std::string_view ABaseUrl) {
  TClientRequest Request;
  Request.Url = JoinUrl(ABaseUrl, "/API/hub.php?a=list&kind=" + HubKindWire(AKind));
  Request.ConnectTimeoutMs = ConnectTimeoutMs;
  Request.ResponseTimeoutMs = ListTimeoutMs;
  const TClientResponse Response = HttpRequest(Request);
  THubResult Result;
  if (!Response.Ok) {
    Result.Error = Response.Error;
    TAppLog::Warn("hub", "list failed: %s", Response.Error);
    return Result;
  }
  if (Response.Status != 200) {
    Result.Error = Format(Translate("云分享服务返回 %d"), Response.Status);
    TAppLog::Warn("hub", "list failed: HTTP %d", Response.Status);
    return Result;
  }
  Result = ParseHubList(Response.Body);
  if (Result.Ok)
    TAppLog::Info("hub", "listed %d %s share(s)", Result.Items.size(), HubKindWire(AKind));
  return Result;
}

bool HubDownload(const THubItem& AItem, const std::string& ADestFile, std::string& AError) {
  AError.clear();
  if (AItem.Url.empty()) {
    AError = Translate("这一条没有下载地址");
    return false;
  }
  // The answer lands beside the destination and replaces it only when complete.
  const std::string Temp = ADestFile + ".part";
  try {
    const std::filesystem::path Parent = std::filesystem::path(ADestFile).parent_path();
    if (!Parent.empty()) ForceDirectories(Parent.string());
  } catch (const std::exception& E) {
    AError = E.what();
    return false;
  }
  TClientRequest Request;
  Request.Url = AItem.Url;
  Request.ConnectTimeoutMs = ConnectTimeoutMs;
  Request.ResponseTimeoutMs = DownloadTimeoutMs;
  Request.OutFile = Temp;
  const TClientResponse Response = HttpRequest(Request);
  if (!Response.Ok) {
    AError = Response.Error;
  } else if (Response.Status != 200) {
    AError = Format(Translate("下载失败(HTTP %d)"), Response.Status);
  } else if (::rename(Temp.c_str(), ADestFile.c_str()) != 0) {
    AError = ADestFile + ": " + std::strerror(errno);
  } else {
    TAppLog::Info("hub", "downloaded %s (%d bytes)", AItem.FileName, Response.BytesWritten);
    return true;
  }
  ::unlink(Temp.c_str());
  return false;
}

THubUploadResult HubUpload(THubKind AKind, const std::string& AFile, const std::string& AUserId,
                           const std::string& ATitle, const std::string& ANote,
                           const std::string& ALanguage, const std::string& AGender,
                           const std::string& AFingerprint, int32_t AVoices, int32_t ABindings,
                           std::string_view ABaseUrl) {
  THubUploadResult Result;
  struct stat St {};
  if (::stat(AFile.c_str(), &St) != 0 || !S_ISREG(St.st_mode)) {
    Result.Error = Translate("要上传的文件不在了");
    return Result;
  }
  if (St.st_size > HubMaxUploadBytes) {
    Result.Error = Format(Translate("这个包 %.1f MB,超过了 %d MB 的上限。"),
                          static_cast<double>(St.st_size) / 1048576.0, 10) +
                   "\r\n" +
                   Translate("把参考音频换成 mp3,或者去掉几段 —— 同样一段话,wav 比 mp3 大好几倍。");
    return Result;
  }

  TClientRequest Request;
  Request.Url = JoinUrl(ABaseUrl, "/API/hub.php?a=upload");
  Request.ConnectTimeoutMs = ConnectTimeoutMs;
  Request.ResponseTimeoutMs = UploadTimeoutMs;
  Request.Form = {
      {"kind", HubKindWire(AKind), {}},
      {"fp", AFingerprint, {}},
      {"userid", AUserId, {}},
      {"title", ATitle, {}},
      {"note", ANote, {}},
      {"language", ALanguage, {}},
      {"gender", AGender, {}},
      {"voices", std::to_string(AVoices), {}},
      {"bindings", std::to_string(ABindings), {}},
      {"appversion", QuavoxVersion, {}},
      {"file", {}, AFile},
  };
  const TClientResponse Response = HttpRequest(Request);
  if (!Response.Ok) {
    Result.Error = Response.Error;
    TAppLog::Warn("hub", "upload failed: %s", Response.Error);
    return Result;
  }
  const int Status = Response.Status;
  if (Status == 200) {
    const std::optional<TJson> Root = ParseAnswer(Response.Body);
    if (!Root) {
      Result.Error = Translate("云分享服务返回的内容看不懂");
    } else if (!JsonBoolean(&*Root, "ok", false)) {
      Result.Error = HubError(*Root);
    } else {
      Result.Ok = true;
      Result.Id = JsonString(&*Root, "id", "");
      Result.Url = JsonString(&*Root, "url", "");
      Result.DeleteKey = JsonString(&*Root, "deleteKey", "");
      TAppLog::Info("hub", "uploaded share %s", Result.Id);
    }
    return Result;
  }
  if (Status == 409) {
    Result.Duplicate = true;
    if (const std::optional<TJson> Root = ParseAnswer(Response.Body)) {
      Result.Id = JsonString(&*Root, "existingId", "");
      Result.DupTitle = JsonString(&*Root, "existingTitle", "");
      Result.DupUser = JsonString(&*Root, "existingUser", "");
      Result.DupMine = JsonBoolean(&*Root, "mine", false);
    }
    return Result;
  }
  if (Status == 429) {
    Result.Error = Translate("传得太勤了,歇一会儿再来(每小时最多 5 份)。");
  } else if (Status == 413) {
    Result.Error = Format(Translate("服务端说包太大(上限 %d MB)。"), 10);
  } else if (Status == 415 && Response.Body.find("one_per_upload") != std::string::npos) {
    Result.Error = Translate("一次只能分享一个 —— 这个包里装了不止一个,请分开传。");
  } else {
    Result.Error = Format(Translate("上传失败(HTTP %d)"), Status);
  }
  TAppLog::Warn("hub", "upload failed: HTTP %d %s", Status, LeftUtf16(Response.Body, 200));
  return Result;
}

bool HubDelete(const std::string& ADeleteKey, std::string& AError, std::string_view ABaseUrl) {
  AError.clear();
  if (ADeleteKey.empty()) {
    AError = Translate("没有删除凭据 —— 只能删自己在这台机器上传过的。");
    return false;
  }
  TClientRequest Request;
  Request.Url = JoinUrl(ABaseUrl, "/API/hub.php?a=delete");
  Request.ConnectTimeoutMs = ConnectTimeoutMs;
  Request.ResponseTimeoutMs = DeleteTimeoutMs;
  Request.Headers = {"Content-Type: application/json"};
  Request.PostBody = true;
  // Built by the JSON writer, so a key holding quotes or backslashes stays one string.
  TJson Body = TJson::object();
  Body["deleteKey"] = ADeleteKey;
  Request.Body = Body.dump(-1, ' ', false, TJson::error_handler_t::replace);
  const TClientResponse Response = HttpRequest(Request);
  if (!Response.Ok) {
    AError = Response.Error;
    return false;
  }
  if (Response.Status != 200) {
    AError = Format(Translate("删除失败(HTTP %d)"), Response.Status);
    return false;
  }
  TAppLog::Info("hub", "share deleted");
  return true;
}

std::vector<THubItem> HubArrange(const std::vector<THubItem>& AItems, const THubFilter& AFilter,
                                 THubSort ASort) {
  std::vector<THubItem> Items;
  for (const THubItem& Item : AItems)
    if (AFilter.Matches(Item)) Items.push_back(Item);
  std::stable_sort(Items.begin(), Items.end(), [ASort](const THubItem& A, const THubItem& B) {
    int c = 0;
    switch (ASort) {
      case hsNewest:
        c = A.CreatedAt > B.CreatedAt ? -1 : A.CreatedAt < B.CreatedAt ? 1 : 0;
        break;
      case hsOldest:
        c = A.CreatedAt < B.CreatedAt ? -1 : A.CreatedAt > B.CreatedAt ? 1 : 0;
        break;
      case hsDownloads:
        c = A.Downloads > B.Downloads ? -1 : A.Downloads < B.Downloads ? 1 : 0;
        break;
      case hsTitle:
        c = CompareNoCase(A.Title, B.Title);
        break;
      case hsUploader:
        c = CompareNoCase(A.UserId, B.UserId);
        break;
    }
    if (c == 0) c = CompareNoCase(A.Id, B.Id);
    return c < 0;
  });
  return Items;
}

std::vector<std::string> CollectDistinct(const std::vector<THubItem>& AItems, bool AUploaders) {
  std::vector<std::string> Values;
  for (const THubItem& Item : AItems) {
    const std::string& Value = AUploaders ? Item.UserId : Item.Language;
    if (Value.empty()) continue;
    const bool Seen = std::any_of(Values.begin(), Values.end(),
                                  [&](const std::string& v) { return SameTextAscii(v, Value); });
    if (!Seen) Values.push_back(Value);
  }
  std::stable_sort(Values.begin(), Values.end(), [](const std::string& A, const std::string& B) {
    return CompareNoCase(A, B) < 0;
  });
  return Values;
}

}  // namespace quavox
