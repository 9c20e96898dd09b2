#include "online/Update.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "core/Types.h"
#include "online/HttpClient.h"
#include "state/Json.h"

namespace quavox {

namespace {

constexpr long ConnectTimeoutMs = 10000;
constexpr long ResponseTimeoutMs = 20000;
constexpr std::size_t NotesLimit = 600;
constexpr std::string_view TagMarker = "/releases/tag/";

struct TRelease {
  std::string Version;
  std::string PageUrl;
  std::string SetupUrl;
  std::string Notes;
};

std::vector<std::string_view> SplitDots(std::string_view AText) {
  std::vector<std::string_view> Parts;
  std::size_t Start = 0;
  for (;;) {
    const std::size_t Dot = AText.find('.', Start);
    Parts.push_back(AText.substr(Start, Dot == std::string_view::npos ? Dot : Dot - Start));
    if (Dot == std::string_view::npos) return Parts;
    Start = Dot + 1;
  }
}

// The version after the tag prefix, or empty when the tag is not one of the program's.
std::string VersionOfTag(std::string_view ATag) {
  const std::string_view Prefix = ReleaseTagPrefix;
  if (ATag.size() <= Prefix.size() || !SameTextAscii(ATag.substr(0, Prefix.size()), Prefix))
    return {};
  return std::string(ATag.substr(Prefix.size()));
}

bool IsInstallerName(std::string_view AName) {
  const std::string Name = LowerAscii(AName);
  return StartsWith(Name, "quavox_setup") && EndsWith(Name, ".exe");
}

void Consider(std::optional<TRelease>& ABest, TRelease ACandidate) {
  if (!ABest || CompareVersions(ACandidate.Version, ABest->Version) == 1)
    ABest = std::move(ACandidate);
}

TUpdateInfo ResultOf(const std::optional<TRelease>& ABest) {
  TUpdateInfo Info;
  Info.Current = QuavoxVersion;
  if (!ABest) {
    Info.Error = Translate("GitHub 上还没有 Quavox 的发布记录");
    return Info;
  }
  Info.Ok = true;
  Info.Latest = ABest->Version;
  Info.PageUrl = ABest->PageUrl;
  Info.SetupUrl = ABest->SetupUrl;
  Info.Notes = ABest->Notes;
  Info.Newer = CompareVersions(Info.Latest, Info.Current) == 1;
  return Info;
}

}  // namespace

int CompareVersions(std::string_view A, std::string_view B) {
  const std::vector<std::string_view> PartsA = SplitDots(A), PartsB = SplitDots(B);
  const std::size_t Count = std::max(PartsA.size(), PartsB.size());
  for (std::size_t i = 0; i < Count; ++i) {
    int64_t a = 0, b = 0;
    if (i >= PartsA.size() || !TryParseInt64(Trim(PartsA[i]), a)) a = 0;
    if (i >= PartsB.size() || !TryParseInt64(Trim(PartsB[i]), b)) b = 0;
    if (a != b) return a < b ? -1 : 1;
  }
  return 0;
}

TUpdateInfo ParseReleaseList(std::string_view ABody) {
  TJson Root;
  try {
    const std::string_view Text = StripUtf8Bom(ABody);
    Root = TJson::parse(Text.begin(), Text.end(), nullptr, false);
  } catch (...) {
    Root = TJson();
  }
  if (Root.is_discarded() || !Root.is_array()) {
    TUpdateInfo Info;
    Info.Current = QuavoxVersion;
    Info.Error = Translate("GitHub 返回的内容看不懂");
    return Info;
  }
  std::optional<TRelease> Best;
  for (const TJson& Node : Root) {
    if (!Node.is_object()) continue;
    if (JsonBoolean(&Node, "draft", false) || JsonBoolean(&Node, "prerelease", false)) continue;
    TRelease Release;
    Release.Version = VersionOfTag(JsonString(&Node, "tag_name", ""));
    if (Release.Version.empty()) continue;
    Release.PageUrl = JsonString(&Node, "html_url", "");
    Release.Notes = LeftUtf16(Trim(JsonString(&Node, "body", "")), NotesLimit);
    if (const TJson* Assets = JsonChildArray(&Node, "assets")) {
      for (const TJson& Asset : *Assets) {
        if (Asset.is_object() && IsInstallerName(JsonString(&Asset, "name", ""))) {
          Release.SetupUrl = JsonString(&Asset, "browser_download_url", "");
          break;
        }
      }
    }
    Consider(Best, std::move(Release));
  }
  return ResultOf(Best);
}

TUpdateInfo ParseReleaseFeed(std::string_view ABody) {
  std::optional<TRelease> Best;
  std::size_t From = 0;
  for (;;) {
    const std::size_t At = ABody.find(TagMarker, From);
    if (At == std::string_view::npos) break;
    From = At + TagMarker.size();
    const std::size_t Open = ABody.rfind('"', At);
    const std::size_t Close = ABody.find('"', From);
    if (Open == std::string_view::npos || Close == std::string_view::npos) continue;
    TRelease Release;
    Release.Version = VersionOfTag(ABody.substr(From, Close - From));
    if (Release.Version.empty()) continue;
    Release.PageUrl = std::string(ABody.substr(Open + 1, Close - Open - 1));
    Consider(Best, std::move(Release));
  }
  return ResultOf(Best);
}

bool HttpGetText(const std::string& AUrl, std::string& ABody, std::string& AError) {
  ABody.clear();
  AError.clear();
  TClientRequest Request;
  Request.Url = AUrl;
  Request.Headers = {"Accept: application/vnd.github+json", "X-GitHub-Api-Version: 2022-11-28"};
  Request.ConnectTimeoutMs = ConnectTimeoutMs;
  Request.ResponseTimeoutMs = ResponseTimeoutMs;
  TClientResponse Response = HttpRequest(Request);
  if (!Response.Ok) {
    AError = Response.Error;
    TAppLog::Warn("update", "GET %s failed: %s", AUrl, Response.Error);
    return false;
  }
  if (Response.Status != 200) {
    AError = Response.Status == 403 ? Translate("GitHub 接口限流了,过一会儿再试")
                                    : Format(Translate("GitHub 返回 %d"), Response.Status);
    TAppLog::Warn("update", "GET %s -> HTTP %d", AUrl, Response.Status);
    return false;
  }
  ABody = std::move(Response.Body);
  return true;
}

TUpdateInfo CheckForUpdate(std::string_view AApiBaseUrl, std::string_view ACodeHostUrl) {
  TUpdateInfo Result;
  Result.Current = QuavoxVersion;
  try {
    std::string Body, Error;
    const std::string ApiUrl = JoinUrl(
        AApiBaseUrl, Format("/repos/%s/%s/releases?per_page=30", ReleaseOwner, ReleaseRepository));
    if (HttpGetText(ApiUrl, Body, Error)) {
      const TUpdateInfo Parsed = ParseReleaseList(Body);
      if (Parsed.Ok) {
        TAppLog::Info("update", "update check via API: latest %s, running %s, newer=%s",
                      Parsed.Latest, Parsed.Current, Parsed.Newer ? "True" : "False");
        return Parsed;
      }
      Result.Error = Parsed.Error;
    } else {
      Result.Error = Error;
    }
    const std::string FeedUrl =
        JoinUrl(ACodeHostUrl, Format("/%s/%s/releases.atom", ReleaseOwner, ReleaseRepository));
    if (HttpGetText(FeedUrl, Body, Error)) {
      const TUpdateInfo Parsed = ParseReleaseFeed(Body);
      if (Parsed.Ok) {
        TAppLog::Info("update", "update check via atom: latest %s, running %s, newer=%s",
                      Parsed.Latest, Parsed.Current, Parsed.Newer ? "True" : "False");
        return Parsed;
      }
    } else if (Result.Error.empty()) {
      Result.Error = Error;
    }
  } catch (const std::exception& E) {
    if (Result.Error.empty()) Result.Error = E.what();
  }
  Result.Ok = false;
  return Result;
}

}  // namespace quavox
