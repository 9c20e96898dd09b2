#include "VoiceAnalysis.h"

#include <mpg123.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "TextAnalysis.h"
#include "audio/Wav.h"
#include "core/Text.h"

namespace quavox::s2 {

namespace {

// Pitch is measured on a copy reduced to about this rate: voices have nothing below
// 60 Hz or above a few kHz that the autocorrelation needs, and it keeps long clips cheap.
const double AnalysisRate = 11025;
const double MinF0 = 60, MaxF0 = 400;
const double FrameS = 0.010;   // hop between loudness frames
const double WindowS = 0.040;  // two periods of the lowest pitch
// Frames below this share of the loud frames' level count as silence.
const double SilenceShare = 0.12;
const double MinCorrelation = 0.6;
const int MinVoicedFrames = 5;

bool LooksLikeMpegFrame(const std::string& ABytes) {
  if (ABytes.size() < 4) return false;
  const auto b0 = static_cast<uint8_t>(ABytes[0]);
  const auto b1 = static_cast<uint8_t>(ABytes[1]);
  const auto b2 = static_cast<uint8_t>(ABytes[2]);
  // Frame sync, a defined version and layer, and a usable bit-rate and sample-rate index.
  return b0 == 0xFF && (b1 & 0xE0) == 0xE0 && (b1 & 0x18) != 0x08 && (b1 & 0x06) != 0 &&
         (b2 & 0xF0) != 0xF0 && (b2 & 0x0C) != 0x0C;
}

struct TMpg123Deleter {
  void operator()(mpg123_handle* AHandle) const { mpg123_delete(AHandle); }
};

bool DecodeMp3(const std::string& ABytes, TPcmBuffer& APcm, double AMaxSeconds) {
  int Error = MPG123_OK;
  std::unique_ptr<mpg123_handle, TMpg123Deleter> h(mpg123_new(nullptr, &Error));
  if (!h) return false;
  mpg123_param(h.get(), MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_MONO_MIX | MPG123_FORCE_FLOAT, 0.0);
  if (mpg123_open_feed(h.get()) != MPG123_OK) return false;
  if (mpg123_feed(h.get(), reinterpret_cast<const unsigned char*>(ABytes.data()), ABytes.size()) !=
      MPG123_OK)
    return false;
  APcm = TPcmBuffer();
  long Rate = 0;
  int Channels = 1, Encoding = 0;
  std::vector<unsigned char> Chunk(64 * 1024);
  // A decoder that keeps answering "ok" without output must not hold the request forever.
  for (int Idle = 0; Idle < 1000;) {
    size_t Done = 0;
    const int r = mpg123_read(h.get(), Chunk.data(), Chunk.size(), &Done);
    Idle = Done == 0 ? Idle + 1 : 0;
    if (r == MPG123_NEW_FORMAT) {
      mpg123_getformat(h.get(), &Rate, &Channels, &Encoding);
      if (Rate <= 0 || Channels < 1) return false;
      // A stream that changes rate midway is cut at the change.
      if (APcm.SampleRate != 0 && APcm.SampleRate != Rate) break;
      APcm.SampleRate = static_cast<int32_t>(Rate);
      continue;
    }
    if (Done > 0 && APcm.SampleRate > 0) {
      if (Encoding == MPG123_ENC_FLOAT_32) {
        const size_t Frames = Done / (sizeof(float) * Channels);
        for (size_t i = 0; i < Frames; ++i) {
          float Sum = 0;
          for (int c = 0; c < Channels; ++c) {
            float s;
            std::memcpy(&s, Chunk.data() + (i * Channels + c) * sizeof(float), sizeof(float));
            Sum += s;
          }
          APcm.Data.push_back(Sum / Channels);
        }
      } else if (Encoding == MPG123_ENC_SIGNED_16) {
        const size_t Frames = Done / (sizeof(int16_t) * Channels);
        for (size_t i = 0; i < Frames; ++i) {
          float Sum = 0;
          for (int c = 0; c < Channels; ++c) {
            int16_t s;
            std::memcpy(&s, Chunk.data() + (i * Channels + c) * sizeof(int16_t), sizeof(s));
            Sum += s / 32768.0f;
          }
          APcm.Data.push_back(Sum / Channels);
        }
      } else {
        return false;
      }
      if (APcm.Data.size() >= AMaxSeconds * APcm.SampleRate) break;
    }
    if (r != MPG123_OK) break;  // MPG123_NEED_MORE: everything fed is decoded
  }
  for (float& s : APcm.Data) {
    if (!std::isfinite(s)) s = 0;
  }
  return APcm.SampleRate > 0 && !APcm.Data.empty();
}

double Median(std::vector<double> AValues) {
  if (AValues.empty()) return 0;
  const size_t Mid = AValues.size() / 2;
  std::nth_element(AValues.begin(), AValues.begin() + Mid, AValues.end());
  double m = AValues[Mid];
  if (AValues.size() % 2 == 0) {
    m = (m + *std::max_element(AValues.begin(), AValues.begin() + Mid)) / 2;
  }
  return m;
}

double Percentile(std::vector<double> AValues, double AShare) {
  if (AValues.empty()) return 0;
  const auto k = static_cast<size_t>(AShare * (AValues.size() - 1));
  std::nth_element(AValues.begin(), AValues.begin() + k, AValues.end());
  return AValues[k];
}

// Averages groups of samples: a crude low-pass and decimation in one step.
std::vector<float> Reduce(const TPcmBuffer& APcm, double& ARate) {
  const int Factor = std::max(1, static_cast<int>(std::lround(APcm.SampleRate / AnalysisRate)));
  ARate = static_cast<double>(APcm.SampleRate) / Factor;
  std::vector<float> Out(APcm.Data.size() / Factor);
  for (size_t i = 0; i < Out.size(); ++i) {
    float Sum = 0;
    for (int k = 0; k < Factor; ++k) {
      const float s = APcm.Data[i * Factor + k];
      Sum += std::isfinite(s) ? s : 0.0f;
    }
    Out[i] = Sum / Factor;
  }
  return Out;
}

// Normalised autocorrelation pitch of one frame; 0 when the frame is not voiced.
double FramePitch(std::span<const float> AFrame, int AWindow, int AMinLag, int AMaxLag,
                  double ARate) {
  std::vector<double> x(AFrame.begin(), AFrame.end());
  double Mean = 0;
  for (double s : x)
    Mean += s;
  Mean /= static_cast<double>(x.size());
  for (double& s : x)
    s -= Mean;
  double E0 = 0;
  for (int n = 0; n < AWindow; ++n)
    E0 += x[n] * x[n];
  if (E0 <= 1e-12) return 0;
  double Et = 0;
  for (int n = AMinLag; n < AMinLag + AWindow; ++n)
    Et += x[n] * x[n];
  std::vector<double> Ncc(AMaxLag + 2, 0.0);
  for (int Lag = AMinLag; Lag <= AMaxLag + 1; ++Lag) {
    double Cross = 0;
    for (int n = 0; n < AWindow; ++n)
      Cross += x[n] * x[n + Lag];
    Ncc[Lag] = Et > 1e-12 ? Cross / std::sqrt(E0 * Et) : 0;
    Et += x[Lag + AWindow] * x[Lag + AWindow] - x[Lag] * x[Lag];
  }
  int Best = AMinLag;
  for (int Lag = AMinLag; Lag <= AMaxLag; ++Lag) {
    if (Ncc[Lag] > Ncc[Best]) Best = Lag;
  }
  if (Ncc[Best] < MinCorrelation) return 0;
  // Multiples of the period correlate almost as well as the period itself; the shortest
  // lag that nearly matches the best is the period.
  int Lag = Best;
  for (int l = AMinLag + 1; l < Best; ++l) {
    if (Ncc[l] >= 0.88 * Ncc[Best] && Ncc[l] >= Ncc[l - 1] && Ncc[l] >= Ncc[l + 1]) {
      Lag = l;
      break;
    }
  }
  double Exact = Lag;
  if (Lag > AMinLag) {
    const double a = Ncc[Lag - 1], b = Ncc[Lag], c = Ncc[Lag + 1];
    const double Denom = a - 2 * b + c;
    if (std::fabs(Denom) > 1e-12) Exact += std::clamp(0.5 * (a - c) / Denom, -0.5, 0.5);
  }
  return ARate / Exact;
}

}  // namespace

TReferenceFormat SniffReference(const std::string& ABytes, const std::string& AFileName) {
  if (StartsWith(ABytes, "RIFF") || StartsWith(ABytes, "RIFX") || StartsWith(ABytes, "RF64"))
    return rfWav;
  if (StartsWith(ABytes, "OggS")) return rfOgg;
  if (StartsWith(ABytes, "ID3") || LooksLikeMpegFrame(ABytes)) return rfMp3;
  if (EndsWith(LowerAscii(AFileName), ".mp3")) return rfMp3;
  return rfUnknown;
}

const char* ReferenceFormatName(TReferenceFormat AFormat) {
  switch (AFormat) {
    case rfWav:
      return "wav";
    case rfMp3:
      return "mp3";
    case rfOgg:
      return "ogg";
    default:
      return "unknown";
  }
}

bool DecodeReference(const std::string& ABytes, TReferenceFormat AFormat, TPcmBuffer& APcm,
                     double AMaxSeconds) {
  APcm = TPcmBuffer();
  bool Ok = false;
  if (AFormat == rfWav) {
    Ok = WavToPcm(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(ABytes.data()), ABytes.size()),
        APcm);
  } else if (AFormat == rfMp3) {
    Ok = DecodeMp3(ABytes, APcm, AMaxSeconds);
  }
  if (!Ok || APcm.SampleRate < 4000 || APcm.SampleRate > 384000 || APcm.Data.empty()) {
    APcm = TPcmBuffer();
    return false;
  }
  const auto Max = static_cast<size_t>(AMaxSeconds * APcm.SampleRate);
  if (APcm.Data.size() > Max) APcm.Data.resize(Max);
  return true;
}

TVoiceTraits MeasureVoice(const TPcmBuffer& APcm, const std::string& ATranscript) {
  TVoiceTraits t;
  if (APcm.SampleRate <= 0 || APcm.Data.empty()) return t;
  t.DurationS = static_cast<double>(APcm.Data.size()) / APcm.SampleRate;
  double Rate = 0;
  const std::vector<float> x = Reduce(APcm, Rate);
  const int Hop = std::max(1, static_cast<int>(std::lround(Rate * FrameS)));
  const int Window = std::max(2, static_cast<int>(std::lround(Rate * WindowS)));
  const int MinLag = std::max(2, static_cast<int>(std::floor(Rate / MaxF0)));
  const int MaxLag = std::max(MinLag + 2, static_cast<int>(std::ceil(Rate / MinF0)));
  if (x.size() < static_cast<size_t>(Window)) return t;

  const size_t Frames = (x.size() - Window) / Hop + 1;
  std::vector<double> Level(Frames);
  for (size_t f = 0; f < Frames; ++f) {
    double Sum = 0;
    for (int n = 0; n < Window; ++n)
      Sum += static_cast<double>(x[f * Hop + n]) * x[f * Hop + n];
    Level[f] = std::sqrt(Sum / Window);
  }
  const double Loud = Percentile(Level, 0.95);
  if (Loud < 1e-4) return t;
  const double Threshold = std::max(SilenceShare * Loud, 1e-4);

  // Pitch on every other audible frame: 50 estimates a second are plenty for a median.
  std::vector<double> Pitches;
  const size_t Span = static_cast<size_t>(MaxLag + 2 + Window);
  for (size_t f = 0; f < Frames; f += 2) {
    if (Level[f] < Threshold || f * Hop + Span > x.size()) continue;
    const double F0 =
        FramePitch(std::span<const float>(x).subspan(f * Hop, Span), Window, MinLag, MaxLag, Rate);
    if (F0 > 0) Pitches.push_back(F0);
  }
  t.VoicedFrames = static_cast<int>(Pitches.size());
  if (t.VoicedFrames >= MinVoicedFrames) {
    t.MedianF0 = Median(Pitches);
    t.F0Range = (Percentile(Pitches, 0.84) - Percentile(Pitches, 0.16)) / 2;
  }

  // Speaking time: audible frames, with pauses shorter than a quarter second bridged.
  const auto MaxGap = static_cast<size_t>(0.25 / FrameS);
  size_t Speaking = 0;
  size_t LastAudible = 0;
  bool Any = false;
  for (size_t f = 0; f < Frames; ++f) {
    if (Level[f] < Threshold) continue;
    if (Any && f - LastAudible <= MaxGap) {
      Speaking += f - LastAudible;
    } else {
      Speaking += 1;
    }
    LastAudible = f;
    Any = true;
  }
  const double SpeakingS = static_cast<double>(Speaking) * FrameS;
  if (SpeakingS < 0.3) return t;

  const int Syllables = CountSyllables(ATranscript);
  if (Syllables >= 3) {
    t.SyllablesPerSecond = Syllables / SpeakingS;
    t.RateFromTranscript = true;
    return t;
  }
  // Without a transcript: loudness peaks at least 100 ms apart with a dip between them.
  std::vector<double> Smooth(Frames);
  for (size_t f = 0; f < Frames; ++f) {
    double Sum = 0;
    int n = 0;
    for (size_t k = f >= 2 ? f - 2 : 0; k <= std::min(Frames - 1, f + 2); ++k, ++n)
      Sum += Level[k];
    Smooth[f] = Sum / n;
  }
  int Peaks = 0;
  double LastPeak = 0;
  double Valley = 1e30;
  for (size_t f = 0; f < Frames; ++f) {
    Valley = std::min(Valley, Smooth[f]);
    if (Smooth[f] < 0.25 * Loud) continue;
    bool IsMax = true;
    for (size_t k = f >= 5 ? f - 5 : 0; k <= std::min(Frames - 1, f + 5) && IsMax; ++k)
      IsMax = Smooth[k] <= Smooth[f] && (Smooth[k] < Smooth[f] || k >= f);
    if (!IsMax) continue;
    if (Peaks == 0 || Valley < 0.7 * std::min(LastPeak, Smooth[f])) {
      ++Peaks;
      LastPeak = Smooth[f];
      Valley = 1e30;
    }
  }
  t.SyllablesPerSecond = Peaks / SpeakingS;
  return t;
}

}  // namespace quavox::s2
