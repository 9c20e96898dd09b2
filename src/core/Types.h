// The shared vocabulary of Quavox: request and result records that travel from the HTTP
// API through the queue to an engine and back, voice records, the float PCM buffer, the
// enumerations with their text forms, and the error exception. Records are plain values,
// copied wherever they cross a thread; nothing here holds state.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quavox {

using TBytes = std::vector<uint8_t>;
class TOpenFile;
using TDateTime = std::chrono::system_clock::time_point;

// Bytes that never change once made, shared by every copy instead of copied: one clip held
// by the cache and sent to many clients at once exists once in memory. Reads like a
// const TBytes (and passes as a span of bytes); assigning new bytes replaces them for
// this copy alone.
class TSharedBytes {
 public:
  TSharedBytes() = default;
  TSharedBytes(TBytes ABytes) : FBytes(std::make_shared<const TBytes>(std::move(ABytes))) {}
  explicit TSharedBytes(std::shared_ptr<const TBytes> ABytes,
                        std::shared_ptr<const TOpenFile> AFile = nullptr)
      : FBytes(std::move(ABytes)), FFile(std::move(AFile)) {}

  const TBytes& Bytes() const { return FBytes ? *FBytes : Empty(); }
  // The buffer itself, for holders that outlive this value; null when empty.
  std::shared_ptr<const TBytes> Share() const { return FBytes; }
  // An open file holding exactly these bytes, from which they can be sent without a copy;
  // null for most. New bytes assigned drop it with the old ones.
  const std::shared_ptr<const TOpenFile>& File() const { return FFile; }

  std::size_t size() const { return Bytes().size(); }
  bool empty() const { return Bytes().empty(); }
  const uint8_t* data() const { return Bytes().data(); }
  const uint8_t* begin() const { return data(); }
  const uint8_t* end() const { return data() + size(); }

  friend bool operator==(const TSharedBytes& A, const TSharedBytes& B) {
    return A.Bytes() == B.Bytes();
  }
  friend bool operator==(const TSharedBytes& A, const TBytes& B) { return A.Bytes() == B; }

 private:
  static const TBytes& Empty() {
    static const TBytes None;
    return None;
  }
  std::shared_ptr<const TBytes> FBytes;
  std::shared_ptr<const TOpenFile> FFile;
};

inline constexpr const char* QuavoxVersion = "0.3.26218";
inline constexpr const char* QuavoxUserAgent = "Quavox/0.3.26218";

enum TTtsGender : uint8_t { tgAuto, tgFemale, tgMale };
enum TTtsPriority : uint8_t { tpNormal, tpHigh };
enum TTtsSpeedMode : uint8_t { smEngine, smLocalStretch, smLocalResample };
enum TComputeBackend : uint8_t { cbAuto, cbCpu, cbCuda, cbVulkan };
enum TVoiceKind : uint8_t { vkCloned, vkProfile };
enum TTtsErrorCode : uint8_t {
  ecNone,
  ecEmptyText,
  ecTextTooLong,
  ecBadVoice,
  ecBadSpeed,
  ecBadAudio,
  ecEngineNotConnected,
  ecEngineFailed,
  ecQueueFull,
  ecTimeout,
  ecCloneFailed,
  ecNotFound,
  // A node that follows a primary changes voices, bindings, defaults and the lexicon only
  // by taking the primary's.
  ecFollowerReadOnly
};

// Which genders an airline and language can serve.
class TTtsGenderSet {
 public:
  void Include(TTtsGender AGender) { FBits |= Bit(AGender); }
  bool Contains(TTtsGender AGender) const { return (FBits & Bit(AGender)) != 0; }
  bool IsEmpty() const { return FBits == 0; }
  bool operator==(const TTtsGenderSet&) const = default;

 private:
  static uint8_t Bit(TTtsGender AGender) { return static_cast<uint8_t>(1u << AGender); }
  uint8_t FBits = 0;
};

// Rounds to the nearest integer with ties to the even neighbour, the rule for every
// fraction the system turns into a count.
double RoundHalfEven(double AValue);

struct TTtsRequest {
  std::string Text;
  std::string Airline;
  std::string Language;
  TTtsGender Gender = tgAuto;
  float Speed = 1.0f;
  std::string VoiceId;
  std::string Style;
  TTtsPriority Priority = tpNormal;
  int32_t SampleRate = 0;
  int32_t Seed = 0;
  // Read through the announcement rules and the lexicon before synthesis; a caller can
  // ask for the text to be spoken exactly as written.
  bool NormalizeText = true;
  // Who asked (the client's address; empty for the program itself): the synthesis queue
  // shares its places between clients.
  std::string Client;

  static TTtsRequest Make(std::string_view AText, std::string_view ALanguage, TTtsGender AGender,
                          float ASpeed);
  void Normalize();
  std::string EffectiveText() const;
  std::string Describe() const;
};

struct TTtsResult {
  TSharedBytes Wav;
  int32_t SampleRate = 0;
  int32_t Channels = 1;
  int32_t DurationMs = 0;
  int32_t SynthMs = 0;
  std::string VoiceId;
  std::string Language;
  TTtsGender Gender = tgAuto;
  float Speed = 1.0f;
  std::string Engine;
  std::string ETag;
  bool FromCache = false;
  // The text the engine spoke (or that the cached clip holds), after the rules.
  std::string SpokenText;
  // The rules changed the text; only then is the spoken text sent back, so a text with
  // nothing to rewrite gets exactly the reply it always had.
  bool TextRewritten = false;

  bool IsEmpty() const { return Wav.empty(); }
  // Writes Wav to a file, creating or replacing it; raises std::system_error on failure.
  void SaveToFile(const std::string& AFileName) const;
};

struct TVoiceClip {
  std::string FileName;
  std::string Text;
  int32_t DurationMs = 0;
};

struct TVoiceInfo {
  std::string Id;
  std::string Display;
  TVoiceKind Kind = vkCloned;
  std::string ProfileFile;
  std::vector<TVoiceClip> Clips;
  std::string RefAudioFile;
  std::string RefText;
  std::string Language;
  TTtsGender Gender = tgAuto;
  std::string Style;
  std::string Note;
  int32_t Seed = 0;
  TDateTime CreatedAt{};

  bool IsEmpty() const { return Id.empty(); }
};

struct TVoiceClipInput {
  TBytes Audio;
  std::string Text;
};

struct TVoiceCloneSpec {
  std::string Display;
  std::string Language;
  TTtsGender Gender = tgAuto;
  std::vector<TVoiceClipInput> Clips;
  std::string Style;
  std::string Note;
};

struct TVoiceHint {
  std::string Language;
  TTtsGender Gender = tgAuto;
  int32_t Seed = 0;
  std::string Display;

  static TVoiceHint FromVoice(const TVoiceInfo& AVoice);
};

struct TS2Params {
  std::string Text;
  // Shared, not copied, on its way from the voice library to the engine.
  TSharedBytes ReferenceAudio;
  std::string ReferenceText;
  std::string VoiceProfile;
  int32_t MaxNewTokens = 1024;
  float Temperature = 0.58f;
  float TopP = 0.8f;
  int32_t TopK = 40;
  float RepetitionPenalty = 1.1f;
  int32_t Seed = 0;

  static TS2Params Defaults() { return {}; }
};

struct TEngineOptions {
  std::string ModelFile;
  TComputeBackend Compute = cbAuto;
  int32_t GpuDevice = 0;
  int32_t GpuLayers = -1;
  int32_t Threads = 0;
  bool UseMirror = true;
  std::string PackageBaseUrl;
  int32_t TimeoutMs = 180000;
  int32_t MaxNewTokens = 1024;
  float Temperature = 0.58f;
  float TopP = 0.8f;
  int32_t TopK = 40;
  float RepetitionPenalty = 1.1f;
  std::string ExtraArgs;
  // After the inference process has run this many minutes healthy, its automatic restarts
  // are counted from zero again; 0 keeps at most three restarts between two starts.
  int32_t RestartForgiveMinutes = 0;

  std::string Describe() const;
};

struct TPcmBuffer {
  std::vector<float> Data;
  int32_t SampleRate = 0;

  int32_t DurationMs() const;
  bool IsEmpty() const { return Data.empty(); }
  static TPcmBuffer Silence(int32_t ASampleRate, int32_t AMs);
};

// The one exception the service raises; its code travels end to end and decides the
// HTTP status and the "error" member of the JSON error body.
class ETtsError : public std::runtime_error {
 public:
  ETtsError(TTtsErrorCode ACode, const std::string& AMsg)
      : std::runtime_error(AMsg), FCode(ACode) {}
  [[noreturn]] static void Raise_(TTtsErrorCode ACode, const std::string& AMsg);
  TTtsErrorCode Code() const { return FCode; }
  int HttpStatus() const;

 private:
  TTtsErrorCode FCode;
};

std::string NormalizeAirline(std::string_view AText);
std::string NormalizeLanguage(std::string_view AText);
std::string LanguageName(std::string_view ACode);
std::string LanguageLabel(std::string_view ACode);
const std::vector<std::string>& KnownLanguages();

std::string GenderToStr(TTtsGender AGender);
TTtsGender ParseGender(std::string_view AText);
std::string GenderDisplay(TTtsGender AGender);
std::string ComputeToStr(TComputeBackend ACompute);
TComputeBackend ParseCompute(std::string_view AText);
std::string ComputeDisplay(TComputeBackend ACompute);
std::string SpeedModeToStr(TTtsSpeedMode AMode);
TTtsSpeedMode ParseSpeedMode(std::string_view AText);
std::string SpeedModeDisplay(TTtsSpeedMode AMode);

std::string Sha256Hex(std::string_view AText);
std::string Sha256Hex(const TBytes& ABytes);
std::string ErrorCodeName(TTtsErrorCode ACode);
int ErrorCodeHttpStatus(TTtsErrorCode ACode);
float ClampSpeed(float ASpeed);

}  // namespace quavox
