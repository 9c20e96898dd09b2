// The synthesized-audio cache: every finished synthesis is kept as a WAV file named after
// its key in the cache folder, with a JSON index ("index.json", the previous one kept as
// "index.json.bak") that carries what the files cannot: voice, text, language and speed.
// The cache is bounded by a byte budget and evicts the least recently used clips; it
// survives restarts and crashes, recovers its index from the backup, and adopts WAV files
// that the index lost.
//
// One instance, owned by the service, is used by every service thread at once. Lookups are
// one hash-map access under a short lock; WAV data is read and written outside every lock.
// A WAV file only ever appears under its final name complete (written to a temporary name,
// flushed, renamed into place), so no reader and no later start meets half a clip. `Put`
// writes the temporary and makes the entry visible at once, served from memory; the
// background writer flushes the file to disk and renames it into place, so the caller
// never waits for the disk. The index lists only clips under their final name. It is
// rewritten whole: by the background writer at most once per save interval when `Put`
// changed the table, and at once by the forced saves (`Remove`, `Clear`, `SetBudget`,
// `Flush`), which first wait until every clip stored before them is in place. The
// destructor lets the writer finish its clips, joins it and flushes the index.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ThreadAnnotations.h"
#include "core/Types.h"

namespace quavox {

// One index entry.
struct TCacheEntry {
  std::string FileName;  // the key + ".wav", inside the cache folder
  std::string VoiceId;
  std::string Text;  // the first 200 characters of the synthesised text
  std::string Language;
  float Speed = 1.0f;
  int32_t SampleRate = 0;
  int32_t DurationMs = 0;
  int32_t Bytes = 0;  // size of the WAV file
  int64_t Stamp = 0;  // recency: larger is more recent; lives only in memory
};

struct TCacheStats {
  int32_t Count = 0;
  int64_t Bytes = 0;
  int64_t BudgetBytes = 0;
  int64_t Hits = 0;
  int64_t Misses = 0;
  int64_t Evictions = 0;

  // Hits / (Hits + Misses); 0 before the first lookup.
  double HitRate() const;
};

using TCacheSnapshot = std::vector<std::pair<std::string, TCacheEntry>>;

// The monotonic clock of the save throttle; tests pass their own.
using TCacheClock = std::function<std::chrono::steady_clock::time_point()>;

// The key of one synthesis: SHA-256 (lower-case hex) over everything that changes the
// audio. Language, gender, airline, priority and the request's voice id count only through
// the voice they resolved to.
std::string CacheKey(const TTtsRequest& AReq, const TVoiceInfo& AVoice,
                     const std::string& AEngineTag, int32_t ASampleRate, bool ANativeSpeed);

// Header-only look at a WAV file, as used for adopting files the index does not list.
// False for anything that is not a readable regular file with a usable RIFF/WAVE header.
bool ProbeWavFile(const std::string& AFileName, int32_t& ASampleRate, int32_t& ADurationMs,
                  int64_t& AFileSize);

class TWavCache {
 public:
  static constexpr std::chrono::milliseconds SaveInterval{2000};
  // Of the clips held in memory, the most recently hit keep their files open, at most this
  // many; a file is closed when its clip leaves memory and the last reply sending it ends.
  static constexpr std::size_t MaxOpenFiles = 32;

  // Opens the cache in ADir (created when missing): loads the index or its backup, removes
  // temporaries a crash left behind and adopts WAV files the index does not list.
  // ABudgetBytes <= 0 means no limit.
  TWavCache(const std::string& ADir, int64_t ABudgetBytes, TCacheClock AClock = {});
  ~TWavCache();
  TWavCache(const TWavCache&) = delete;
  TWavCache& operator=(const TWavCache&) = delete;

  // A hit fills AResult (Channels 1, SynthMs 0, ETag = AKey, FromCache) and makes the entry
  // the most recently used. Its WAV is read from disk unless another result still holds
  // the same clip, whose bytes it then shares. A disabled cache answers false and counts nothing.
  // A clip held in memory and already under its final name comes with its file open (see
  // MaxOpenFiles), so its bytes can be sent without a copy.
  bool TryGet(const std::string& AKey, TTtsResult& AResult);
  // The WAV bytes, without touching recency or counters; also when disabled.
  bool ReadAudio(const std::string& AKey, TBytes& AWav) const;
  bool Contains(const std::string& AKey) const;
  // True when an entry was removed (its file deleted, the index saved at once).
  bool Remove(const std::string& AKey);
  // Stores the result's WAV under the key, evicting older clips beyond the budget. Does
  // nothing when disabled, for an empty WAV, for a WAV larger than the whole budget, for a
  // key that cannot name a file in the cache folder, while the disk's free space is under
  // the floor, and when the clip cannot be written.
  // The clip reaches its final name in the background; should that fail, the entry goes.
  void Put(const std::string& AKey, const TTtsResult& AResult, std::string_view AText);
  // Deletes every entry and every "*.wav" file of the folder; counters stay.
  void Clear();
  TCacheStats Stats() const;
  // New budget (<= 0: no limit), evicting at once; saves the index.
  void SetBudget(int64_t ABudgetBytes);
  // Memory for the most recently hit clips, answered without reading their files (<= 0:
  // none kept); shrinking lets the least recently hit go at once.
  void SetMemoryBudget(int64_t ABytes);
  int64_t MemoryBytes() const;
  // Copies of all entries with their stamps, least recently used first.
  TCacheSnapshot Snapshot() const;
  // Waits until every clip stored so far is in place, then writes the index now when it is
  // behind the table.
  void Flush();
  // Blocks until the clips and the index save that `Put` handed to the background writer
  // are done.
  void WaitForPendingSave();

  const std::string& Directory() const { return FDir; }
  bool Enabled() const { return FEnabled.load(); }
  void SetEnabled(bool AEnabled) { FEnabled.store(AEnabled); }
  // No new clip is stored while the folder's disk has less free space than this (0: any).
  void SetMinFreeBytes(int64_t ABytes) { FMinFreeBytes.store(ABytes); }

 private:
  // An entry as stored: never changed once made, so readers and the index writer can hold
  // it after the lock is gone. Recency lives in the table node.
  struct TStored {
    std::string Key;
    TCacheEntry Entry;
  };
  using TStoredPtr = std::shared_ptr<const TStored>;
  struct TNode;
  struct TFolderFiles;
  // Lets a lookup by std::string_view go without building a std::string.
  struct TKeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view AKey) const noexcept {
      return std::hash<std::string_view>{}(AKey);
    }
  };
  using TItemMap = std::unordered_map<std::string, TNode, TKeyHash, std::equal_to<>>;
  using TLruList = std::list<TItemMap::value_type*>;
  struct TNode {
    TStoredPtr Item;
    int64_t Stamp = 0;
    TLruList::iterator Pos;
    // Set while the clip is held in memory; its place among the clips held.
    std::shared_ptr<const TBytes> Hot;
    TLruList::iterator HotPos;
    // The clip's file, open while the clip is held in memory and among the most recently
    // hit; its place among the open files.
    std::shared_ptr<const TOpenFile> File;
    TLruList::iterator FilePos;
    // The clip's bytes while anyone still holds them: hits share them instead of reading
    // the file into a copy of their own.
    std::weak_ptr<const TBytes> Live;
    // Held until the clip is under its final name; until then the index leaves it out.
    std::shared_ptr<const TBytes> Unwritten;
  };
  // A clip written to its temporary name, waiting to be flushed and renamed into place.
  struct TClipWrite {
    TStoredPtr Item;
    std::string Temp;
  };

  std::string EntryPath(const std::string& AFileName) const { return FDir + AFileName; }
  // False, with a log line, while the disk has less free space than the floor.
  bool DiskHasRoom() const;
  void FillHit(const std::string& AKey, const TCacheEntry& AEntry, TSharedBytes AWav,
               TTtsResult& AResult);
  bool LoadIndex(const std::string& AFileName) QX_REQUIRES(FLock);
  // Drops index entries whose clip is gone, then adopts clips the index does not list.
  void AdoptOrphans(const TFolderFiles& AFiles) QX_REQUIRES(FLock);
  void StoreLocked(TStoredPtr AItem) QX_REQUIRES(FLock);
  void EraseLocked(TItemMap::iterator AIt) QX_REQUIRES(FLock);
  void KeepInMemoryLocked(TItemMap::value_type& AEntry, std::shared_ptr<const TBytes> ABytes)
      QX_REQUIRES(FLock);
  void DropFromMemoryLocked(TNode& ANode) QX_REQUIRES(FLock);
  // The file of a clip held in memory, opened when it has none yet; null when the clip
  // changed meanwhile or its file cannot be opened.
  std::shared_ptr<const TOpenFile> OpenHeldFile(const std::string& AKey, const TStoredPtr& AItem)
      QX_EXCLUDES(FLock);
  void KeepFileLocked(TItemMap::value_type& AEntry, std::shared_ptr<const TOpenFile> AFile)
      QX_REQUIRES(FLock);
  void CloseFileLocked(TNode& ANode) QX_REQUIRES(FLock);
  void TrimMemoryLocked() QX_REQUIRES(FLock);
  void EvictLocked() QX_REQUIRES(FLock);
  bool DeleteUnlessStored(const std::string& AFileName) QX_EXCLUDES(FLock);
  void SaveIndex(bool AForce) QX_EXCLUDES(FLock, FIoLock);
  void FinishClip(const TClipWrite& AWrite) QX_EXCLUDES(FLock);
  void WaitForClipWrites() QX_EXCLUDES(FLock);
  void WriteIndex() QX_EXCLUDES(FLock, FIoLock);
  void WriterLoop() QX_EXCLUDES(FLock, FIoLock);

  // Guards the table, the byte total, the clock, the budget, the evictions counter and the
  // save state. Held only for table work, renames and deletions, never for WAV data.
  mutable TMutex FLock;
  // Serialises index writes; taken before FLock, so each write carries the table as it was
  // when that write began and a slow writer never overwrites a newer index.
  TMutex FIoLock QX_ACQUIRED_BEFORE(FLock);
  TItemMap FItems QX_GUARDED_BY(FLock);
  TLruList FLru QX_GUARDED_BY(FLock);  // least recently used first
  TLruList FHot QX_GUARDED_BY(FLock);  // clips held in memory, least recently hit first
  // Clips with an open file, least recently hit first.
  TLruList FOpen QX_GUARDED_BY(FLock);
  int64_t FHotBytes QX_GUARDED_BY(FLock) = 0;
  int64_t FHotBudget QX_GUARDED_BY(FLock) = 0;
  const std::string FDir;  // with a trailing '/'
  int64_t FBudget QX_GUARDED_BY(FLock) = 0;
  int64_t FBytes QX_GUARDED_BY(FLock) = 0;
  int64_t FClock QX_GUARDED_BY(FLock) = 0;
  std::atomic<int64_t> FHits{0};
  std::atomic<int64_t> FMisses{0};
  int64_t FEvictions QX_GUARDED_BY(FLock) = 0;
  std::atomic<bool> FEnabled{true};
  std::atomic<int64_t> FMinFreeBytes{0};
  bool FDirty QX_GUARDED_BY(FLock) = false;
  std::optional<std::chrono::steady_clock::time_point> FLastSaveTick QX_GUARDED_BY(FLock);

  TCacheClock FNow;
  std::atomic<uint64_t> FTempSerial{0};
  bool FSaveDue QX_GUARDED_BY(FLock) = false;
  std::vector<TClipWrite> FClipWrites QX_GUARDED_BY(FLock);
  bool FWriterBusy QX_GUARDED_BY(FLock) = false;
  bool FStopping QX_GUARDED_BY(FLock) = false;
  std::condition_variable FWriterWake;
  std::condition_variable FWriterIdle;
  std::thread FWriter;  // started last in the constructor, joined first in the destructor
};

}  // namespace quavox
