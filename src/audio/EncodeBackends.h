// The codecs behind EncodeAudio, one per library. Each takes a mono clip at a rate it
// carries and raises std::runtime_error when its library refuses.
#pragma once

#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/Types.h"

namespace quavox {

// The 16-bit samples of the WAV without its header.
TBytes RawPcm(const TPcmBuffer& ABuffer);

// AFormat is a libsndfile format word (container | encoding).
TBytes EncodeWithSndfile(const TPcmBuffer& ABuffer, int AFormat);
// Ogg Opus (RFC 7845) at 8, 12, 16, 24 or 48 kHz.
TBytes EncodeOggOpus(const TPcmBuffer& ABuffer);

// One Ogg Opus file written while its samples arrive; Take hands out the bytes made so far.
// Appending a clip in any number of parts and finishing gives the bytes of EncodeOggOpus.
class TOggOpusWriter {
 public:
  explicit TOggOpusWriter(int32_t ARate);
  ~TOggOpusWriter();
  TOggOpusWriter(const TOggOpusWriter&) = delete;
  TOggOpusWriter& operator=(const TOggOpusWriter&) = delete;
  void Append(std::span<const float> ASamples);
  // Ends the current page early, so a player gets the packets made so far.
  void Flush();
  void Finish();
  TBytes Take();

 private:
  struct TState;
  std::unique_ptr<TState> FState;
};

// One libsndfile file written while its samples arrive. Bytes handed out by Take are gone;
// what the library later writes over them (a header it completes on closing) is kept as
// patches, which Complete applies to the whole file put together. Appending a clip in
// parts, closing and completing gives the bytes of EncodeWithSndfile.
class TSndfileWriter {
 public:
  TSndfileWriter(int32_t ARate, int AFormat);
  ~TSndfileWriter();
  TSndfileWriter(const TSndfileWriter&) = delete;
  TSndfileWriter& operator=(const TSndfileWriter&) = delete;
  void Append(std::span<const float> ASamples);
  void Close();
  TBytes Take();
  void Complete(TBytes& AWhole) const;

 private:
  struct TState;
  std::unique_ptr<TState> FState;
};
// AAC-LC in ADTS frames, FFmpeg's native encoder.
TBytes EncodeAdtsAac(const TPcmBuffer& ABuffer);

}  // namespace quavox
