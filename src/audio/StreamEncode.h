// Encoded audio made while it is sent: a reply spoken sentence by sentence goes out as
// each sentence is ready, as one continuous file that players start on at once. Raw PCM,
// WAV, MP3 and Ogg Opus can be written that way; every other format is encoded whole when
// the clip is complete. An encoder belongs to one reply; it is not shared between threads.
#pragma once

#include <memory>

#include "audio/Encode.h"
#include "core/Types.h"

namespace quavox {

// The formats whose bytes can go out before the clip ends: pcm, wav, mp3 and opus.
bool StreamableFormat(TAudioFormat AFormat);

class TStreamEncoder {
 public:
  virtual ~TStreamEncoder() = default;
  // Encodes the next part of the clip, at the encoder's rate; the bytes final so far.
  virtual TBytes Append(const TPcmBuffer& ABuffer) = 0;
  // A part ended and more follow: the bytes a player needs to play what was appended, as
  // far as the format lets them out early (an Ogg page is closed).
  virtual TBytes EndPart() { return {}; }
  // The clip is complete: the last bytes.
  virtual TBytes Finish() = 0;
  // Turns every byte handed out, put together, into the file as it is stored: the fields
  // known only at the end (the sizes of a WAV, the gapless-information frame of an MP3).
  virtual void Complete(TBytes& AWhole) const { (void)AWhole; }
};

// Appending a clip whole and finishing gives EncodeAudio's bytes for pcm and opus, and,
// once completed, for wav and mp3. Raises std::runtime_error when the codec refuses.
std::unique_ptr<TStreamEncoder> NewStreamEncoder(TAudioFormat AFormat, int32_t ARate);

}  // namespace quavox
