#include "audio/Audio.h"

#include <dlfcn.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <string>

#include "audio/Wav.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/ThreadAnnotations.h"
#include "platform/Files.h"

namespace quavox {

namespace {

using TDecodeFunc = int32_t (*)(const uint8_t* AData, int64_t ASize, float** ASamples,
                                int64_t* ACount, int32_t* ARate);
using TFreeFunc = void (*)(float* ASamples);

constexpr const char* DecoderFileName = "libquavox_audio.so";
constexpr int32_t DecoderOk = 1;
constexpr int32_t DecoderOpus = -2;
// Frame syncs are looked for in this many leading bytes only.
constexpr std::size_t Mp3SyncWindow = 8192;

struct TDecoderEntries {
  TDecodeFunc Mp3 = nullptr;
  TDecodeFunc Ogg = nullptr;
  TFreeFunc Free = nullptr;

  bool Complete() const { return Mp3 && Ogg && Free; }
};

// The process-wide decoder library. It is loaded at most once, by whichever thread needs it
// first (the others wait for that load), never retried, and released when the process ends.
// The lock covers the load only; decoding calls run outside it.
class TDecoderLibrary {
 public:
  ~TDecoderLibrary() {
    TLockGuard Guard(FLock);
    FEntries = {};
    if (FHandle) dlclose(FHandle);
    FHandle = nullptr;
  }

  void SetPath(const std::string& APath) {
    TLockGuard Guard(FLock);
    if (!FAttempted) FPath = APath;
  }

  std::string Path() {
    TLockGuard Guard(FLock);
    return FPath.empty() ? DecoderPath() : FPath;
  }

  TDecoderEntries Entries() {
    TLockGuard Guard(FLock);
    if (!FAttempted) Load();
    return FEntries;
  }

 private:
  void Load() QX_REQUIRES(FLock) {
    FAttempted = true;
    const std::string Path = FPath.empty() ? DecoderPath() : FPath;
    std::error_code Error;
    if (!std::filesystem::exists(Path, Error)) {
      TAppLog::Warn("audio",
                    "libquavox_audio.so not found: single MP3 clips pass through to the engine, "
                    "ogg is unavailable");
      return;
    }
    dlerror();
    void* Handle = dlopen(Path.c_str(), RTLD_NOW | RTLD_LOCAL);
    std::string Reason;
    TDecoderEntries Entries;
    if (Handle) {
      Entries.Mp3 = reinterpret_cast<TDecodeFunc>(Lookup(Handle, "quavox_mp3_decode", Reason));
      Entries.Ogg = reinterpret_cast<TDecodeFunc>(Lookup(Handle, "quavox_ogg_decode", Reason));
      Entries.Free = reinterpret_cast<TFreeFunc>(Lookup(Handle, "quavox_audio_free", Reason));
    } else {
      const char* Text = dlerror();
      Reason = Text ? Text : "unknown error";
    }
    if (!Entries.Complete()) {
      // A library without every entry point is of no use; it is not kept loaded.
      if (Handle) dlclose(Handle);
      TAppLog::Warn("audio",
                    "cannot load libquavox_audio.so (%s): multi-clip MP3 merging and ogg "
                    "reference audio are unavailable",
                    Reason);
      return;
    }
    FHandle = Handle;
    FEntries = Entries;
  }

  // The symbol's address; the first failure's text goes to AReason.
  static void* Lookup(void* AHandle, const char* AName, std::string& AReason) {
    dlerror();
    void* Symbol = dlsym(AHandle, AName);
    if (!Symbol && AReason.empty()) {
      const char* Text = dlerror();
      AReason = Text ? Text : std::string("missing ") + AName;
    }
    return Symbol;
  }

  TMutex FLock;
  bool FAttempted QX_GUARDED_BY(FLock) = false;
  std::string FPath QX_GUARDED_BY(FLock);
  void* FHandle QX_GUARDED_BY(FLock) = nullptr;
  TDecoderEntries FEntries QX_GUARDED_BY(FLock);
};

TDecoderLibrary& Library() {
  static TDecoderLibrary Instance;
  return Instance;
}

bool StartsWith(const TBytes& ABytes, std::string_view APrefix) {
  return ABytes.size() >= APrefix.size() &&
         std::equal(APrefix.begin(), APrefix.end(), ABytes.begin(),
                    [](char A, uint8_t B) { return static_cast<uint8_t>(A) == B; });
}

void FreeSamples(TFreeFunc AFree, float* ASamples) {
  try {
    AFree(ASamples);
  } catch (const std::exception& E) {
    TAppLog::Error("audio", "decoder crashed: %s", E.what());
  } catch (...) {
    TAppLog::Error("audio", "decoder crashed: %s", "unknown exception");
  }
}

// One call into the library under its contract: only status 1 hands over samples, and those
// are freed exactly once, usable or not. AStatus receives the library's status (0 when the
// call raised).
bool CallDecoder(TDecodeFunc ADecode, TFreeFunc AFree, const TBytes& ABytes, TPcmBuffer& APcm,
                 int32_t& AStatus) {
  APcm = TPcmBuffer{};
  AStatus = 0;
  float* Samples = nullptr;
  int64_t Count = 0;
  int32_t Rate = 0;
  try {
    AStatus = ADecode(ABytes.data(), static_cast<int64_t>(ABytes.size()), &Samples, &Count, &Rate);
  } catch (const std::exception& E) {
    TAppLog::Error("audio", "decoder crashed: %s", E.what());
    return false;
  } catch (...) {
    TAppLog::Error("audio", "decoder crashed: %s", "unknown exception");
    return false;
  }
  if (AStatus != DecoderOk) return false;
  bool Copied = false;
  if (Samples && Count > 0 && Rate > 0) {
    try {
      APcm.Data.assign(Samples, Samples + Count);
      APcm.SampleRate = Rate;
      Copied = true;
    } catch (const std::exception&) {
      // A count beyond memory is a failed decode, not a failure of the caller.
      APcm = TPcmBuffer{};
    }
  }
  FreeSamples(AFree, Samples);
  return Copied;
}

}  // namespace

std::string DecoderPath() {
  return ProgramFilesDir() + DecoderFileName;
}

void SetDecoderPathForTesting(const std::string& APath) {
  Library().SetPath(APath);
}

bool DecoderAvailable() {
  return Library().Entries().Complete();
}

bool LooksLikeMp3(const TBytes& ABytes) {
  if (ABytes.size() < 4) return false;
  if (StartsWith(ABytes, "ID3")) return true;
  const std::size_t Limit = std::min(ABytes.size() - 2, Mp3SyncWindow);
  for (std::size_t i = 0; i < Limit; ++i) {
    if (ABytes[i] == 0xFF && (ABytes[i + 1] & 0xE0) == 0xE0) return true;
  }
  return false;
}

namespace {

// Length in bytes of the MPEG audio frame whose header starts at APos, or 0 when the four
// bytes there are no valid header (sync, version, layer, bit rate, sample rate).
std::size_t Mp3FrameLength(const TBytes& ABytes, std::size_t APos) {
  if (APos + 4 > ABytes.size()) return 0;
  const uint8_t* h = ABytes.data() + APos;
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
  const int Version = (h[1] >> 3) & 3;  // 0: MPEG 2.5, 2: MPEG 2, 3: MPEG 1
  const int Layer = (h[1] >> 1) & 3;    // 1: III, 2: II, 3: I
  const int BitrateIndex = h[2] >> 4;
  const int RateIndex = (h[2] >> 2) & 3;
  if (Version == 1 || Layer == 0 || BitrateIndex == 0 || BitrateIndex == 15 || RateIndex == 3)
    return 0;
  // By MPEG-1 or not, then layer III, II, I.
  static constexpr int Kbps[2][3][15] = {
      {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}},
      {{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}}};
  static constexpr int Rates[4][3] = {
      {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  const bool Mpeg1 = Version == 3;
  const int Bitrate = Kbps[Mpeg1 ? 0 : 1][Layer - 1][BitrateIndex] * 1000;
  const int Rate = Rates[Version][RateIndex];
  if (Bitrate == 0 || Rate == 0) return 0;
  const int Padding = (h[2] >> 1) & 1;
  if (Layer == 3) return static_cast<std::size_t>((12 * Bitrate / Rate + Padding) * 4);
  const int SamplesPerFrame = Layer == 1 && !Mpeg1 ? 576 : 1152;
  return static_cast<std::size_t>(SamplesPerFrame / 8 * Bitrate / Rate + Padding);
}

// Bytes taken by an ID3v2 tag at the start (its size is four 7-bit bytes), or 0.
std::size_t Id3TagLength(const TBytes& ABytes) {
  if (ABytes.size() < 10 || !StartsWith(ABytes, "ID3")) return 0;
  std::size_t Size = 0;
  for (int i = 6; i < 10; ++i)
    Size = (Size << 7) | (ABytes[i] & 0x7F);
  return 10 + Size + ((ABytes[5] & 0x10) ? 10 : 0);
}

}  // namespace

bool HasMp3Frames(const TBytes& ABytes) {
  const std::size_t First = Id3TagLength(ABytes);
  const std::size_t Limit = std::min(ABytes.size(), First + Mp3SyncWindow);
  for (std::size_t i = First; i < Limit; ++i) {
    const std::size_t Length = Mp3FrameLength(ABytes, i);
    if (Length == 0) continue;
    if (i + Length == ABytes.size() || Mp3FrameLength(ABytes, i + Length) > 0) return true;
  }
  return false;
}

std::string EffectiveDecoderPath() {
  return Library().Path();
}

bool IsOggData(const TBytes& ABytes) {
  return StartsWith(ABytes, "OggS");
}

bool IsWavOrMp3(const TBytes& ABytes) {
  return (ABytes.size() >= 12 && StartsWith(ABytes, "RIFF")) ||
         (LooksLikeMp3(ABytes) && !IsOggData(ABytes));
}

std::string AudioExtension(const TBytes& ABytes) {
  // RIFF and Ogg first: PCM samples and Ogg pages often hold bytes that look like MP3 syncs.
  if (ABytes.size() > 12 && StartsWith(ABytes, "RIFF")) return ".wav";
  if (IsOggData(ABytes)) return ".ogg";
  if (LooksLikeMp3(ABytes)) return ".mp3";
  return {};
}

bool DecodeMp3(const TBytes& ABytes, TPcmBuffer& APcm) {
  if (ABytes.empty()) return false;
  const TDecoderEntries Entries = Library().Entries();
  if (!Entries.Complete()) return false;
  int32_t Status = 0;
  return CallDecoder(Entries.Mp3, Entries.Free, ABytes, APcm, Status);
}

TOggDecodeResult DecodeOgg(const TBytes& ABytes, TPcmBuffer& APcm) {
  if (ABytes.empty()) return odBroken;
  if (!IsOggData(ABytes)) return odNotOgg;
  const TDecoderEntries Entries = Library().Entries();
  if (!Entries.Complete()) return odNoDecoder;
  int32_t Status = 0;
  if (CallDecoder(Entries.Ogg, Entries.Free, ABytes, APcm, Status)) return odOk;
  return Status == DecoderOpus ? odOpus : odBroken;
}

std::string OggErrorText(TOggDecodeResult AResult) {
  switch (AResult) {
    case odOk:
      return {};
    case odNoDecoder:
      return Translate("这台机器旁边没有 libquavox_audio.so,ogg 解不开 —— ") +
             Translate("引擎自己也不认 ogg,请换成 WAV 或 MP3。");
    case odNotOgg:
      return Translate("这不是 ogg 文件。");
    case odOpus:
      return Translate("这是 Opus 编码的 .ogg。Opus 和 Vorbis 是两种编码,这里只能解 Vorbis;") +
             Translate("用别的工具转成 WAV / MP3 / Ogg Vorbis 再来。");
    default:
      return Translate("ogg 解不开(文件可能不完整或已损坏)。");
  }
}

bool DecodeAudio(const TBytes& ABytes, TPcmBuffer& APcm) {
  if (WavToPcm(ABytes, APcm)) return true;
  bool Decoded = false;
  if (IsOggData(ABytes)) {
    Decoded = DecodeOgg(ABytes, APcm) == odOk;
  } else if (LooksLikeMp3(ABytes)) {
    Decoded = DecodeMp3(ABytes, APcm);
  }
  if (!Decoded) APcm = TPcmBuffer{};
  return Decoded;
}

}  // namespace quavox
