#include "state/Voices.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <limits>
#include <optional>
#include <set>

#include "audio/Wav.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "platform/Files.h"
#include "state/Json.h"
#include "state/Revision.h"

namespace quavox {

namespace fs = std::filesystem;

namespace {

constexpr const char* LogSource = "voices";
constexpr const char* Utf8Bom = "\xEF\xBB\xBF";

// A JSON integer that must fit a 32-bit field; anything outside gives the default.
int32_t JsonInt32(const TJson* ANode, std::string_view AName, int32_t ADefault) {
  const int64_t v = JsonInteger(ANode, AName, ADefault);
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    return ADefault;
  return static_cast<int32_t>(v);
}

TVoiceInfo VoiceFromJson(const TJson& ANode, TDateTime ALoadTime) {
  const TJson* v = &ANode;
  TVoiceInfo Voice;
  Voice.Id = JsonString(v, "id", {});
  if (Voice.Id.empty()) return Voice;
  Voice.Display = JsonString(v, "display", Voice.Id);
  Voice.Kind =
      LowerAscii(Trim(JsonString(v, "kind", "cloned"))) == "reference" ? vkProfile : vkCloned;
  Voice.ProfileFile = JsonString(v, "profile", {});
  if (const TJson* Clips = JsonChildArray(v, "clips")) {
    for (const TJson& c : *Clips) {
      if (!c.is_object()) continue;
      TVoiceClip Clip;
      Clip.FileName = JsonString(&c, "file", {});
      if (Clip.FileName.empty()) continue;
      Clip.Text = JsonString(&c, "text", {});
      Clip.DurationMs = std::max(0, JsonInt32(&c, "durationMs", 0));
      Voice.Clips.push_back(std::move(Clip));
    }
  }
  if (Voice.Clips.empty()) {
    const std::string Legacy = JsonString(v, "refAudio", {});
    if (!Legacy.empty()) Voice.Clips.push_back({Legacy, JsonString(v, "refText", {}), 0});
  }
  Voice.Language = NormalizeLanguage(JsonString(v, "language", "auto"));
  Voice.Gender = ParseGender(JsonString(v, "gender", "default"));
  Voice.Style = JsonString(v, "style", {});
  Voice.Note = JsonString(v, "note", {});
  Voice.Seed = JsonInt32(v, "seed", 0);
  if (!ParseIso8601(JsonString(v, "createdAt", {}), Voice.CreatedAt)) Voice.CreatedAt = ALoadTime;
  return Voice;
}

TJson VoiceToJson(const TVoiceInfo& AVoice) {
  TJson Clips = TJson::array();
  for (const TVoiceClip& c : AVoice.Clips)
    Clips.push_back({{"file", c.FileName}, {"text", c.Text}, {"durationMs", c.DurationMs}});
  TJson v = TJson::object();
  v["id"] = AVoice.Id;
  v["display"] = AVoice.Display;
  v["kind"] = AVoice.Kind == vkProfile ? "reference" : "cloned";
  v["profile"] = AVoice.ProfileFile;
  v["clips"] = std::move(Clips);
  v["language"] = AVoice.Language;
  v["gender"] = GenderToStr(AVoice.Gender);
  v["style"] = AVoice.Style;
  v["note"] = AVoice.Note;
  v["seed"] = AVoice.Seed;
  v["createdAt"] = FormatIso8601(AVoice.CreatedAt);
  return v;
}

}  // namespace

TJson VoiceRecordJson(const TVoiceInfo& AVoice) {
  return VoiceToJson(AVoice);
}

TVoiceInfo VoiceFromRecord(const TJson& ARecord) {
  return VoiceFromJson(ARecord, std::chrono::system_clock::now());
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t Era = (y >= 0 ? y : y - 399) / 400;
  const int64_t Yoe = y - Era * 400;
  const int64_t Doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
  return Era * 146097 + Doe - 719468;
}

int DaysInMonth(int AYear, int AMonth) {
  static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool Leap = (AYear % 4 == 0 && AYear % 100 != 0) || AYear % 400 == 0;
  return AMonth == 2 && Leap ? 29 : Days[AMonth - 1];
}

// Reads exactly ACount digits at APos.
bool ReadDigits(std::string_view AText, std::size_t& APos, int ACount, int& AValue) {
  if (APos + ACount > AText.size()) return false;
  AValue = 0;
  for (int i = 0; i < ACount; ++i) {
    const char c = AText[APos + i];
    if (c < '0' || c > '9') return false;
    AValue = AValue * 10 + (c - '0');
  }
  APos += ACount;
  return true;
}

bool Expect(std::string_view AText, std::size_t& APos, char AChar) {
  if (APos >= AText.size() || AText[APos] != AChar) return false;
  ++APos;
  return true;
}

}  // namespace

int32_t StringHash(std::string_view AText) {
  uint32_t h = 0;
  for (const char16_t c : Utf8ToUtf16(AText))
    h = std::rotl(h, 5) ^ static_cast<uint32_t>(c);
  return static_cast<int32_t>(h);
}

bool IsOwnClipFileName(std::string_view AName) {
  const auto IsHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  const auto IsDigit = [](char c) { return c >= '0' && c <= '9'; };
  if (AName.size() < 2 + 12 + 2 + 4 || AName.substr(0, 2) != "v-") return false;
  if (!std::all_of(AName.begin() + 2, AName.begin() + 14, IsHex)) return false;
  const std::string_view Extension = AName.substr(AName.size() - 4);
  if (Extension != ".wav" && Extension != ".ogg" && Extension != ".mp3") return false;
  // The rest is "-<n>" or "-<suffix>-<n>", each a run of digits.
  std::string_view Rest = AName.substr(14, AName.size() - 18);
  int Runs = 0;
  while (!Rest.empty()) {
    if (Rest.front() != '-') return false;
    Rest.remove_prefix(1);
    const std::size_t Digits = std::find_if_not(Rest.begin(), Rest.end(), IsDigit) - Rest.begin();
    if (Digits == 0) return false;
    Rest.remove_prefix(Digits);
    ++Runs;
  }
  return Runs == 1 || Runs == 2;
}

bool IsSafeClipFileName(std::string_view AName) {
  if (AName.empty() || AName == ".") return false;
  if (AName.find_first_of("/\\") != std::string_view::npos) return false;
  if (AName.find("..") != std::string_view::npos) return false;
  return std::none_of(AName.begin(), AName.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::string FormatIso8601(TDateTime ATime) {
  using namespace std::chrono;
  const auto Ms = floor<milliseconds>(ATime);
  const std::time_t Seconds = system_clock::to_time_t(floor<seconds>(Ms));
  const int Millis = static_cast<int>((Ms - floor<seconds>(Ms)).count());
  std::tm Local{};
  localtime_r(&Seconds, &Local);
  char Buf[64];
  const long Offset = Local.tm_gmtoff / 60;
  const long Abs = Offset < 0 ? -Offset : Offset;
  int n = std::snprintf(Buf, sizeof Buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", Local.tm_year + 1900,
                        Local.tm_mon + 1, Local.tm_mday, Local.tm_hour, Local.tm_min, Local.tm_sec,
                        Millis);
  if (Offset == 0) {
    std::snprintf(Buf + n, sizeof Buf - n, "Z");
  } else {
    std::snprintf(Buf + n, sizeof Buf - n, "%c%02ld:%02ld", Offset < 0 ? '-' : '+', Abs / 60,
                  Abs % 60);
  }
  return Buf;
}

bool ParseIso8601(std::string_view AText, TDateTime& ATime) {
  using namespace std::chrono;
  const std::string Text = Trim(AText);
  const std::string_view t = Text;
  std::size_t p = 0;
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  if (!ReadDigits(t, p, 4, Year) || !Expect(t, p, '-') || !ReadDigits(t, p, 2, Month) ||
      !Expect(t, p, '-') || !ReadDigits(t, p, 2, Day))
    return false;
  if (Month < 1 || Month > 12 || Day < 1 || Day > DaysInMonth(Year, Month)) return false;
  int64_t Nanos = 0;
  if (p < t.size() && (t[p] == 'T' || t[p] == 't' || t[p] == ' ')) {
    ++p;
    if (!ReadDigits(t, p, 2, Hour) || !Expect(t, p, ':') || !ReadDigits(t, p, 2, Minute))
      return false;
    if (Expect(t, p, ':')) {
      if (!ReadDigits(t, p, 2, Second)) return false;
      if (p < t.size() && (t[p] == '.' || t[p] == ',')) {
        ++p;
        int64_t Scale = 100000000;
        const std::size_t Start = p;
        for (; p < t.size() && t[p] >= '0' && t[p] <= '9'; ++p) {
          Nanos += (t[p] - '0') * Scale;
          Scale /= 10;
        }
        if (p == Start) return false;
      }
    }
    if (Hour > 23 || Minute > 59 || Second > 60) return false;
    Second = std::min(Second, 59);
  }
  bool HasOffset = false;
  int OffsetMinutes = 0;
  if (p < t.size() && (t[p] == 'Z' || t[p] == 'z')) {
    ++p;
    HasOffset = true;
  } else if (p < t.size() && (t[p] == '+' || t[p] == '-')) {
    const int Sign = t[p] == '-' ? -1 : 1;
    ++p;
    int OffHours = 0, OffMinutes = 0;
    if (!ReadDigits(t, p, 2, OffHours)) return false;
    Expect(t, p, ':');
    if (p < t.size() && !ReadDigits(t, p, 2, OffMinutes)) return false;
    if (OffHours > 23 || OffMinutes > 59) return false;
    HasOffset = true;
    OffsetMinutes = Sign * (OffHours * 60 + OffMinutes);
  }
  if (p != t.size()) return false;
  int64_t EpochSeconds = 0;
  if (HasOffset) {
    EpochSeconds = DaysFromCivil(Year, Month, Day) * 86400 + Hour * 3600 + Minute * 60 + Second -
                   OffsetMinutes * 60;
  } else {
    std::tm Local{};
    Local.tm_year = Year - 1900;
    Local.tm_mon = Month - 1;
    Local.tm_mday = Day;
    Local.tm_hour = Hour;
    Local.tm_min = Minute;
    Local.tm_sec = Second;
    Local.tm_isdst = -1;
    EpochSeconds = std::mktime(&Local);
  }
  // The clock counts nanoseconds in 64 bits: about 292 years either side of 1970.
  if (EpochSeconds < -9'000'000'000LL || EpochSeconds > 9'000'000'000LL) return false;
  ATime =
      TDateTime(duration_cast<system_clock::duration>(seconds(EpochSeconds) + nanoseconds(Nanos)));
  return true;
}

TVoiceLibrary::TVoiceLibrary(TAppConfig& AConfig) : FConfig(AConfig) {}

int TVoiceLibrary::IndexIn(const std::vector<TVoiceInfo>& AItems, std::string_view AId) {
  for (std::size_t i = 0; i < AItems.size(); ++i)
    if (SameTextAscii(AItems[i].Id, AId)) return static_cast<int>(i);
  return -1;
}

int TVoiceLibrary::IndexOf(std::string_view AId) const {
  return IndexIn(FItems, AId);
}

bool TVoiceLibrary::IdTaken(std::string_view AId) const {
  return IndexOf(AId) >= 0 || FPendingIds.contains(LowerAscii(AId));
}

std::string TVoiceLibrary::CloneFingerprint(const TVoiceCloneSpec& ASpec) {
  std::string Text;
  for (const TVoiceClipInput& Clip : ASpec.Clips)
    Text += Sha256Hex(Clip.Audio) + "|" + Trim(Clip.Text) + "\n";
  return Text;
}

std::string TVoiceLibrary::NewId(const std::string& AFingerprint) const {
  const std::string Base = "v-" + Sha256Hex(AFingerprint).substr(0, 12);
  if (!IdTaken(Base)) return Base;
  for (int n = 1;; ++n) {
    const std::string Id = Format("%s-%d", Base, n);
    if (!IdTaken(Id)) return Id;
  }
}

std::string TVoiceLibrary::PredictId(const TVoiceCloneSpec& ASpec) const {
  const std::string Fingerprint = CloneFingerprint(ASpec);
  TLockGuard Guard(FLock);
  return NewId(Fingerprint);
}

namespace {

// The records of a voices.json text; nullopt when the text is not a library document.
std::optional<std::vector<TVoiceInfo>> VoicesOfText(std::string_view AText, bool& ASkipped) {
  const auto Root = ParseJsonObject(StripUtf8Bom(AText));
  if (!Root) return std::nullopt;
  const TJson* Voices = JsonChildArray(&*Root, "voices");
  if (Voices == nullptr) return std::nullopt;
  const TDateTime Now = std::chrono::system_clock::now();
  std::vector<TVoiceInfo> Items;
  for (const TJson& Node : *Voices) {
    if (!Node.is_object()) continue;
    try {
      TVoiceInfo Voice = VoiceFromJson(Node, Now);
      if (!Voice.Id.empty()) Items.push_back(std::move(Voice));
    } catch (const std::exception& E) {
      TAppLog::Warn(LogSource, "skipping an unreadable voice record: %s", E.what());
      ASkipped = true;
    }
  }
  return Items;
}

// The whole records before the point where a torn file ends: the text is cut after one of
// its last closing braces and the list closed there. Empty when no cut gives a document.
std::vector<TVoiceInfo> RecoverVoices(std::string_view AText) {
  constexpr int MaxCuts = 64;
  std::size_t End = AText.size();
  for (int Tries = 0; Tries < MaxCuts; ++Tries) {
    const std::size_t Brace = AText.rfind('}', End == 0 ? 0 : End - 1);
    if (Brace == std::string_view::npos || End == 0) break;
    bool Skipped = false;
    const std::string Cut = std::string(AText.substr(0, Brace + 1)) + "]}";
    if (auto Items = VoicesOfText(Cut, Skipped); Items && !Items->empty()) return *Items;
    End = Brace;
  }
  return {};
}

}  // namespace

std::string TVoiceLibrary::SetAsideFile() const {
  return FConfig.VoicesFile() + ".unreadable";
}

void TVoiceLibrary::Load() {
  const std::string File = FConfig.VoicesFile();
  std::vector<TVoiceInfo> Items;
  bool Skipped = false;
  std::string Problem;
  std::error_code Ec;
  const bool Present = fs::exists(fs::symlink_status(File, Ec));
  if (Present) {
    std::string Text;
    try {
      const TBytes Bytes = ReadFileBytes(File);
      Text.assign(Bytes.begin(), Bytes.end());
      if (auto Read = VoicesOfText(Text, Skipped); Read) {
        Items = std::move(*Read);
      } else {
        Problem = "the voice library is not valid JSON";
        Items = RecoverVoices(Text);
      }
    } catch (const std::exception& E) {
      Problem = std::string("cannot read the voice library: ") + E.what();
    }
  }
  const bool Whole = Problem.empty() && !Skipped;
  if (!Problem.empty()) {
    SetAside(Problem, Items);
  } else if (fs::exists(fs::symlink_status(SetAsideFile(), Ec))) {
    Problem =
        Format("an earlier voice library that could not be read is kept as %s", SetAsideFile());
  }
  const std::size_t Count = Items.size();
  {
    TLockGuard Guard(FLock);
    FItems = std::move(Items);
    NoteStateChange(spVoices);
    FLoadedWhole = Whole;
    if (FLoadProblem.empty()) FLoadProblem = Problem;
  }
  if (Present) TAppLog::Info(LogSource, "voice library loaded, %d voice(s)", Count);
}

void TVoiceLibrary::SetAside(const std::string& AProblem, const std::vector<TVoiceInfo>& AItems) {
  const std::string File = FConfig.VoicesFile();
  const std::string Kept = SetAsideFile();
  std::error_code Ec;
  // A file kept earlier is never replaced: the new one waits in place, and nothing is written.
  if (!fs::exists(fs::symlink_status(Kept, Ec))) fs::rename(File, Kept, Ec);
  if (Ec || fs::exists(fs::symlink_status(File, Ec))) {
    const std::string Why = Ec ? Ec.message() : "an earlier copy is kept there";
    TAppLog::Error(LogSource, "%s; it cannot be kept as %s (%s), so no change is saved", AProblem,
                   Kept, Why);
    TLockGuard Guard(FLock);
    FLoadProblem = Format("%s; the library cannot be saved until %s is moved away", AProblem, File);
    FBlocked = true;
    return;
  }
  TAppLog::Error(LogSource, "%s; kept it as %s and started with %d recovered voice(s)", AProblem,
                 Kept, AItems.size());
  try {
    WriteFileAtomic(File, JsonTextOf(AItems));
  } catch (const std::exception& E) {
    TAppLog::Error(LogSource, "cannot write the voice library: %s", E.what());
  }
  TLockGuard Guard(FLock);
  FLoadProblem = Format("%s; kept as %s, %d voice(s) recovered", AProblem, Kept, AItems.size());
}

std::string TVoiceLibrary::LoadProblem() const {
  TLockGuard Guard(FLock);
  return FLoadProblem;
}

std::string TVoiceLibrary::JsonTextOf(const std::vector<TVoiceInfo>& AItems) const {
  TJson Voices = TJson::array();
  for (const TVoiceInfo& Voice : AItems)
    Voices.push_back(VoiceToJson(Voice));
  TJson Root = TJson::object();
  Root["voices"] = std::move(Voices);
  return Utf8Bom + JsonDumpIndented(Root);
}

void TVoiceLibrary::RemoveStrayClips() {
  std::set<std::string> Named;
  {
    TLockGuard Guard(FLock);
    // An unreadable or partly read file names too little to judge what is stray.
    if (!FLoadedWhole) return;
    for (const TVoiceInfo& Voice : FItems)
      for (const TVoiceClip& Clip : Voice.Clips)
        Named.insert(Clip.FileName);
  }
  // A kept library may name any of them, even those past a torn end.
  std::error_code Kept;
  if (fs::exists(fs::symlink_status(SetAsideFile(), Kept))) return;
  int Removed = 0;
  std::error_code Ec;
  for (fs::directory_iterator It(FConfig.VoicesDir(), Ec), End; !Ec && It != End;
       It.increment(Ec)) {
    const std::string Name = It->path().filename().string();
    if (!IsOwnClipFileName(Name) || Named.contains(Name)) continue;
    std::error_code Kind;
    if (!It->is_regular_file(Kind)) continue;
    std::error_code Gone;
    if (fs::remove(It->path(), Gone)) ++Removed;
  }
  if (Removed > 0)
    TAppLog::Info(LogSource, "removed %d reference clip(s) that no voice uses from %s", Removed,
                  FConfig.VoicesDir());
}

void TVoiceLibrary::Save() {
  // The snapshot is taken inside the save lock, so saves write snapshots in the order they
  // were taken and the last one to finish holds the newest list.
  TLockGuard SaveGuard(FSaveLock);
  if (Blocked()) return;
  try {
    WriteFileAtomic(FConfig.VoicesFile(), JsonTextOf(All()));
  } catch (const std::exception& E) {
    TAppLog::Error(LogSource, "cannot write the voice library: %s", E.what());
  }
}

void TVoiceLibrary::Commit(const TListChange& AChange) {
  TLockGuard SaveGuard(FSaveLock);
  CommitLocked(AChange);
}

void TVoiceLibrary::CommitLocked(const TListChange& AChange) {
  // Every change of the list passes here under the save lock, so the copy is the newest
  // list and nothing changes it between the write and the swap.
  std::vector<TVoiceInfo> Changed = All();
  if (!AChange(Changed)) return;
  if (Blocked())
    ETtsError::Raise_(ecCloneFailed, Translate("数据文件夹写不进去,改动没有保存:") + LoadProblem());
  try {
    WriteFileAtomic(FConfig.VoicesFile(), JsonTextOf(Changed));
  } catch (const std::exception& E) {
    TAppLog::Error(LogSource, "cannot write the voice library: %s", E.what());
    ETtsError::Raise_(ecCloneFailed, Translate("数据文件夹写不进去,改动没有保存:") + E.what());
  }
  TLockGuard Guard(FLock);
  FItems = std::move(Changed);
  NoteStateChange(spVoices);
}

bool TVoiceLibrary::Blocked() const {
  TLockGuard Guard(FLock);
  return FBlocked;
}

std::vector<TVoiceInfo> TVoiceLibrary::All() const {
  TLockGuard Guard(FLock);
  return FItems;
}

std::size_t TVoiceLibrary::Count() const {
  TLockGuard Guard(FLock);
  return FItems.size();
}

bool TVoiceLibrary::Find(std::string_view AId, TVoiceInfo& AVoice) const {
  AVoice = TVoiceInfo{};
  if (Trim(AId).empty()) return false;
  TLockGuard Guard(FLock);
  const int i = IndexOf(AId);
  if (i < 0) return false;
  AVoice = FItems[i];
  return true;
}

bool TVoiceLibrary::FindByDisplay(std::string_view ADisplay, TVoiceInfo& AVoice) const {
  AVoice = TVoiceInfo{};
  if (Trim(ADisplay).empty()) return false;
  TLockGuard Guard(FLock);
  for (const TVoiceInfo& Voice : FItems) {
    if (SameTextAscii(Voice.Display, ADisplay)) {
      AVoice = Voice;
      return true;
    }
  }
  return false;
}

std::vector<TVoiceInfo> TVoiceLibrary::ForLanguage(std::string_view ALanguage) const {
  TLockGuard Guard(FLock);
  if (ALanguage.empty()) return FItems;
  std::vector<TVoiceInfo> Result;
  for (const TVoiceInfo& Voice : FItems)
    if (Voice.Language == ALanguage) Result.push_back(Voice);
  return Result;
}

void TVoiceLibrary::Update(const TVoiceInfo& AVoice) {
  if (AVoice.Id.empty()) return;
  RefuseWhileFollowing();
  Commit([&](std::vector<TVoiceInfo>& AItems) {
    const int i = IndexIn(AItems, AVoice.Id);
    if (i < 0) return false;
    AItems[i] = AVoice;
    return true;
  });
}

std::vector<std::string> TVoiceLibrary::Unreferenced(const std::vector<TVoiceClip>& AClips) const {
  TLockGuard Guard(FLock);
  std::vector<std::string> Names;
  for (const TVoiceClip& Clip : AClips) {
    const bool Shared = std::any_of(FItems.begin(), FItems.end(), [&](const TVoiceInfo& v) {
      return std::any_of(v.Clips.begin(), v.Clips.end(),
                         [&](const TVoiceClip& c) { return c.FileName == Clip.FileName; });
    });
    if (!Shared && std::find(Names.begin(), Names.end(), Clip.FileName) == Names.end())
      Names.push_back(Clip.FileName);
  }
  return Names;
}

void TVoiceLibrary::DeleteClipFiles(const std::vector<std::string>& ANames,
                                    const char* AWarning) const {
  for (const std::string& Name : ANames) {
    const std::string Path = ClipPath({Name, {}, 0});
    if (Path.empty()) continue;
    try {
      std::error_code Ec;
      // Only files: a folder that happens to carry a clip's name is not the clip.
      if (fs::exists(fs::symlink_status(Path, Ec)) && !fs::is_directory(fs::symlink_status(Path)))
        fs::remove(Path, Ec);
    } catch (const std::exception& E) {
      TAppLog::Warn(LogSource, AWarning, E.what());
    }
  }
}

bool TVoiceLibrary::Remove(std::string_view AId) {
  RefuseWhileFollowing();
  TVoiceInfo Voice;
  std::string BindingsError;
  {
    // The voice and its bindings go under the save lock that binding takes too, so no binding
    // to the voice can be made between the two writes.
    TLockGuard SaveGuard(FSaveLock);
    CommitLocked([&](std::vector<TVoiceInfo>& AItems) {
      const int i = IndexIn(AItems, AId);
      if (i < 0) return false;
      Voice = AItems[i];
      AItems.erase(AItems.begin() + i);
      return true;
    });
    if (Voice.Id.empty()) return false;
    try {
      FConfig.CommitVoiceMaps([&](TVoiceMaps& AMaps) { AMaps.Forget(Voice.Id); });
    } catch (const std::exception& E) {
      // The voice is gone; its bindings are dropped at the next start.
      BindingsError = E.what();
    }
  }
  // Files go only once voices.json no longer names them; a file another record still names
  // (a duplicate record, a shared legacy file) stays.
  DeleteClipFiles(Unreferenced(Voice.Clips),
                  "cannot delete reference audio (%s); the metadata was removed anyway");
  TAppLog::Info(LogSource, "deleted voice %s", Voice.Display);
  if (!BindingsError.empty())
    ETtsError::Raise_(ecCloneFailed, Translate("数据文件夹写不进去,改动没有保存:") + BindingsError);
  return true;
}

bool TVoiceLibrary::CommitBinding(const std::vector<std::string>& AVoiceIds,
                                  const std::function<void(TVoiceMaps&)>& AChange) {
  RefuseWhileFollowing();
  TLockGuard SaveGuard(FSaveLock);
  {
    TLockGuard Guard(FLock);
    for (const std::string& Id : AVoiceIds)
      if (!Id.empty() && IndexOf(Id) < 0) return false;
  }
  FConfig.CommitVoiceMaps(AChange);
  return true;
}

void TVoiceLibrary::RefuseWhileFollowing() const {
  const std::string Primary = FConfig.Settings().ClusterPrimary;
  if (!Primary.empty())
    ETtsError::Raise_(
        ecFollowerReadOnly,
        Format(Translate("这台节点跟随 %s:音色、绑定、默认音色和词典请到那边改"), Primary));
}

void TVoiceLibrary::Mirror(const std::vector<TVoiceInfo>& AItems,
                           const std::map<std::string, TBytes>& AClips, const TVoiceMaps& AMaps) {
  std::vector<TVoiceClip> Before;
  {
    TLockGuard SaveGuard(FSaveLock);
    std::vector<std::string> Written;
    try {
      for (const TVoiceInfo& Voice : AItems)
        for (const TVoiceClip& Clip : Voice.Clips)
          if (WriteMirroredClip(Clip, AClips)) Written.push_back(Clip.FileName);
      CommitLocked([&](std::vector<TVoiceInfo>& AList) {
        for (const TVoiceInfo& Voice : AList)
          Before.insert(Before.end(), Voice.Clips.begin(), Voice.Clips.end());
        AList = AItems;
        return true;
      });
    } catch (...) {
      DeleteClipFiles(Written, "cannot delete a clip of a mirror that failed (%s)");
      throw;
    }
    FConfig.CommitVoiceMaps([&](TVoiceMaps& AMine) { AMine = AMaps; });
  }
  DeleteClipFiles(Unreferenced(Before), "cannot delete reference audio (%s)");
}

bool TVoiceLibrary::WriteMirroredClip(const TVoiceClip& AClip,
                                      const std::map<std::string, TBytes>& AClips) const {
  const std::string Path = ClipPath(AClip);
  std::error_code Ec;
  // The library never rewrites a clip under its name, so one that is here is the same.
  if (!Path.empty() && fs::is_regular_file(Path, Ec)) return false;
  const auto Found = AClips.find(AClip.FileName);
  if (Path.empty() || Found == AClips.end())
    ETtsError::Raise_(ecCloneFailed, Format("the primary's voices name a clip it did not send: %s",
                                            AClip.FileName));
  try {
    fs::create_directories(FConfig.VoicesDir());
    WriteFileAtomic(Path, Found->second);
  } catch (const std::exception& E) {
    ETtsError::Raise_(ecCloneFailed, Translate("参考音频存不下来:") + E.what());
  }
  return true;
}

void TVoiceLibrary::DropDanglingBindings() {
  TLockGuard SaveGuard(FSaveLock);
  std::set<std::string> Dangling;
  const TKeyValueList Maps[] = {FConfig.DefaultsSnapshot(), FConfig.AirlinesSnapshot()};
  {
    TLockGuard Guard(FLock);
    // Voices of a library that was not read whole may still come back.
    if (!FLoadedWhole || !FLoadProblem.empty()) return;
    for (const TKeyValueList& Map : Maps)
      for (const auto& [Key, Id] : Map)
        if (!Id.empty() && IndexOf(Id) < 0) Dangling.insert(Id);
  }
  if (Dangling.empty()) return;
  try {
    FConfig.CommitVoiceMaps([&](TVoiceMaps& AMaps) {
      for (const std::string& Id : Dangling)
        AMaps.Forget(Id);
    });
  } catch (const std::exception& E) {
    TAppLog::Warn(LogSource, "cannot drop bindings to missing voices: %s", E.what());
    return;
  }
  for (const std::string& Id : Dangling)
    TAppLog::Warn(LogSource, "dropped the bindings to voice %s, which no longer exists", Id);
}

std::string TVoiceLibrary::ClipPath(const TVoiceClip& AClip) const {
  if (!IsSafeClipFileName(AClip.FileName)) return {};
  return FConfig.VoicesDir() + AClip.FileName;
}

}  // namespace quavox
