#include "state/Cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <span>
#include <system_error>
#include <unordered_set>

#include "audio/Wav.h"
#include "core/JsonText.h"
#include "core/Log.h"
#include "core/Text.h"
#include "platform/Files.h"
#include "state/Json.h"
#include "state/Revision.h"

namespace quavox {

namespace {

constexpr const char* LogSource = "cache";
constexpr const char* IndexName = "index.json";
constexpr const char* BackupName = "index.json.bak";
constexpr std::size_t TextChars = 200;
// Leaves room for ".wav" and the temporary suffix within the 255-byte name limit.
constexpr std::size_t MaxKeyBytes = 200;
constexpr std::chrono::milliseconds ClearRetryDelay{50};

bool IsValidUtf8(std::string_view AText) {
  for (std::size_t i = 0; i < AText.size();) {
    const std::size_t n = Utf8SequenceLength(AText, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// A key names its file in the cache folder and travels in the index, so it must be one
// plain file name in valid UTF-8.
bool IsStorableKey(std::string_view AKey) {
  return !AKey.empty() && AKey.size() <= MaxKeyBytes && AKey.find('/') == std::string_view::npos &&
         AKey.find('\0') == std::string_view::npos && IsValidUtf8(AKey);
}

bool IsWavName(std::string_view AName) {
  return AName.size() > 4 && SameTextAscii(AName.substr(AName.size() - 4), ".wav");
}

std::string_view StemOf(std::string_view AWavName) {
  return AWavName.substr(0, AWavName.size() - 4);
}

// An entry's file is always its key + ".wav": one file per entry, so evicting one entry can
// never delete the audio of another, and an index cannot point the cache at other files.
bool FileBelongsToKey(std::string_view AFileName, std::string_view AKey) {
  return AFileName.size() == AKey.size() + 4 && IsWavName(AFileName) && StemOf(AFileName) == AKey;
}

// What a crash can leave behind: a clip being written ("<key>.wav.<pid>-<n>.tmp") and the
// index temporaries.
bool IsStaleTemporary(std::string_view AName) {
  return EndsWith(AName, ".tmp") && (AName.find(".wav.") != std::string_view::npos ||
                                     AName == "index.json.tmp" || AName == "index.json.bak.tmp");
}

std::string FirstChars(std::string_view AText, std::size_t ACount) {
  // A UTF-8 text never has more UTF-16 code units than bytes.
  if (AText.size() <= ACount && IsValidUtf8(AText)) return std::string(AText);
  std::u16string Units = Utf8ToUtf16(AText);
  if (Units.size() > ACount) {
    std::size_t n = ACount;
    if (n > 0 && Units[n - 1] >= 0xD800 && Units[n - 1] <= 0xDBFF) --n;  // keep pairs whole
    Units.resize(n);
  }
  return Utf16ToUtf8(Units);
}

int32_t ClampToInt32(int64_t AValue) {
  return static_cast<int32_t>(std::clamp<int64_t>(AValue, 0, INT32_MAX));
}

uint32_t ReadLe32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t ReadLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Enough of a WAV to be served: a WAV that lost its content in a power failure is
// recognised here instead of being handed out as audio.
bool LooksLikeWav(const TBytes& ABytes) {
  return ABytes.size() >= 44 && std::memcmp(ABytes.data(), "RIFF", 4) == 0 &&
         std::memcmp(ABytes.data() + 8, "WAVE", 4) == 0;
}

// The whole regular file at APath (never through a symbolic link).
bool ReadCacheFile(const std::string& APath, TBytes& AOut) {
  AOut.clear();
  const int Fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (Fd < 0) return false;
  struct stat St {};
  bool Ok = ::fstat(Fd, &St) == 0 && S_ISREG(St.st_mode);
  if (Ok) {
    AOut.resize(static_cast<std::size_t>(St.st_size));
    std::size_t Done = 0;
    while (Done < AOut.size()) {
      const ssize_t n = ::read(Fd, AOut.data() + Done, AOut.size() - Done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Ok = false;
      if (n <= 0) break;
      Done += static_cast<std::size_t>(n);
    }
    AOut.resize(Done);
  }
  ::close(Fd);
  if (!Ok) AOut.clear();
  return Ok;
}

struct TDirItem {
  std::string Name;
  bool Regular = false;
};

bool ListFolder(const std::string& ADir, std::vector<TDirItem>& AOut) {
  AOut.clear();
  DIR* Dir = ::opendir(ADir.c_str());
  if (Dir == nullptr) return false;
  while (const dirent* e = ::readdir(Dir)) {
    TDirItem Item{e->d_name, e->d_type == DT_REG};
    if (Item.Name == "." || Item.Name == "..") continue;
    if (e->d_type == DT_UNKNOWN) {
      struct stat St {};
      Item.Regular =
          ::fstatat(::dirfd(Dir), e->d_name, &St, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(St.st_mode);
    }
    AOut.push_back(std::move(Item));
  }
  ::closedir(Dir);
  return true;
}

// ---- index text

void AppendInteger(std::string& AOut, int64_t AValue) {
  char Buf[24];
  const auto r = std::to_chars(Buf, Buf + sizeof Buf, AValue);
  AOut.append(Buf, r.ptr);
}

// The speed rounded to 3 decimals, written as a JSON number with a fraction ("1.0", "1.3").
void AppendSpeed(std::string& AOut, float ASpeed) {
  double v = std::round(static_cast<double>(ASpeed) * 1000.0) / 1000.0;
  if (!std::isfinite(v)) v = 1.0;
  char Buf[64];
  const auto r = std::to_chars(Buf, Buf + sizeof Buf, v);
  const std::string_view Text(Buf, r.ptr - Buf);
  AOut += Text;
  if (Text.find_first_of(".e") == std::string_view::npos) AOut += ".0";
}

// ---- index reading

enum TIndexField : int8_t {
  ifNone = -1,
  ifFile,
  ifVoice,
  ifText,
  ifLanguage,
  ifSpeed,
  ifSampleRate,
  ifDurationMs,
  ifBytes
};

constexpr std::string_view IndexMembers[] = {"file",  "voice",      "text",       "language",
                                             "speed", "sampleRate", "durationMs", "bytes"};

// One index member as read, before the checks against the folder.
struct TIndexItem {
  std::string Key;
  std::string File, Voice, Text, Language;
  double Speed = 1.0;
  int64_t SampleRate = 0, DurationMs = 0, Bytes = 0;
};

// Reads the index as a stream of parser events: a table of any size parses in one pass in
// the file's order (the recency order), nesting of any depth costs no stack, and any bytes
// end either in a complete list of members or in a clean failure. Member values follow the
// rules of the shared lenient readers (state/Json.h): a missing member, a null, an array or
// an object gives the default; numbers and texts convert into each other where they can.
class TIndexReader : public nlohmann::json_sax<TJson> {
 public:
  std::vector<TIndexItem> Items;

  bool null() override {
    return Value([](std::string&) {}, SpeedDefault, IntegerDefault);
  }
  bool boolean(bool AValue) override {
    return Value([&](std::string& s) { s = AValue ? "true" : "false"; }, SpeedDefault,
                 IntegerDefault);
  }
  bool number_integer(number_integer_t AValue) override {
    return Value([&](std::string& s) { s = std::to_string(AValue); },
                 [&](double& d) { d = static_cast<double>(AValue); },
                 [&](int64_t& i) { i = AValue; });
  }
  bool number_unsigned(number_unsigned_t AValue) override {
    return Value([&](std::string& s) { s = std::to_string(AValue); },
                 [&](double& d) { d = static_cast<double>(AValue); },
                 [&](int64_t& i) {
                   i = AValue > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX
                                                                 : static_cast<int64_t>(AValue);
                 });
  }
  bool number_float(number_float_t AValue, const string_t&) override {
    return Value([&](std::string& s) { s = TJson(AValue).dump(); }, [&](double& d) { d = AValue; },
                 [&](int64_t& i) {
                   i = std::isfinite(AValue) && std::fabs(AValue) <= 9.2e18
                           ? static_cast<int64_t>(AValue)
                           : int64_t{0};
                 });
  }
  bool string(string_t& AValue) override {
    return Value([&](std::string& s) { s = std::move(AValue); },
                 [&](double& d) {
                   if (!TryParseDouble(AValue, d)) SpeedDefault(d);
                 },
                 [&](int64_t& i) {
                   if (!TryParseInt64(AValue, i)) IntegerDefault(i);
                 });
  }
  bool binary(binary_t&) override { return null(); }
  bool start_object(std::size_t) override { return Open(true); }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(false); }
  bool end_array() override { return Close(); }
  bool key(string_t& AKey) override {
    if (FDepth == 1) FKey = AKey;
    if (FDepth == 2 && FInEntry) {
      FField = ifNone;
      for (int i = 0; i < static_cast<int>(std::size(IndexMembers)); ++i)
        if (IndexMembers[i] == AKey) FField = static_cast<TIndexField>(i);
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  static void SpeedDefault(double& AValue) { AValue = 1.0; }
  static void IntegerDefault(int64_t& AValue) { AValue = 0; }
  // Applies the event's value to the member being read, converted to the member's kind.
  template <typename TText, typename TReal, typename TInt>
  bool Value(TText AText, TReal AReal, TInt AInt) {
    if (FDepth == 0) return false;  // the index must be an object
    if (FDepth != 2 || !FInEntry) return true;
    switch (FField) {
      case ifFile:
        FItem.File.clear();
        AText(FItem.File);
        break;
      case ifVoice:
        FItem.Voice.clear();
        AText(FItem.Voice);
        break;
      case ifText:
        FItem.Text.clear();
        AText(FItem.Text);
        break;
      case ifLanguage:
        FItem.Language.clear();
        AText(FItem.Language);
        break;
      case ifSpeed:
        AReal(FItem.Speed);
        break;
      case ifSampleRate:
        AInt(FItem.SampleRate);
        break;
      case ifDurationMs:
        AInt(FItem.DurationMs);
        break;
      case ifBytes:
        AInt(FItem.Bytes);
        break;
      case ifNone:
        break;
    }
    return true;
  }
  bool Open(bool AObject) {
    if (FDepth == 0 && !AObject) return false;
    if (FDepth == 1 && AObject) {
      FInEntry = true;
      FItem = TIndexItem{};
      FItem.Key = FKey;
    } else if (FDepth == 2 && FInEntry) {
      null();  // an array or object where a scalar belongs reads as missing
    }
    ++FDepth;
    return true;
  }
  bool Close() {
    --FDepth;
    if (FDepth == 1 && FInEntry) {
      Items.push_back(std::move(FItem));
      FInEntry = false;
    }
    return true;
  }

  int FDepth = 0;
  bool FInEntry = false;
  TIndexField FField = ifNone;
  std::string FKey;
  TIndexItem FItem;
};

}  // namespace

// ---- free functions

double TCacheStats::HitRate() const {
  const int64_t Total = Hits + Misses;
  return Total > 0 ? static_cast<double>(Hits) / static_cast<double>(Total) : 0.0;
}

std::string CacheKey(const TTtsRequest& AReq, const TVoiceInfo& AVoice,
                     const std::string& AEngineTag, int32_t ASampleRate, bool ANativeSpeed) {
  // Fixed three decimals written without the C library, so the process locale can never
  // change a key.
  char Speed[64];
  const auto r = std::to_chars(Speed, Speed + sizeof Speed, static_cast<double>(AReq.Speed),
                               std::chars_format::fixed, 3);
  const std::string Parts[] = {AEngineTag,
                               AVoice.Id,
                               AVoice.ProfileFile,
                               AVoice.Style,
                               std::to_string(AVoice.Seed),
                               std::string(Speed, r.ptr),
                               ANativeSpeed ? "True" : "False",
                               std::to_string(ASampleRate),
                               std::to_string(AReq.Seed),
                               AReq.Style,
                               AReq.EffectiveText()};
  std::string Joined = Parts[0];
  for (std::size_t i = 1; i < std::size(Parts); ++i) {
    Joined += '|';
    Joined += Parts[i];
  }
  return Sha256Hex(Joined);
}

bool ProbeWavFile(const std::string& AFileName, int32_t& ASampleRate, int32_t& ADurationMs,
                  int64_t& AFileSize) {
  const int Fd = ::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (Fd < 0) return false;
  struct stat St {};
  uint8_t Head[1024];
  std::size_t Read = 0;
  bool Ok = ::fstat(Fd, &St) == 0 && S_ISREG(St.st_mode);
  while (Ok && Read < sizeof Head) {
    const ssize_t n = ::read(Fd, Head + Read, sizeof Head - Read);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Ok = false;
    if (n <= 0) break;
    Read += static_cast<std::size_t>(n);
  }
  ::close(Fd);
  if (!Ok || Read < 44 || std::memcmp(Head, "RIFF", 4) != 0 ||
      std::memcmp(Head + 8, "WAVE", 4) != 0)
    return false;

  const int64_t FileSize = St.st_size;
  uint64_t Channels = 1, Bits = 16, Rate = 0, DataSize = 0;
  for (uint64_t Off = 12; Off + 8 <= Read;) {
    const uint32_t Size = ReadLe32(Head + Off + 4);
    if (std::memcmp(Head + Off, "fmt ", 4) == 0 && Off + 24 <= Read) {
      Channels = ReadLe16(Head + Off + 10);
      Rate = ReadLe32(Head + Off + 12);
      Bits = ReadLe16(Head + Off + 22);
    } else if (std::memcmp(Head + Off, "data", 4) == 0) {
      DataSize = Size;
      break;
    }
    if (Size == 0) break;
    Off += 8 + static_cast<uint64_t>(Size) + (Size & 1);
  }
  if (Rate == 0 || Channels == 0 || Bits == 0) return false;
  if (DataSize == 0 || DataSize > static_cast<uint64_t>(FileSize))
    DataSize = static_cast<uint64_t>(std::max<int64_t>(FileSize - 44, 0));
  const uint64_t BytesPerSecond = Rate * Channels * Bits / 8;
  if (BytesPerSecond == 0) return false;
  const double Ms =
      RoundHalfEven(static_cast<double>(DataSize) / static_cast<double>(BytesPerSecond) * 1000.0);
  ASampleRate = static_cast<int32_t>(std::min<uint64_t>(Rate, INT32_MAX));
  ADurationMs = static_cast<int32_t>(std::min<double>(Ms, INT32_MAX));
  AFileSize = FileSize;
  return true;
}

// ---- the cache

// The cache folder's regular files, listed once at start: one pass over the listing finds
// both the entries whose clip is gone and the clips the index does not list.
struct TWavCache::TFolderFiles {
  bool Listed = false;
  std::vector<std::string> Names;
};

TWavCache::TWavCache(const std::string& ADir, int64_t ABudgetBytes, TCacheClock AClock)
    : FDir(IncludeTrailingSlash(ADir)),
      FNow(AClock ? std::move(AClock) : [] { return std::chrono::steady_clock::now(); }) {
  try {
    ForceDirectories(FDir);
  } catch (const std::exception&) {
    // Nothing to load; every Put reports the folder problem.
  }
  TFolderFiles Files;
  std::vector<TDirItem> Items;
  Files.Listed = ListFolder(FDir, Items);
  Files.Names.reserve(Items.size());
  for (TDirItem& Item : Items) {
    if (!Item.Regular) continue;
    if (IsStaleTemporary(Item.Name)) {
      ::unlink((FDir + Item.Name).c_str());
      continue;
    }
    Files.Names.push_back(std::move(Item.Name));
  }

  int32_t Count = 0;
  int64_t Bytes = 0;
  {
    TLockGuard Guard(FLock);
    FBudget = std::max<int64_t>(0, ABudgetBytes);
    if (!LoadIndex(IndexName) && LoadIndex(BackupName)) {
      TAppLog::Warn(LogSource, "main cache index was unusable, recovered from the backup");
      // The main index is rewritten at the next save, so the next start needs no backup.
      FDirty = true;
    }
    AdoptOrphans(Files);
    Count = static_cast<int32_t>(FItems.size());
    Bytes = FBytes;
  }
  TAppLog::Info(LogSource, "cache loaded: %d entries / %.1f MB from %s", Count,
                static_cast<double>(Bytes) / 1048576.0, FDir);
  FWriter = std::thread([this] { WriterLoop(); });
}

TWavCache::~TWavCache() {
  {
    TLockGuard Guard(FLock);
    FStopping = true;
  }
  FWriterWake.notify_all();
  if (FWriter.joinable()) FWriter.join();
  Flush();
}

bool TWavCache::LoadIndex(const std::string& AFileName) {
  const std::string Path = EntryPath(AFileName);
  if (::access(Path.c_str(), F_OK) != 0) return false;
  TBytes Raw;
  try {
    Raw = ReadFileBytes(Path);
  } catch (const std::exception& E) {
    TAppLog::Warn(LogSource, "cannot read cache index (%s)", E.what());
    return false;
  }
  const std::string_view Text =
      StripUtf8Bom(std::string_view(reinterpret_cast<const char*>(Raw.data()), Raw.size()));
  TIndexReader Reader;
  bool Parsed = false;
  try {
    Parsed = TJson::sax_parse(Text.begin(), Text.end(), &Reader);
  } catch (const std::exception&) {
    Parsed = false;
  }
  if (!Parsed) {
    TAppLog::Warn(LogSource, "cache index is not valid JSON: %s", AFileName);
    return false;
  }
  FItems.reserve(FItems.size() + Reader.Items.size());
  for (TIndexItem& Item : Reader.Items) {
    // Entries whose clip is gone are dropped by AdoptOrphans, which lists the folder anyway.
    if (Item.File.empty() || !IsStorableKey(Item.Key) || !FileBelongsToKey(Item.File, Item.Key))
      continue;
    auto Stored = std::make_shared<TStored>();
    TCacheEntry& e = Stored->Entry;
    e.FileName = std::move(Item.File);
    e.VoiceId = std::move(Item.Voice);
    e.Text = std::move(Item.Text);
    e.Language = std::move(Item.Language);
    e.Speed = static_cast<float>(Item.Speed);
    if (!std::isfinite(e.Speed)) e.Speed = 1.0f;
    e.SampleRate = ClampToInt32(Item.SampleRate);
    e.DurationMs = ClampToInt32(Item.DurationMs);
    e.Bytes = ClampToInt32(Item.Bytes);
    Stored->Key = std::move(Item.Key);
    StoreLocked(std::move(Stored));
  }
  return true;
}

void TWavCache::AdoptOrphans(const TFolderFiles& AFiles) {
  std::vector<std::string_view> Orphans;
  for (int Pass = 0; Pass < 2; ++Pass) {
    Orphans.clear();
    std::size_t WithClip = 0;
    for (const std::string& Name : AFiles.Names) {
      if (!IsWavName(Name)) continue;
      const auto It = FItems.find(StemOf(Name));
      if (It != FItems.end())
        WithClip += It->second.Item->Entry.FileName == Name ? 1 : 0;
      else if (IsStorableKey(StemOf(Name)))
        Orphans.push_back(Name);
    }
    if (WithClip == FItems.size() || Pass == 1) break;
    // Index entries whose clip is gone are skipped (which alone does not make the index
    // dirty); the folder is then looked at again for clips that lost their entry this way.
    const std::unordered_set<std::string_view> Present(AFiles.Names.begin(), AFiles.Names.end());
    for (auto It = FItems.begin(); It != FItems.end();) {
      const std::string& File = It->second.Item->Entry.FileName;
      struct stat St {};
      const bool Exists = AFiles.Listed
                              ? Present.count(File) != 0
                              : ::lstat(EntryPath(File).c_str(), &St) == 0 && S_ISREG(St.st_mode);
      const auto Next = std::next(It);
      if (!Exists) EraseLocked(It);
      It = Next;
    }
  }
  std::sort(Orphans.begin(), Orphans.end());
  int32_t Adopted = 0;
  for (const std::string_view Name : Orphans) {
    int32_t Rate = 0, Ms = 0;
    int64_t Size = 0;
    if (!ProbeWavFile(FDir + std::string(Name), Rate, Ms, Size)) continue;
    auto Item = std::make_shared<TStored>();
    Item->Key = StemOf(Name);
    Item->Entry.FileName = Name;
    Item->Entry.SampleRate = Rate;
    Item->Entry.DurationMs = Ms;
    Item->Entry.Bytes = static_cast<int32_t>(std::min<int64_t>(Size, INT32_MAX));
    Item->Entry.Speed = 1.0f;
    StoreLocked(std::move(Item));
    ++Adopted;
  }
  if (Adopted > 0) {
    FDirty = true;
    TAppLog::Info(LogSource, "adopted %d cached clip(s) that the index did not know about",
                  Adopted);
  }
}

void TWavCache::StoreLocked(TStoredPtr AItem) {
  const int32_t Bytes = AItem->Entry.Bytes;
  auto [It, Inserted] = FItems.try_emplace(AItem->Key);
  TNode& Node = It->second;
  if (!Inserted) {
    FBytes -= Node.Item->Entry.Bytes;
    FLru.erase(Node.Pos);
    DropFromMemoryLocked(Node);
  }
  Node.Item = std::move(AItem);
  Node.Stamp = ++FClock;
  Node.Pos = FLru.insert(FLru.end(), &*It);
  FBytes += Bytes;
  NoteStateChange(spCache);
}

void TWavCache::EraseLocked(TItemMap::iterator AIt) {
  DropFromMemoryLocked(AIt->second);
  FBytes -= AIt->second.Item->Entry.Bytes;
  FLru.erase(AIt->second.Pos);
  FItems.erase(AIt);
  NoteStateChange(spCache);
}

void TWavCache::KeepInMemoryLocked(TItemMap::value_type& AEntry,
                                   std::shared_ptr<const TBytes> ABytes) {
  TNode& Node = AEntry.second;
  if (Node.Hot) {
    FHot.splice(FHot.end(), FHot, Node.HotPos);
    return;
  }
  const auto Size = static_cast<int64_t>(ABytes->size());
  if (Size > FHotBudget) return;
  Node.Hot = std::move(ABytes);
  Node.HotPos = FHot.insert(FHot.end(), &AEntry);
  FHotBytes += Size;
  TrimMemoryLocked();
}

void TWavCache::DropFromMemoryLocked(TNode& ANode) {
  if (!ANode.Hot) return;
  CloseFileLocked(ANode);
  FHotBytes -= static_cast<int64_t>(ANode.Hot->size());
  FHot.erase(ANode.HotPos);
  ANode.Hot.reset();
}

std::shared_ptr<const TOpenFile> TWavCache::OpenHeldFile(const std::string& AKey,
                                                         const TStoredPtr& AItem) {
  // Opened outside the lock: the caller saw the entry under its final name, and only a
  // change of the entry (a removal, eviction or newer Put of the key) puts another file
  // there, which the check below catches.
  auto File = OpenFileOfSize(EntryPath(AItem->Entry.FileName), AItem->Entry.Bytes);
  if (!File) return nullptr;
  TLockGuard Guard(FLock);
  const auto It = FItems.find(AKey);
  if (It == FItems.end() || It->second.Item != AItem || !It->second.Hot) return nullptr;
  if (It->second.File) return It->second.File;
  KeepFileLocked(*It, File);
  return File;
}

void TWavCache::KeepFileLocked(TItemMap::value_type& AEntry,
                               std::shared_ptr<const TOpenFile> AFile) {
  TNode& Node = AEntry.second;
  Node.File = std::move(AFile);
  Node.FilePos = FOpen.insert(FOpen.end(), &AEntry);
  while (FOpen.size() > MaxOpenFiles)
    CloseFileLocked(FOpen.front()->second);
}

void TWavCache::CloseFileLocked(TNode& ANode) {
  if (!ANode.File) return;
  FOpen.erase(ANode.FilePos);
  ANode.File.reset();
}

void TWavCache::TrimMemoryLocked() {
  while (FHotBytes > FHotBudget && !FHot.empty())
    DropFromMemoryLocked(FHot.front()->second);
}

void TWavCache::SetMemoryBudget(int64_t ABytes) {
  TLockGuard Guard(FLock);
  FHotBudget = std::max<int64_t>(0, ABytes);
  TrimMemoryLocked();
}

int64_t TWavCache::MemoryBytes() const {
  TLockGuard Guard(FLock);
  return FHotBytes;
}

void TWavCache::EvictLocked() {
  // The list is in stamp order, oldest use first; the entry just stored is last.
  while (FBudget > 0 && FBytes > FBudget && !FLru.empty()) {
    const std::string Path = EntryPath(FLru.front()->second.Item->Entry.FileName);
    EraseLocked(FItems.find(FLru.front()->first));
    ++FEvictions;
    FDirty = true;
    ::unlink(Path.c_str());
  }
}

bool TWavCache::TryGet(const std::string& AKey, TTtsResult& AResult) {
  AResult = TTtsResult{};
  if (!FEnabled.load()) return false;
  TStoredPtr Item;
  std::shared_ptr<const TBytes> Shared;
  std::shared_ptr<const TOpenFile> File;
  bool NeedsFile = false;
  {
    TLockGuard Guard(FLock);
    const auto It = FItems.find(AKey);
    if (It == FItems.end()) {
      FMisses.fetch_add(1);
      return false;
    }
    TNode& Node = It->second;
    Node.Stamp = ++FClock;
    FLru.splice(FLru.end(), FLru, Node.Pos);
    Item = Node.Item;
    Shared = Node.Hot ? Node.Hot : Node.Live.lock();
    if (Shared) KeepInMemoryLocked(*It, Shared);
    if (Node.File) FOpen.splice(FOpen.end(), FOpen, Node.FilePos);
    File = Node.File;
    NeedsFile = !File && Node.Hot && !Node.Unwritten;
  }
  const TCacheEntry& e = Item->Entry;
  if (Shared) {
    if (NeedsFile) File = OpenHeldFile(AKey, Item);
    FillHit(AKey, e, TSharedBytes(std::move(Shared), std::move(File)), AResult);
    return true;
  }
  TBytes Wav;
  if (!ReadCacheFile(EntryPath(e.FileName), Wav) || !LooksLikeWav(Wav)) {
    bool Dropped = false;
    {
      TLockGuard Guard(FLock);
      // Only the entry that was looked up: a removal, an eviction or a newer Put of the same
      // key since then explains a missing file, and a newer entry has a file of its own.
      const auto It = FItems.find(AKey);
      if (It != FItems.end() && It->second.Item == Item) {
        EraseLocked(It);
        FDirty = true;
        Dropped = true;
      }
    }
    if (Dropped)
      TAppLog::Warn(LogSource, "cannot read cache file (%s), dropping the entry", e.FileName);
    FMisses.fetch_add(1);
    return false;
  }
  TSharedBytes Bytes(std::move(Wav));
  {
    TLockGuard Guard(FLock);
    const auto It = FItems.find(AKey);
    if (It != FItems.end() && It->second.Item == Item) {
      // Of several hits that read the file at once, the first one's copy is kept by all.
      if (auto First = It->second.Live.lock())
        Bytes = TSharedBytes(std::move(First));
      else
        It->second.Live = Bytes.Share();
      KeepInMemoryLocked(*It, Bytes.Share());
    }
  }
  FillHit(AKey, e, std::move(Bytes), AResult);
  return true;
}

void TWavCache::FillHit(const std::string& AKey, const TCacheEntry& AEntry, TSharedBytes AWav,
                        TTtsResult& AResult) {
  AResult.Wav = std::move(AWav);
  AResult.SampleRate = AEntry.SampleRate;
  AResult.Channels = 1;
  AResult.DurationMs = AEntry.DurationMs;
  AResult.SynthMs = 0;
  AResult.VoiceId = AEntry.VoiceId;
  AResult.Language = AEntry.Language;
  AResult.Speed = AEntry.Speed;
  AResult.ETag = AKey;
  AResult.FromCache = true;
  FHits.fetch_add(1);
}

bool TWavCache::ReadAudio(const std::string& AKey, TBytes& AWav) const {
  AWav.clear();
  std::string Path;
  std::shared_ptr<const TBytes> Unwritten;
  {
    TLockGuard Guard(FLock);
    const auto It = FItems.find(AKey);
    if (It == FItems.end()) return false;
    Path = EntryPath(It->second.Item->Entry.FileName);
    Unwritten = It->second.Unwritten;
  }
  if (Unwritten) {
    AWav = *Unwritten;
    return true;
  }
  if (ReadCacheFile(Path, AWav) && LooksLikeWav(AWav)) return true;
  AWav.clear();
  return false;
}

bool TWavCache::Contains(const std::string& AKey) const {
  TLockGuard Guard(FLock);
  return FItems.count(AKey) != 0;
}

bool TWavCache::Remove(const std::string& AKey) {
  {
    TLockGuard Guard(FLock);
    const auto It = FItems.find(AKey);
    if (It == FItems.end()) return false;
    const std::string Path = EntryPath(It->second.Item->Entry.FileName);
    EraseLocked(It);
    FDirty = true;
    // Deleted under the lock, so a Put of the same key that follows cannot lose its file.
    ::unlink(Path.c_str());
  }
  SaveIndex(true);
  return true;
}

bool TWavCache::DiskHasRoom() const {
  const int64_t Floor = FMinFreeBytes.load();
  if (Floor <= 0) return true;
  std::error_code Error;
  const auto Space = std::filesystem::space(FDir, Error);
  if (Error) return true;
  if (static_cast<int64_t>(std::min<uintmax_t>(Space.available, INT64_MAX)) >= Floor) return true;
  TAppLog::Warn(LogSource,
                "the cache's disk has %d MB free, under the floor of %d MB: clip not kept",
                static_cast<int64_t>(Space.available >> 20), Floor >> 20);
  return false;
}

void TWavCache::Put(const std::string& AKey, const TTtsResult& AResult, std::string_view AText) {
  if (!FEnabled.load() || AResult.Wav.empty() || !IsStorableKey(AKey)) return;
  if (!DiskHasRoom()) return;
  if (AResult.Wav.size() > static_cast<std::size_t>(INT32_MAX)) return;
  const auto Size = static_cast<int32_t>(AResult.Wav.size());
  {
    TLockGuard Guard(FLock);
    if (FBudget > 0 && Size > FBudget) return;
  }
  auto Item = std::make_shared<TStored>();
  Item->Key = AKey;
  TCacheEntry& e = Item->Entry;
  e.FileName = AKey + ".wav";
  e.VoiceId = AResult.VoiceId;
  e.Text = FirstChars(AText, TextChars);
  e.Language = AResult.Language;
  e.Speed = AResult.Speed;
  e.SampleRate = AResult.SampleRate;
  e.DurationMs = AResult.DurationMs;
  e.Bytes = Size;

  // The clip gets its final name only when complete and on disk, so neither a reader nor
  // the next start after a crash ever sees part of it. Flushing it to disk is left to the
  // background writer; a failure to write it at all is known here.
  const std::string Temp = EntryPath(e.FileName) + "." + std::to_string(::getpid()) + "-" +
                           std::to_string(FTempSerial.fetch_add(1) + 1) + ".tmp";
  try {
    ForceDirectories(FDir);
    WriteWholeFile(Temp, AResult.Wav, TFileCreation::MustBeNew, TFileFlush::None);
  } catch (const std::system_error& E) {
    ::unlink(Temp.c_str());
    TAppLog::Warn(LogSource, "cannot write cache to %s: %s", FDir, E.code().message());
    return;
  } catch (const std::exception& E) {
    ::unlink(Temp.c_str());
    TAppLog::Warn(LogSource, "cannot write cache to %s: %s", FDir, E.what());
    return;
  }
  {
    TLockGuard Guard(FLock);
    FClipWrites.push_back({Item, Temp});
    StoreLocked(std::move(Item));
    TNode& Node = FItems.find(AKey)->second;
    Node.Unwritten = AResult.Wav.Share();
    Node.Live = Node.Unwritten;
    FDirty = true;
    EvictLocked();
    FWriterWake.notify_one();
  }
  SaveIndex(false);
}

void TWavCache::FinishClip(const TClipWrite& AWrite) {
  const std::string Final = EntryPath(AWrite.Item->Entry.FileName);
  int Error = 0;
  const int Fd = ::open(AWrite.Temp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (Fd < 0 || ::fdatasync(Fd) != 0) Error = errno;
  if (Fd >= 0) ::close(Fd);
  bool Placed = false;
  bool Dropped = false;
  {
    TLockGuard Guard(FLock);
    // Renamed under the lock: the file appears together with its entry, and a removal, an
    // eviction or a newer Put of this key since the store leaves the temporary unused.
    const auto It = FItems.find(AWrite.Item->Key);
    if (It != FItems.end() && It->second.Item == AWrite.Item) {
      if (Error == 0 && ::rename(AWrite.Temp.c_str(), Final.c_str()) != 0) Error = errno;
      if (Error == 0) {
        It->second.Unwritten.reset();
        FDirty = true;
        Placed = true;
      } else {
        EraseLocked(It);
        Dropped = true;
      }
    }
  }
  if (!Placed) ::unlink(AWrite.Temp.c_str());
  if (Dropped)
    TAppLog::Warn(LogSource, "cannot write cache to %s: %s", FDir,
                  std::generic_category().message(Error));
}

void TWavCache::WaitForClipWrites() {
  TUniqueLock Guard(FLock);
  while (!FClipWrites.empty() || FWriterBusy)
    FWriterIdle.wait(Guard.Native());
}

bool TWavCache::DeleteUnlessStored(const std::string& AFileName) {
  const std::string Path = EntryPath(AFileName);
  TLockGuard Guard(FLock);
  // A Put that finished after the table was emptied owns this file now.
  if (IsWavName(AFileName)) {
    const auto It = FItems.find(std::string(StemOf(AFileName)));
    if (It != FItems.end() && It->second.Item->Entry.FileName == AFileName) return true;
  }
  if (::unlink(Path.c_str()) == 0 || errno == ENOENT) return true;
  struct stat St {};
  return ::lstat(Path.c_str(), &St) != 0 && errno == ENOENT;
}

void TWavCache::Clear() {
  WaitForClipWrites();
  std::vector<std::string> Names;
  {
    TLockGuard Guard(FLock);
    Names.reserve(FItems.size());
    for (const auto& [Key, Node] : FItems)
      Names.push_back(Node.Item->Entry.FileName);
    FItems.clear();
    FLru.clear();
    FHot.clear();
    FOpen.clear();
    FHotBytes = 0;
    FBytes = 0;
    NoteStateChange(spCache);
    FDirty = true;
  }
  std::vector<TDirItem> Items;
  if (ListFolder(FDir, Items)) {
    Names.clear();
    for (const TDirItem& Item : Items)
      if (IsWavName(Item.Name)) Names.push_back(Item.Name);
  }
  int32_t Locked = 0;
  for (const std::string& Name : Names) {
    if (DeleteUnlessStored(Name)) continue;
    std::this_thread::sleep_for(ClearRetryDelay);
    if (!DeleteUnlessStored(Name)) ++Locked;
  }
  SaveIndex(true);
  if (Locked == 0)
    TAppLog::Info(LogSource, "cache cleared");
  else
    TAppLog::Warn(LogSource,
                  "cache cleared, but %d file(s) were locked and could not be deleted; they will "
                  "reappear on the next start",
                  Locked);
}

TCacheStats TWavCache::Stats() const {
  TCacheStats s;
  {
    TLockGuard Guard(FLock);
    s.Count = static_cast<int32_t>(FItems.size());
    s.Bytes = FBytes;
    s.BudgetBytes = FBudget;
    s.Evictions = FEvictions;
  }
  s.Hits = FHits.load();
  s.Misses = FMisses.load();
  return s;
}

void TWavCache::SetBudget(int64_t ABudgetBytes) {
  {
    TLockGuard Guard(FLock);
    FBudget = std::max<int64_t>(0, ABudgetBytes);
    EvictLocked();
  }
  SaveIndex(true);
}

TCacheSnapshot TWavCache::Snapshot() const {
  std::vector<std::pair<TStoredPtr, int64_t>> Copy;
  {
    TLockGuard Guard(FLock);
    Copy.reserve(FLru.size());
    for (const auto* p : FLru)
      Copy.emplace_back(p->second.Item, p->second.Stamp);
  }
  TCacheSnapshot Out;
  Out.reserve(Copy.size());
  for (const auto& [Item, Stamp] : Copy) {
    Out.emplace_back(Item->Key, Item->Entry);
    Out.back().second.Stamp = Stamp;
  }
  return Out;
}

void TWavCache::Flush() {
  SaveIndex(true);
}

void TWavCache::WaitForPendingSave() {
  TUniqueLock Guard(FLock);
  while (FSaveDue || FWriterBusy || !FClipWrites.empty())
    FWriterIdle.wait(Guard.Native());
}

void TWavCache::SaveIndex(bool AForce) {
  if (AForce) WaitForClipWrites();
  {
    TLockGuard Guard(FLock);
    if (!FDirty) return;
    const auto Now = FNow();
    if (!AForce && FLastSaveTick && Now - *FLastSaveTick < SaveInterval) return;
    FLastSaveTick = Now;
    if (!AForce) {
      // Writing a large index takes long; the request that triggered it does not wait.
      FSaveDue = true;
      FWriterWake.notify_one();
      return;
    }
  }
  WriteIndex();
}

void TWavCache::WriteIndex() {
  TLockGuard IoGuard(FIoLock);
  std::vector<TStoredPtr> Items;
  {
    TLockGuard Guard(FLock);
    if (!FDirty) return;  // an earlier write already carried the current table
    FDirty = false;
    Items.reserve(FLru.size());
    for (const auto* p : FLru)
      if (!p->second.Unwritten) Items.push_back(p->second.Item);
  }
  // Least recently used first, so a restart ranks the entries as they were.
  std::string Text = "\xEF\xBB\xBF";
  if (Items.empty()) {
    Text += "{}";
  } else {
    Text.reserve(Items.size() * 480);
    Text += "{\n";
    for (std::size_t i = 0; i < Items.size(); ++i) {
      const TCacheEntry& e = Items[i]->Entry;
      Text += i == 0 ? "  " : ",\n  ";
      AppendJsonString(Text, Items[i]->Key);
      Text += ": {\n    \"file\": ";
      AppendJsonString(Text, e.FileName);
      Text += ",\n    \"voice\": ";
      AppendJsonString(Text, e.VoiceId);
      Text += ",\n    \"text\": ";
      AppendJsonString(Text, e.Text);
      Text += ",\n    \"language\": ";
      AppendJsonString(Text, e.Language);
      Text += ",\n    \"speed\": ";
      AppendSpeed(Text, e.Speed);
      Text += ",\n    \"sampleRate\": ";
      AppendInteger(Text, e.SampleRate);
      Text += ",\n    \"durationMs\": ";
      AppendInteger(Text, e.DurationMs);
      Text += ",\n    \"bytes\": ";
      AppendInteger(Text, e.Bytes);
      Text += "\n  }";
    }
    Text += "\n}";
  }
  Items.clear();

  const std::string IndexFile = EntryPath(IndexName);
  try {
    ReplaceFileKeepingBackup(IndexFile, EntryPath(BackupName),
                             std::span(reinterpret_cast<const uint8_t*>(Text.data()), Text.size()));
    return;
  } catch (const std::system_error& E) {
    // The replacing rename reports the index itself; every earlier step names the temporary.
    if (StartsWith(E.what(), IndexFile + ": "))
      TAppLog::Warn(LogSource, "cannot replace cache index (Win32 %d)", E.code().value());
    else
      TAppLog::Warn(LogSource, "cannot write cache index: %s", E.what());
  } catch (const std::exception& E) {
    TAppLog::Warn(LogSource, "cannot write cache index: %s", E.what());
  }
  TLockGuard Guard(FLock);
  FDirty = true;
}

void TWavCache::WriterLoop() {
  ::pthread_setname_np(::pthread_self(), "Quavox cache");
  for (;;) {
    std::vector<TClipWrite> Clips;
    bool SaveDue = false;
    {
      TUniqueLock Guard(FLock);
      while (!FSaveDue && FClipWrites.empty() && !FStopping)
        FWriterWake.wait(Guard.Native());
      if (!FSaveDue && FClipWrites.empty()) return;
      // Clips first: a save that a store made due then carries that store's clip.
      Clips.swap(FClipWrites);
      SaveDue = std::exchange(FSaveDue, false);
      FWriterBusy = true;
    }
    for (const TClipWrite& Clip : Clips)
      FinishClip(Clip);
    if (SaveDue) WriteIndex();
    {
      TLockGuard Guard(FLock);
      FWriterBusy = false;
    }
    FWriterIdle.notify_all();
  }
}

}  // namespace quavox
