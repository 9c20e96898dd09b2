// Loudness of mono float PCM as EBU R128 measures it (integrated loudness in LUFS, true
// peak in dBTP), and the gain that brings a clip to a target loudness without letting its
// true peak rise above a ceiling. Pure functions over values; safe on any thread.
#pragma once

#include "core/Types.h"

namespace quavox {

struct TLoudness {
  // -infinity for silence and for clips shorter than one 400 ms measuring block.
  double IntegratedLufs = 0;
  double TruePeakDb = 0;
  bool IsMeasurable() const;
};

TLoudness MeasureLoudness(const TPcmBuffer& ABuffer);

// Brings ABuffer to ATargetLufs. Where the gain alone would push the true peak above
// AMaxTruePeakDb, a look-ahead limiter holds the peaks down instead, so speech still
// reaches the target. A clip that cannot be measured is left as it is.
void NormalizeLoudness(TPcmBuffer& ABuffer, double ATargetLufs, double AMaxTruePeakDb = -1.0);

}  // namespace quavox
