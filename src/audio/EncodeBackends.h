// The codecs behind EncodeAudio, one per library. Each takes a mono clip at a rate it
// carries and raises std::runtime_error when its library refuses.
#pragma once

#include "core/Types.h"

namespace quavox {

// AFormat is a libsndfile format word (container | encoding).
TBytes EncodeWithSndfile(const TPcmBuffer& ABuffer, int AFormat);
// Ogg Opus (RFC 7845) at 8, 12, 16, 24 or 48 kHz.
TBytes EncodeOggOpus(const TPcmBuffer& ABuffer);
// AAC-LC in ADTS frames, FFmpeg's native encoder.
TBytes EncodeAdtsAac(const TPcmBuffer& ABuffer);

}  // namespace quavox
