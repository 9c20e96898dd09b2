// The voice library: every voice the service can speak with, their reference clips in the
// clone folder, and the routing that turns a request into one of them. The library is the
// one authority on voice ids. One instance is owned by the service; it borrows the
// configuration, which supplies the folders and the binding tables.
//
// Threads: HTTP connection threads, the queue worker, the prewarm thread and the main thread
// call in at once. FLock guards the list for every read and change and is never held while
// files are read or written; FSaveLock serialises whole-file saves, so the file always ends
// as a complete snapshot no older than the last finished change. Every read hands out
// copies. Clip files are written and read without the list lock.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/ThreadAnnotations.h"
#include "core/Types.h"
#include "state/Config.h"
#include "state/Json.h"

namespace quavox {

// Rotate-left-by-5 / xor over the UTF-16 code units, read as a signed 32-bit value.
int32_t StringHash(std::string_view AText);

// A clip file name that stays inside the clone folder: not empty, not absolute, without a
// path separator, without "..", without control characters. Names from voices.json and
// from packs that fail this are treated as missing clips, never opened or deleted.
bool IsSafeClipFileName(std::string_view AName);
// A name the library itself gives clip files: "v-" + 12 lower-case hex digits, an optional
// "-n", then "-" + the clip number and ".wav", ".ogg" or ".mp3".
bool IsOwnClipFileName(std::string_view AName);

// Local time as ISO 8601 with milliseconds and the local offset ("+08:00", or "Z").
std::string FormatIso8601(TDateTime ATime);
// Date, optional time ("T" or blank), optional fraction and offset; without an offset the
// time is local. False for anything else.
bool ParseIso8601(std::string_view AText, TDateTime& ATime);

// A voice as voices.json stores it, every member included, and back; a record without an
// id gives a voice without one.
TJson VoiceRecordJson(const TVoiceInfo& AVoice);
TVoiceInfo VoiceFromRecord(const TJson& ARecord);

class TVoiceLibrary {
 public:
  // Reference audio handed to the engine never exceeds this; clips merged into one
  // reference are separated by the gap.
  static constexpr int32_t MaxReferenceMs = 30000;
  static constexpr int32_t MergeGapMs = 300;
  static constexpr int32_t MinClipMs = 1000;
  static constexpr int32_t RecommendedMinClipMs = 5000;
  // The decoder library's length limit; a longer clip is refused whatever its format.
  static constexpr int32_t MaxClipMs = 600000;
  // Rates a reference can be spoken from: below telephone quality no voice can be heard in
  // it, and above the highest studio rate the header is wrong rather than the recording
  // exceptional; the engine fails on either.
  static constexpr int32_t MinClipRate = 8000;
  static constexpr int32_t MaxClipRate = 192000;
  // Bounds of the prepared references kept in memory.
  static constexpr std::size_t MaxPreparedReferences = 64;
  static constexpr std::size_t MaxPreparedReferenceBytes = 64u << 20;

  // An empty library; Load reads the file.
  explicit TVoiceLibrary(TAppConfig& AConfig);
  TVoiceLibrary(const TVoiceLibrary&) = delete;
  TVoiceLibrary& operator=(const TVoiceLibrary&) = delete;

  // Library, persistence and lookups. Update, Remove and the cloning operations change the
  // list only once voices.json holding the change has been written, so the list always is
  // what the file says; when it cannot be written they raise ETtsError (ecCloneFailed) with
  // the system's error and change nothing.
  void Load();
  // Deletes the clip files of the library's own naming ("v-" + 12 hex digits, an optional
  // "-n", "-" + clip number, ".wav", ".ogg" or ".mp3") that no voice names: leftovers of a
  // clone the process did not live to finish. Other files are never touched. Does nothing
  // unless the last Load read a complete voices.json and no voices.json.unreadable is kept,
  // and must run before any clone starts.
  void RemoveStrayClips();
  // Write failures are logged and swallowed.
  void Save();
  // Why the library read at start is not the whole file, for the operator; empty when it is.
  // A voices.json that exists but cannot be read or parsed is renamed to
  // "voices.json.unreadable" and the records before a torn end are kept; when it cannot be
  // renamed, no change is saved over it.
  std::string LoadProblem() const;
  std::vector<TVoiceInfo> All() const;
  std::size_t Count() const;
  bool Find(std::string_view AId, TVoiceInfo& AVoice) const;
  bool FindByDisplay(std::string_view ADisplay, TVoiceInfo& AVoice) const;
  std::vector<TVoiceInfo> ForLanguage(std::string_view ALanguage) const;
  void Update(const TVoiceInfo& AVoice);
  // Removes the voice and its bindings under the lock CommitBinding takes.
  bool Remove(std::string_view AId);
  // Makes the change of the bindings only while every non-empty id of AVoiceIds names a voice
  // of the library, so a binding never outlives its voice; false (nothing changed) when one
  // does not. Raises what the configuration's write raises.
  bool CommitBinding(const std::vector<std::string>& AVoiceIds,
                     const std::function<void(TVoiceMaps&)>& AChange);
  // Drops the bindings that name no voice of the library (left by a stop between the two
  // files' writes), with a log line for each voice. Runs after Load.
  void DropDanglingBindings();
  std::string PredictId(const TVoiceCloneSpec& ASpec) const;
  // Raises ETtsError (ecFollowerReadOnly) naming the primary while the configuration makes
  // this node follow one: voices and bindings then change only by Mirror. Every change of
  // the library and the bindings asks first.
  void RefuseWhileFollowing() const;
  // Makes the library and the voice maps what the primary has: AItems as they are, the clip
  // files that are not here yet from AClips (by file name), then the maps; files no voice
  // names any more go last. Each file is replaced atomically under the save lock, so no
  // other change comes between. Raises ETtsError (ecCloneFailed) and changes nothing when a
  // clip is missing or unsafe or voices.json cannot be written.
  void Mirror(const std::vector<TVoiceInfo>& AItems, const std::map<std::string, TBytes>& AClips,
              const TVoiceMaps& AMaps);

  // Reference audio and cloning. The cloning operations raise ETtsError.
  TVoiceInfo AddClone(const TVoiceCloneSpec& ASpec);
  TVoiceInfo AddClip(std::string_view AVoiceId, const TVoiceClipInput& AClip);
  bool RemoveClip(std::string_view AVoiceId, int AIndex);
  // Clone folder + file name; empty for an empty or unsafe file name.
  std::string ClipPath(const TVoiceClip& AClip) const;
  static std::string ReferenceText(const TVoiceInfo& AVoice);
  // WAV or MP3 bytes of at most 30 s, or empty; never raises for missing or broken files.
  // Prepared once per voice and kept while the voice's clips and their files stay as they
  // were, so only the first call after a change reads, decodes and merges them.
  TSharedBytes ReferenceAudio(const TVoiceInfo& AVoice) const QX_EXCLUDES(FReferenceLock);

  // Routing through the configuration's default voices and airline bindings.
  TVoiceInfo Resolve(const TTtsRequest& AReq, bool& AExplicit) const;
  TVoiceInfo Resolve(const TTtsRequest& AReq) const;
  TTtsGenderSet AvailableGenders(std::string_view AAirline, std::string_view ALanguage) const;
  static TVoiceInfo FallbackVoice(const std::string& ALanguage, TTtsGender AGender);
  static bool IsFallback(const TVoiceInfo& AVoice);

 private:
  // Changes the list it is given; false when there is nothing to change.
  using TListChange = std::function<bool(std::vector<TVoiceInfo>&)>;
  // Applies the change to a copy of the list, writes the copy whole and only then makes it
  // the list; raises ETtsError (ecCloneFailed) with the system's error otherwise. Writes
  // nothing when the change says there is nothing to change.
  void Commit(const TListChange& AChange);
  void CommitLocked(const TListChange& AChange) QX_REQUIRES(FSaveLock);
  std::string JsonTextOf(const std::vector<TVoiceInfo>& AItems) const;
  std::string SetAsideFile() const;
  void SetAside(const std::string& AProblem, const std::vector<TVoiceInfo>& AItems);
  bool Blocked() const QX_EXCLUDES(FLock);
  static int IndexIn(const std::vector<TVoiceInfo>& AItems, std::string_view AId);
  int IndexOf(std::string_view AId) const QX_REQUIRES(FLock);
  static std::string CloneFingerprint(const TVoiceCloneSpec& ASpec);
  std::string NewId(const std::string& AFingerprint) const QX_REQUIRES(FLock);
  bool IdTaken(std::string_view AId) const QX_REQUIRES(FLock);
  // Writes the clip under the first free "<id>-<n><ext>" with n >= AFirstNumber that no name
  // in AUsedNames takes and no file in the clone folder holds; never overwrites a file.
  static bool DecodeUpload(const TBytes& AAudio, const std::string& AExtension, TPcmBuffer& APcm);
  TVoiceClip StoreClip(const std::string& AVoiceId, int AFirstNumber, const TVoiceClipInput& AClip,
                       const std::vector<std::string>& AUsedNames);
  // The first non-empty binding of the fallback chain, or empty.
  std::string BoundId(const std::string& AAirline, const std::string& ALanguage,
                      TTtsGender AGender) const;
  // Writes the clip from AClips unless its file is here already; true when it wrote it.
  bool WriteMirroredClip(const TVoiceClip& AClip,
                         const std::map<std::string, TBytes>& AClips) const;
  // Deletes the clip files of the given names, skipping unsafe ones.
  void DeleteClipFiles(const std::vector<std::string>& ANames, const char* AWarning) const;
  // Names of AClips that no voice of the list refers to any more.
  std::vector<std::string> Unreferenced(const std::vector<TVoiceClip>& AClips) const;
  // The reference made from the clip files as they are now.
  TBytes PrepareReference(const TVoiceInfo& AVoice) const;
  // The clips' names with the identity of their files (device, inode, size, times), or a
  // mark for a file that is not there: any change of the clips or their files changes it.
  std::string ClipsStamp(const TVoiceInfo& AVoice) const;
  void KeepReference(const std::string& AVoiceId, std::string AStamp,
                     const TSharedBytes& AAudio) const QX_EXCLUDES(FReferenceLock);

  struct TPreparedReference {
    std::string VoiceId;
    std::string ClipsStamp;
    std::shared_ptr<const TBytes> Audio;
  };

  // Held across a whole save (snapshot and write), taken before FLock.
  TMutex FSaveLock QX_ACQUIRED_BEFORE(FLock);
  mutable TMutex FLock;
  std::vector<TVoiceInfo> FItems QX_GUARDED_BY(FLock);
  TAppConfig& FConfig;
  // Lower-case ids chosen by clones still writing their clips, so a concurrent clone of the
  // same recordings takes the next suffix.
  std::set<std::string> FPendingIds QX_GUARDED_BY(FLock);
  // The last Load read voices.json and every record in it.
  bool FLoadedWhole QX_GUARDED_BY(FLock) = false;
  // What went wrong reading voices.json at start, and whether it still stands in the way.
  std::string FLoadProblem QX_GUARDED_BY(FLock);
  bool FBlocked QX_GUARDED_BY(FLock) = false;
  // Prepared references, most recently used first, bounded in count and bytes. A leaf lock:
  // nothing else is taken while it is held.
  mutable TMutex FReferenceLock;
  mutable std::list<TPreparedReference> FReferences QX_GUARDED_BY(FReferenceLock);
  mutable std::size_t FReferenceBytes QX_GUARDED_BY(FReferenceLock) = 0;
};

}  // namespace quavox
