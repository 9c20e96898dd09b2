// The client of the cloud share hub: list the shared clone packs of one kind, download one,
// upload a pack, delete one's own upload; plus the filtering, sorting and summaries the
// cloud-share page shows. Every answer is outside data and read leniently; no operation
// raises. The functions hold no shared state and may run on any thread; the network calls
// belong off the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/Types.h"

namespace quavox {

inline constexpr const char* HubBaseUrl = "https://hub.tallyhorn.com";
inline constexpr int64_t HubMaxUploadBytes = 10485760;

enum THubKind : uint8_t { hkVoices, hkBroadcasts };
enum THubSort : uint8_t { hsNewest, hsOldest, hsDownloads, hsTitle, hsUploader };

std::string HubKindWire(THubKind AKind);
std::string HubKindDisplay(THubKind AKind);

struct THubItem {
  std::string Id;
  std::string UserId;
  std::string Title;
  std::string Language;
  std::string Gender;
  int32_t Voices = 0;
  int32_t Bindings = 0;
  std::string Note;
  std::string AppVersion;
  std::string FileName;
  int64_t Size = 0;
  int32_t Downloads = 0;
  TDateTime CreatedAt{};
  std::string Url;

  std::string Describe() const;
};

struct THubFilter {
  std::string Text;
  std::string Language;
  std::string Gender;
  std::string UserId;

  bool Matches(const THubItem& AItem) const;
};

struct THubResult {
  bool Ok = false;
  std::string Error;
  std::vector<THubItem> Items;
};

struct THubUploadResult {
  bool Ok = false;
  std::string Error;
  std::string Id;
  std::string Url;
  std::string DeleteKey;
  bool Duplicate = false;
  std::string DupTitle;
  std::string DupUser;
  bool DupMine = false;
};

THubResult HubList(THubKind AKind, std::string_view ABaseUrl = HubBaseUrl);
// A failed download leaves no new file behind; a file already at ADestFile is replaced only
// by a complete download.
bool HubDownload(const THubItem& AItem, const std::string& ADestFile, std::string& AError);
THubUploadResult HubUpload(THubKind AKind, const std::string& AFile, const std::string& AUserId,
                           const std::string& ATitle, const std::string& ANote,
                           const std::string& ALanguage, const std::string& AGender,
                           const std::string& AFingerprint, int32_t AVoices, int32_t ABindings,
                           std::string_view ABaseUrl = HubBaseUrl);
bool HubDelete(const std::string& ADeleteKey, std::string& AError,
               std::string_view ABaseUrl = HubBaseUrl);

std::vector<THubItem> HubArrange(const std::vector<THubItem>& AItems, const THubFilter& AFilter,
                                 THubSort ASort);
std::vector<std::string> CollectDistinct(const std::vector<THubItem>& AItems, bool AUploaders);

// The list answer's body read as the hub's JSON (no logging); for tests and fuzzing too.
THubResult ParseHubList(std::string_view ABody);
// A hub time stamp: an ISO 8601 date or date-time ("2024-05-01T08:30:00Z", "...+08:00", fractions
// allowed); without an offset the time is taken as UTC. False for anything else.
bool ParseHubTime(std::string_view AText, TDateTime& AValue);

}  // namespace quavox
