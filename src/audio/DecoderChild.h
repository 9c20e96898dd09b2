// Uploaded MP3 and Ogg clips are decoded in a short-lived child process, quavox-decode beside
// the executable, under CPU-time, wall-time and memory limits: a file that crashes the decoder
// library, hangs it or makes it eat memory fails that one upload and the service lives on.
// Clips the service has stored itself are decoded in-process (Audio.h). Safe on any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "core/Types.h"

namespace quavox {

// How decoding an uploaded clip ended.
enum TChildDecode : uint8_t {
  cdOk,
  cdBroken,     // the library decoded nothing (damaged or not this format)
  cdTooLong,    // longer than the library's ten minutes
  cdOpus,       // an Ogg stream holding Opus
  cdNoDecoder,  // the decoder library is absent or unusable
  cdCrashed,    // the child died
  cdTimedOut    // the child used up its CPU or wall time and was ended
};

struct TDecoderChildLimits {
  // Ten minutes of audio decode in about a second; these leave room for slow machines.
  std::chrono::milliseconds WallTime{30000};
  int32_t CpuSeconds = 20;
  // Ten minutes at 48 kHz are 115 MB of samples; the library needs some more on top.
  int64_t MemoryBytes = int64_t(1) << 30;
};

// ExecutableDir + "quavox-decode".
std::string DecoderChildPath();
// Another helper program, decoder library (empty: the one the process loads) and limits;
// tests shorten the limits and hand the child a stand-in library.
void SetDecoderChildForTesting(const std::string& AHelperPath, const std::string& ALibraryPath,
                               const TDecoderChildLimits& ALimits);
TDecoderChildLimits DecoderChildLimits();

// Decodes MP3 (AOgg false) or Ogg Vorbis bytes in the child. Without the helper program the
// bytes are decoded in-process, as before the child existed, with a warning logged once.
TChildDecode DecodeInChild(const TBytes& ABytes, bool AOgg, TPcmBuffer& APcm);

}  // namespace quavox
