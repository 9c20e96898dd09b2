// Band-limited sample-rate conversion (libsoxr's high-quality resampler). Going down to a
// telephony rate without a low-pass folds everything above the new Nyquist frequency back
// into the speech band, audibly on a PA; this filters it out first. The specified linear
// resampler of Dsp keeps serving the WAV path. Pure; safe on any thread.
#pragma once

#include "core/Types.h"

namespace quavox {

// A new buffer at ARate; a copy when the rates agree or either is not positive.
TPcmBuffer ResampleBandLimited(const TPcmBuffer& ABuffer, int32_t ARate);

}  // namespace quavox
