// Encoded replies: every format the HTTP API delivers besides the cached WAV, and the one
// delivery step that turns a clip into the bytes of a reply (rate conversion, loudness,
// encoding). Announcement systems take the WAV; assistants and dashboards want MP3 or
// Opus, paging gateways G.711 at 8 kHz. Pure functions over values; safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/Types.h"

namespace quavox {

enum TAudioFormat : uint8_t { afWav, afMp3, afOpus, afOgg, afFlac, afAac, afPcm, afUlaw, afAlaw };

// The wire name, letter case ignored ("MP3" is mp3); nothing for an unknown name.
std::optional<TAudioFormat> ParseAudioFormat(std::string_view AName);
std::string_view AudioFormatName(TAudioFormat AFormat);
// Every wire name in order, joined by ", ": the list an unknown name is answered with.
std::string KnownAudioFormats();
std::string_view AudioContentType(TAudioFormat AFormat);

// The telephony formats are always sent at this rate, whatever a request names.
constexpr int32_t TelephonyRate = 8000;

// The rate a clip at ASourceRate is delivered at: the telephony rate for G.711; for every
// other format ARequested, or the source rate when that is 0, moved up to the nearest rate
// the codec carries (Opus, MP3 and AAC know only a few).
int32_t DeliveryRate(TAudioFormat AFormat, int32_t ASourceRate, int32_t ARequested);

// Target loudness of a reply in LUFS; 0 leaves the level alone. Targets outside
// MinLoudnessLufs .. MaxLoudnessLufs are refused by the endpoints.
constexpr double MinLoudnessLufs = -60.0;
constexpr double MaxLoudnessLufs = -5.0;
bool IsLoudnessTarget(double ALufs);
// True peak of a loudness-normalised reply stays at or below this.
constexpr double LoudnessCeilingDbtp = -1.0;

struct TDeliveryOptions {
  TAudioFormat Format = afWav;
  int32_t SampleRate = 0;   // 0: the format's own choice (DeliveryRate)
  double LoudnessLufs = 0;  // 0: off
};

struct TEncodedAudio {
  TBytes Bytes;
  int32_t SampleRate = 0;
  int32_t DurationMs = 0;
};

// Encodes a clip whose rate the format carries (see DeliveryRate) as it is. WAV is the
// 16-bit file of the cache; pcm is the same samples without the header. Raises
// std::runtime_error when a codec refuses the clip.
TBytes EncodeAudio(const TPcmBuffer& ABuffer, TAudioFormat AFormat);

// The samples a reply carries: the clip at the delivery rate and loudness, within full
// scale; what DeliverAudio encodes.
TPcmBuffer PrepareDelivery(TPcmBuffer ABuffer, const TDeliveryOptions& AOptions);

// The delivery step shared by every endpoint that answers with audio: band-limited rate
// conversion to the delivery rate, loudness normalisation with the true-peak ceiling, then
// EncodeAudio. Loudness comes after the rate change so it is measured on what is sent.
TEncodedAudio DeliverAudio(TPcmBuffer ABuffer, const TDeliveryOptions& AOptions);

}  // namespace quavox
