// The release check: reads the releases of the program's repository through the code
// host's REST API, falls back to the repository's Atom feed of releases when that fails or
// finds nothing, and compares the newest release with the running version. Never raises;
// runs off the main thread.
#pragma once

#include <string>
#include <string_view>

namespace quavox {

inline constexpr const char* CodeHostUrl = "https://github.com";
inline constexpr const char* ReleaseApiUrl = "https://api.github.com";
inline constexpr const char* ReleaseOwner = "tallyhorn";
inline constexpr const char* ReleaseRepository = "quavox";
inline constexpr const char* ReleaseTagPrefix = "quavox-v";

struct TUpdateInfo {
  bool Ok = false;
  bool Newer = false;
  std::string Latest;
  std::string Current;
  std::string PageUrl;
  std::string SetupUrl;
  std::string Notes;
  std::string Error;
};

// -1, 0 or 1 as A is older than, the same as or newer than B.
int CompareVersions(std::string_view A, std::string_view B);
bool HttpGetText(const std::string& AUrl, std::string& ABody, std::string& AError);
TUpdateInfo CheckForUpdate(std::string_view AApiBaseUrl = ReleaseApiUrl,
                           std::string_view ACodeHostUrl = CodeHostUrl);

// The two answers read on their own, for tests and fuzzing; any bytes are accepted.
TUpdateInfo ParseReleaseList(std::string_view ABody);
TUpdateInfo ParseReleaseFeed(std::string_view ABody);

}  // namespace quavox
