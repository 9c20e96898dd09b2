#include "audio/Encode.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <span>

#include "audio/EncodeBackends.h"
#include "audio/Loudness.h"
#include "audio/Resample.h"
#include "audio/Wav.h"
#include "core/Text.h"

namespace quavox {

namespace {

struct TFormatInfo {
  TAudioFormat Format;
  std::string_view Name;
  std::string_view ContentType;
};

constexpr std::array<TFormatInfo, 9> Formats = {{
    {afWav, "wav", "audio/wav"},
    {afMp3, "mp3", "audio/mpeg"},
    {afOpus, "opus", "audio/ogg; codecs=opus"},
    {afOgg, "ogg", "audio/ogg; codecs=vorbis"},
    {afFlac, "flac", "audio/flac"},
    {afAac, "aac", "audio/aac"},
    {afPcm, "pcm", "audio/pcm"},
    {afUlaw, "ulaw", "audio/wav"},
    {afAlaw, "alaw", "audio/wav"},
}};

const TFormatInfo& Info(TAudioFormat AFormat) {
  return Formats[std::min<size_t>(AFormat, Formats.size() - 1)];
}

constexpr int32_t OpusRates[] = {8000, 12000, 16000, 24000, 48000};
constexpr int32_t Mp3Rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
constexpr int32_t AacRates[] = {7350,  8000,  11025, 12000, 16000, 22050, 24000,
                                32000, 44100, 48000, 64000, 88200, 96000};

// The lowest listed rate at or above ARate, or the highest one.
int32_t RateAtLeast(std::span<const int32_t> ARates, int32_t ARate) {
  for (const int32_t Rate : ARates)
    if (Rate >= ARate) return Rate;
  return ARates.back();
}

void ClipToFullScale(TPcmBuffer& ABuffer) {
  for (float& Sample : ABuffer.Data)
    Sample = std::clamp(Sample, -1.0f, 1.0f);
}

}  // namespace

TBytes RawPcm(const TPcmBuffer& ABuffer) {
  constexpr size_t WavHeaderBytes = 44;
  TBytes Wav = PcmToWav(ABuffer);
  Wav.erase(Wav.begin(), Wav.begin() + WavHeaderBytes);
  return Wav;
}

std::optional<TAudioFormat> ParseAudioFormat(std::string_view AName) {
  for (const TFormatInfo& Format : Formats)
    if (SameTextAscii(AName, Format.Name)) return Format.Format;
  return std::nullopt;
}

std::string_view AudioFormatName(TAudioFormat AFormat) {
  return Info(AFormat).Name;
}

std::string KnownAudioFormats() {
  std::string List;
  for (const TFormatInfo& Format : Formats) {
    if (!List.empty()) List += ", ";
    List += Format.Name;
  }
  return List;
}

std::string_view AudioContentType(TAudioFormat AFormat) {
  return Info(AFormat).ContentType;
}

int32_t DeliveryRate(TAudioFormat AFormat, int32_t ASourceRate, int32_t ARequested) {
  // G.711 exists only at 8 kHz; telephone systems take nothing else.
  if (AFormat == afUlaw || AFormat == afAlaw) return TelephonyRate;
  const int32_t Wanted = ARequested > 0 ? ARequested : ASourceRate;
  switch (AFormat) {
    case afOpus:
      return RateAtLeast(OpusRates, Wanted);
    case afMp3:
      return RateAtLeast(Mp3Rates, Wanted);
    case afAac:
      return RateAtLeast(AacRates, Wanted);
    default:
      return Wanted;
  }
}

bool IsLoudnessTarget(double ALufs) {
  return ALufs >= MinLoudnessLufs && ALufs <= MaxLoudnessLufs;
}

TBytes EncodeAudio(const TPcmBuffer& ABuffer, TAudioFormat AFormat) {
  switch (AFormat) {
    case afWav:
      return PcmToWav(ABuffer);
    case afPcm:
      return RawPcm(ABuffer);
    case afMp3:
      return EncodeWithSndfile(ABuffer, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    case afOgg:
      return EncodeWithSndfile(ABuffer, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    case afFlac:
      return EncodeWithSndfile(ABuffer, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    case afUlaw:
      return EncodeWithSndfile(ABuffer, SF_FORMAT_WAV | SF_FORMAT_ULAW);
    case afAlaw:
      return EncodeWithSndfile(ABuffer, SF_FORMAT_WAV | SF_FORMAT_ALAW);
    case afOpus:
      return EncodeOggOpus(ABuffer);
    case afAac:
      return EncodeAdtsAac(ABuffer);
  }
  return PcmToWav(ABuffer);
}

TPcmBuffer PrepareDelivery(TPcmBuffer ABuffer, const TDeliveryOptions& AOptions) {
  const int32_t Rate = DeliveryRate(AOptions.Format, ABuffer.SampleRate, AOptions.SampleRate);
  if (Rate != ABuffer.SampleRate) ABuffer = ResampleBandLimited(ABuffer, Rate);
  if (IsLoudnessTarget(AOptions.LoudnessLufs))
    NormalizeLoudness(ABuffer, AOptions.LoudnessLufs, LoudnessCeilingDbtp);
  ClipToFullScale(ABuffer);
  return ABuffer;
}

TEncodedAudio DeliverAudio(TPcmBuffer ABuffer, const TDeliveryOptions& AOptions) {
  ABuffer = PrepareDelivery(std::move(ABuffer), AOptions);
  TEncodedAudio Out;
  Out.Bytes = EncodeAudio(ABuffer, AOptions.Format);
  Out.SampleRate = ABuffer.SampleRate;
  Out.DurationMs = ABuffer.DurationMs();
  return Out;
}

}  // namespace quavox
