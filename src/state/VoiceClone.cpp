// Reference clips of the voice library: storing uploads, cloning, and the single reference
// recording (trimmed or merged to at most 30 s) the engine gets for each synthesis.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <filesystem>
#include <system_error>

#include "audio/Audio.h"
#include "audio/DecoderChild.h"
#include "audio/Dsp.h"
#include "audio/Wav.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "platform/Files.h"
#include "state/Voices.h"

namespace quavox {

namespace fs = std::filesystem;

namespace {

constexpr const char* LogSource = "voices";
// Bounds the search for a free clip file name, so a folder full of strays cannot spin.
constexpr int MaxNameAttempts = 10000;

[[noreturn]] void ThrowErrno(const std::string& AWhat) {
  throw std::system_error(errno, std::generic_category(), AWhat);
}

// Creates the file only when no file of that name exists, writes it whole and flushes it.
// False when the name is taken; any other failure raises and leaves no file behind.
bool WriteNewFile(const std::string& APath, const TBytes& ABytes) {
  const int Fd = ::open(APath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (Fd < 0) {
    if (errno == EEXIST) return false;
    ThrowErrno(APath);
  }
  std::size_t Done = 0;
  bool Ok = true;
  while (Ok && Done < ABytes.size()) {
    const ssize_t n = ::write(Fd, ABytes.data() + Done, ABytes.size() - Done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Ok = false;
    } else {
      Done += static_cast<std::size_t>(n);
    }
  }
  Ok = Ok && ::fsync(Fd) == 0;
  const int Saved = errno;
  Ok = (::close(Fd) == 0) && Ok;
  if (!Ok) {
    ::unlink(APath.c_str());
    errno = Saved != 0 ? Saved : EIO;
    ThrowErrno(APath);
  }
  FsyncFolderOf(APath);
  return true;
}

void RemoveQuietly(const std::string& APath) {
  if (APath.empty()) return;
  std::error_code Ec;
  fs::remove(APath, Ec);
}

// A merge allocates by the first clip's rate; a header claiming an absurd rate is a broken
// clip, not a reason to allocate gigabytes.
constexpr int32_t MinMergeRate = 1000;
constexpr int32_t MaxMergeRate = 768000;

std::size_t NearestCount(double AValue) {
  return AValue <= 0 ? 0 : static_cast<std::size_t>(RoundHalfEven(AValue));
}

}  // namespace

namespace {

[[noreturn]] void RaiseBrokenClip(const std::string& AExtension) {
  ETtsError::Raise_(ecBadAudio, Format(Translate("这段 %s 音频解不开(文件可能不完整或已损坏)"),
                                       UpperAscii(AExtension.substr(1))));
}

[[noreturn]] void RaiseChildFailure(TChildDecode AResult) {
  if (AResult == cdTimedOut)
    ETtsError::Raise_(ecBadAudio, Format(Translate("解码超时(超过 %d 秒),这段音频用不了"),
                                         DecoderChildLimits().CpuSeconds));
  ETtsError::Raise_(ecBadAudio, Translate("解码器崩溃了(decoder crashed),这段音频用不了"));
}

}  // namespace

// Decodes an upload to measure it; false only for an MP3 while the decoder library is absent
// (the engine takes MP3 as it is). Bytes that no decoder recognises are refused, so no voice
// is ever made of audio that later fails every synthesis.
bool TVoiceLibrary::DecodeUpload(const TBytes& AAudio, const std::string& AExtension,
                                 TPcmBuffer& APcm) {
  if (AExtension == ".wav") {
    if (!WavToPcm(AAudio, APcm)) RaiseBrokenClip(AExtension);
    return true;
  }
  const bool Ogg = AExtension == ".ogg";
  const TChildDecode Result = DecodeInChild(AAudio, Ogg, APcm);
  switch (Result) {
    case cdOk:
      return true;
    case cdCrashed:
    case cdTimedOut:
      RaiseChildFailure(Result);
    case cdTooLong:
      ETtsError::Raise_(ecBadAudio, Format(Translate("参考音频比 %d 秒的上限还长"),
                                           TVoiceLibrary::MaxClipMs / 1000));
    case cdOpus:
      ETtsError::Raise_(ecBadAudio, OggErrorText(odOpus));
    case cdNoDecoder:
      if (Ogg) ETtsError::Raise_(ecBadAudio, OggErrorText(odNoDecoder));
      if (!HasMp3Frames(AAudio))
        ETtsError::Raise_(ecBadAudio, Translate("这段音频不像 WAV、MP3 或 Ogg"));
      return false;
    default:
      if (Ogg) ETtsError::Raise_(ecBadAudio, OggErrorText(odBroken));
      RaiseBrokenClip(AExtension);
  }
}

TVoiceClip TVoiceLibrary::StoreClip(const std::string& AVoiceId, int AFirstNumber,
                                    const TVoiceClipInput& AClip,
                                    const std::vector<std::string>& AUsedNames) {
  if (AClip.Audio.empty()) ETtsError::Raise_(ecBadAudio, Translate("这一段没有音频数据"));
  TVoiceClip Clip;
  Clip.Text = Trim(AClip.Text);
  if (Clip.Text.empty())
    ETtsError::Raise_(ecBadAudio,
                      Translate("参考音频必须配上它的转写(官方契约里 reference_text 是必填)"));
  const std::string Extension = AudioExtension(AClip.Audio);
  if (Extension.empty()) ETtsError::Raise_(ecBadAudio, Translate("这段音频不像 WAV、MP3 或 Ogg"));

  TPcmBuffer Pcm;
  const bool Decoded = DecodeUpload(AClip.Audio, Extension, Pcm);
  if (Decoded) {
    if (Pcm.SampleRate < MinClipRate || Pcm.SampleRate > MaxClipRate)
      ETtsError::Raise_(ecBadAudio,
                        Format(Translate("参考音频的采样率是 %d Hz,没法用(要在 %d 到 %d Hz 之间)"),
                               Pcm.SampleRate, MinClipRate, MaxClipRate));
    const int32_t d = Pcm.DurationMs();
    if (d < MinClipMs)
      ETtsError::Raise_(ecBadAudio,
                        Format(Translate("参考音频只有 %d 毫秒,太短了(官方建议 5~30 秒)"), d));
    if (d > MaxClipMs)
      ETtsError::Raise_(ecBadAudio, Format(Translate("参考音频有 %d 秒,超过了 %d 秒的上限"),
                                           d / 1000, MaxClipMs / 1000));
    Clip.DurationMs = d;
    if (d < RecommendedMinClipMs) {
      TAppLog::Warn(LogSource,
                    "reference audio is only %.1f s; the official guidance is 5-30 s, cloning "
                    "may be unstable",
                    d / 1000.0);
    } else if (d > MaxReferenceMs) {
      TAppLog::Warn(LogSource,
                    "reference audio is %.0f s, over the 30 s the vendor recommends; it will be "
                    "trimmed to 30 s before the engine sees it",
                    d / 1000.0);
    }
  } else {
    TAppLog::Warn(LogSource,
                  "cannot decode this %s clip (missing libquavox_audio.so?); duration unknown "
                  "and it cannot join a multi-clip merge",
                  Extension);
  }

  try {
    ForceDirectories(FConfig.VoicesDir());
    for (int Attempt = 0; Attempt < MaxNameAttempts; ++Attempt) {
      const std::string Name = Format("%s-%d%s", AVoiceId, AFirstNumber + Attempt, Extension);
      if (std::find(AUsedNames.begin(), AUsedNames.end(), Name) != AUsedNames.end()) continue;
      if (WriteNewFile(FConfig.VoicesDir() + Name, AClip.Audio)) {
        Clip.FileName = Name;
        return Clip;
      }
    }
    errno = EEXIST;
    ThrowErrno(FConfig.VoicesDir() + AVoiceId);
  } catch (const std::exception& E) {
    ETtsError::Raise_(ecCloneFailed, Translate("参考音频存不下来:") + E.what());
  }
}

TVoiceInfo TVoiceLibrary::AddClone(const TVoiceCloneSpec& ASpec) {
  RefuseWhileFollowing();
  if (ASpec.Clips.empty()) ETtsError::Raise_(ecBadAudio, Translate("克隆至少需要一段参考音频"));
  const std::string Fingerprint = CloneFingerprint(ASpec);
  TVoiceInfo Voice;
  {
    TLockGuard Guard(FLock);
    Voice.Id = NewId(Fingerprint);
    FPendingIds.insert(LowerAscii(Voice.Id));
  }
  const std::string Display = Trim(ASpec.Display);
  Voice.Display = Display.empty() ? Voice.Id : Display;
  Voice.Kind = vkCloned;
  Voice.Language = NormalizeLanguage(ASpec.Language);
  Voice.Gender = ASpec.Gender;
  Voice.Style = Trim(ASpec.Style);
  Voice.Note = ASpec.Note;
  // Milliseconds, the precision of voices.json, so a reloaded voice is the same record.
  Voice.CreatedAt = std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
  Voice.Seed = StringHash(Sha256Hex(Voice.Id).substr(0, 6)) & 0x7FFFFFFF;

  std::vector<std::string> Written;
  try {
    for (std::size_t i = 0; i < ASpec.Clips.size(); ++i) {
      Voice.Clips.push_back(StoreClip(Voice.Id, static_cast<int>(i), ASpec.Clips[i], Written));
      Written.push_back(Voice.Clips.back().FileName);
    }
  } catch (...) {
    // No voice refers to the clips already written.
    for (const std::string& Name : Written)
      RemoveQuietly(ClipPath({Name, {}, 0}));
    TLockGuard Guard(FLock);
    FPendingIds.erase(LowerAscii(Voice.Id));
    throw;
  }
  try {
    Commit([&](std::vector<TVoiceInfo>& AItems) {
      AItems.push_back(Voice);
      return true;
    });
  } catch (...) {
    for (const std::string& Name : Written)
      RemoveQuietly(ClipPath({Name, {}, 0}));
    TLockGuard Guard(FLock);
    FPendingIds.erase(LowerAscii(Voice.Id));
    throw;
  }
  {
    TLockGuard Guard(FLock);
    FPendingIds.erase(LowerAscii(Voice.Id));
  }
  int64_t TotalMs = 0;
  for (const TVoiceClip& Clip : Voice.Clips)
    TotalMs += Clip.DurationMs;
  TAppLog::Info(LogSource, "cloned voice %s (%s, %d clip(s), %.1f s total)", Voice.Display,
                Voice.Id, Voice.Clips.size(), TotalMs / 1000.0);
  return Voice;
}

TVoiceInfo TVoiceLibrary::AddClip(std::string_view AVoiceId, const TVoiceClipInput& AClip) {
  RefuseWhileFollowing();
  TVoiceInfo Voice;
  if (!Find(AVoiceId, Voice))
    ETtsError::Raise_(ecBadVoice, Translate("没有这个音色:") + std::string(AVoiceId));
  std::vector<std::string> Used;
  for (const TVoiceClip& Clip : Voice.Clips)
    Used.push_back(Clip.FileName);
  const TVoiceClip Clip = StoreClip(Voice.Id, static_cast<int>(Voice.Clips.size()), AClip, Used);
  bool Stored = false;
  try {
    // Appending to the record as it is now keeps a clip added or removed meanwhile.
    Commit([&](std::vector<TVoiceInfo>& AItems) {
      const int i = IndexIn(AItems, Voice.Id);
      if (i < 0) return false;
      AItems[i].Clips.push_back(Clip);
      Voice = AItems[i];
      Stored = true;
      return true;
    });
  } catch (...) {
    RemoveQuietly(ClipPath(Clip));
    throw;
  }
  if (!Stored) {
    RemoveQuietly(ClipPath(Clip));
    ETtsError::Raise_(ecBadVoice, Translate("没有这个音色:") + std::string(AVoiceId));
  }
  TAppLog::Info(LogSource, "added a clip to %s, %d in total now", Voice.Display,
                Voice.Clips.size());
  return Voice;
}

bool TVoiceLibrary::RemoveClip(std::string_view AVoiceId, int AIndex) {
  RefuseWhileFollowing();
  if (Trim(AVoiceId).empty()) return false;
  std::vector<TVoiceClip> Removed;
  Commit([&](std::vector<TVoiceInfo>& AItems) {
    const int i = IndexIn(AItems, AVoiceId);
    if (i < 0) return false;
    std::vector<TVoiceClip>& Clips = AItems[i].Clips;
    if (AIndex < 0 || static_cast<std::size_t>(AIndex) >= Clips.size()) return false;
    if (Clips.size() == 1)
      ETtsError::Raise_(ecBadAudio, Translate("这是最后一段参考音频了,要删就把整个音色删掉"));
    Removed.push_back(Clips[AIndex]);
    Clips.erase(Clips.begin() + AIndex);
    return true;
  });
  if (Removed.empty()) return false;
  DeleteClipFiles(Unreferenced(Removed), "cannot delete reference audio: %s");
  return true;
}

std::string TVoiceLibrary::ReferenceText(const TVoiceInfo& AVoice) {
  std::string Text;
  for (const TVoiceClip& Clip : AVoice.Clips) {
    const std::string t = Trim(Clip.Text);
    if (t.empty()) continue;
    if (!Text.empty()) Text += ' ';
    Text += t;
  }
  return Text;
}

std::string TVoiceLibrary::ClipsStamp(const TVoiceInfo& AVoice) const {
  std::string Stamp;
  for (const TVoiceClip& Clip : AVoice.Clips) {
    Stamp += Clip.FileName;
    const std::string Path = ClipPath(Clip);
    struct stat St {};
    if (Path.empty() || ::stat(Path.c_str(), &St) != 0) {
      Stamp += "|-\n";
      continue;
    }
    for (const auto Value :
         {static_cast<int64_t>(St.st_dev), static_cast<int64_t>(St.st_ino),
          static_cast<int64_t>(St.st_size), static_cast<int64_t>(St.st_mtim.tv_sec),
          static_cast<int64_t>(St.st_mtim.tv_nsec), static_cast<int64_t>(St.st_ctim.tv_sec),
          static_cast<int64_t>(St.st_ctim.tv_nsec)}) {
      Stamp += '|';
      Stamp += std::to_string(Value);
    }
    Stamp += '\n';
  }
  return Stamp;
}

TSharedBytes TVoiceLibrary::ReferenceAudio(const TVoiceInfo& AVoice) const {
  // Taken before the files are read: a file that changes meanwhile leaves an entry whose
  // stamp no longer matches, so the next call prepares the reference again.
  std::string Stamp = ClipsStamp(AVoice);
  std::shared_ptr<const TBytes> Known;
  {
    TLockGuard Guard(FReferenceLock);
    const auto It = std::find_if(FReferences.begin(), FReferences.end(), [&](const auto& AItem) {
      return AItem.VoiceId == AVoice.Id && AItem.ClipsStamp == Stamp;
    });
    if (It != FReferences.end()) {
      FReferences.splice(FReferences.begin(), FReferences, It);
      Known = It->Audio;
    }
  }
  if (Known) return TSharedBytes(std::move(Known));
  TSharedBytes Audio = PrepareReference(AVoice);
  // A voice with nothing usable is not kept, so its warnings come with every request.
  if (!Audio.empty() && Audio.size() <= MaxPreparedReferenceBytes)
    KeepReference(AVoice.Id, std::move(Stamp), Audio);
  return Audio;
}

void TVoiceLibrary::KeepReference(const std::string& AVoiceId, std::string AStamp,
                                  const TSharedBytes& AAudio) const {
  TLockGuard Guard(FReferenceLock);
  // One entry per voice: an older preparation of its clips is of no use any more.
  for (auto It = FReferences.begin(); It != FReferences.end();) {
    if (It->VoiceId != AVoiceId) {
      ++It;
      continue;
    }
    FReferenceBytes -= It->Audio->size();
    It = FReferences.erase(It);
  }
  FReferenceBytes += AAudio.size();
  FReferences.push_front({AVoiceId, std::move(AStamp), AAudio.Share()});
  while (FReferences.size() > MaxPreparedReferences ||
         FReferenceBytes > MaxPreparedReferenceBytes) {
    FReferenceBytes -= FReferences.back().Audio->size();
    FReferences.pop_back();
  }
}

TBytes TVoiceLibrary::PrepareReference(const TVoiceInfo& AVoice) const {
  if (AVoice.Clips.empty()) return {};
  if (AVoice.Clips.size() == 1) {
    const TVoiceClip& Clip = AVoice.Clips.front();
    const std::string Path = ClipPath(Clip);
    if (Path.empty()) return {};
    TBytes Bytes;
    try {
      Bytes = ReadFileBytes(Path);
    } catch (const std::exception& E) {
      TAppLog::Warn(LogSource, "cannot read reference audio (%s): %s", Path, E.what());
      return {};
    }
    TPcmBuffer Pcm;
    if (DecodeAudio(Bytes, Pcm)) {
      if (Pcm.DurationMs() > MaxReferenceMs) {
        const double StoredMs = Clip.DurationMs > 0 ? Clip.DurationMs : Pcm.DurationMs();
        Pcm.Data.resize(static_cast<std::size_t>(Pcm.SampleRate) * (MaxReferenceMs / 1000));
        TAppLog::Warn(LogSource,
                      "reference audio for %s was %.0f s; trimmed to %d s before sending it to "
                      "the engine (vendor recommends 5-30 s)",
                      AVoice.Display, StoredMs / 1000.0, MaxReferenceMs / 1000);
        return PcmToWav(Pcm);
      }
      return IsWavOrMp3(Bytes) ? Bytes : PcmToWav(Pcm);
    }
    if (IsOggData(Bytes)) {
      TPcmBuffer Unused;
      TAppLog::Error(LogSource,
                     "reference audio for %s is ogg but cannot be decoded; the engine does not "
                     "accept ogg, so this voice is unusable. %s",
                     AVoice.Display, OggErrorText(DecodeOgg(Bytes, Unused)));
      return {};
    }
    if (Clip.DurationMs > MaxReferenceMs)
      TAppLog::Warn(LogSource,
                    "reference audio is %.0f s, over the recommended 30 s, and cannot be decoded "
                    "to trim it; the engine may crash",
                    Clip.DurationMs / 1000.0);
    return Bytes;
  }

  TPcmBuffer Merged;
  int32_t MergedMs = 0;
  for (const TVoiceClip& Clip : AVoice.Clips) {
    if (MergedMs >= MaxReferenceMs) {
      TAppLog::Warn(LogSource,
                    "merged reference audio already reached %d s (the vendor caps it at 30 s); "
                    "skipping the remaining clips",
                    MaxReferenceMs / 1000);
      break;
    }
    const std::string Path = ClipPath(Clip);
    std::error_code Ec;
    if (Path.empty() || !fs::exists(Path, Ec)) continue;
    TPcmBuffer Pcm;
    bool Decoded = false;
    try {
      Decoded = DecodeAudio(ReadFileBytes(Path), Pcm);
    } catch (const std::exception&) {
      Decoded = false;
    }
    if (!Decoded || Pcm.SampleRate < MinMergeRate || Pcm.SampleRate > MaxMergeRate) {
      TAppLog::Warn(LogSource, "cannot decode this clip, skipping it in the merge: %s",
                    Clip.FileName);
      continue;
    }
    if (Merged.SampleRate == 0) {
      Merged.SampleRate = Pcm.SampleRate;
      // The longest result: 30 s plus one trailing gap.
      Merged.Data.reserve(NearestCount(Merged.SampleRate * (MaxReferenceMs + MergeGapMs) / 1000.0));
    } else if (Pcm.SampleRate != Merged.SampleRate) {
      Pcm = ResampleTo(Pcm, Merged.SampleRate);
    }
    const double Rate = Merged.SampleRate;
    if (!Merged.Data.empty()) {
      Merged.Data.resize(Merged.Data.size() + NearestCount(Rate * MergeGapMs / 1000.0), 0.0f);
      MergedMs += MergeGapMs;
    }
    const int32_t Room = MaxReferenceMs - MergedMs;
    if (Room <= 0) continue;
    const std::size_t Take = std::min(Pcm.Data.size(), NearestCount(Rate * Room / 1000.0));
    Merged.Data.insert(Merged.Data.end(), Pcm.Data.begin(), Pcm.Data.begin() + Take);
    MergedMs += static_cast<int32_t>(NearestCount(Take / Rate * 1000.0));
  }
  if (Merged.Data.empty()) return {};
  TAppLog::Info(LogSource, "merged the %s reference clips into one - %d clip(s), %.1f s",
                AVoice.Display, AVoice.Clips.size(), MergedMs / 1000.0);
  return PcmToWav(Merged);
}

}  // namespace quavox
