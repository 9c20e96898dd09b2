#include "audio/Resample.h"

#include <soxr.h>

#include <cmath>
#include <stdexcept>

namespace quavox {

TPcmBuffer ResampleBandLimited(const TPcmBuffer& ABuffer, int32_t ARate) {
  if (ARate <= 0 || ABuffer.SampleRate <= 0 || ARate == ABuffer.SampleRate) return ABuffer;
  TPcmBuffer Out;
  Out.SampleRate = ARate;
  if (ABuffer.Data.empty()) return Out;
  const double Ratio = static_cast<double>(ARate) / ABuffer.SampleRate;
  Out.Data.resize(static_cast<size_t>(std::llround(ABuffer.Data.size() * Ratio)) + 1);
  const soxr_io_spec_t Io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t Quality = soxr_quality_spec(SOXR_HQ, 0);
  size_t Done = 0;
  const soxr_error_t Error =
      soxr_oneshot(ABuffer.SampleRate, ARate, 1, ABuffer.Data.data(), ABuffer.Data.size(), nullptr,
                   Out.Data.data(), Out.Data.size(), &Done, &Io, &Quality, nullptr);
  if (Error != nullptr) throw std::runtime_error(std::string("resampling failed: ") + Error);
  Out.Data.resize(Done);
  return Out;
}

}  // namespace quavox
