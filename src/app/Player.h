// Plays one complete WAV held in memory, asynchronously, through the default audio output;
// starting a sound stops the previous one. Whether a sound still plays is judged from its
// known duration on the tick clock, never from the device: a sound the device ended early
// counts as playing until its time has passed. Main thread only; no locking.
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/Types.h"

class QAudioSink;

namespace quavox {

class TWavPlayer {
 public:
  // Milliseconds on a monotonic clock.
  using TTickClock = std::function<uint64_t()>;

  // An empty clock means the steady clock.
  explicit TWavPlayer(TTickClock AClock = {});
  ~TWavPlayer();
  TWavPlayer(const TWavPlayer&) = delete;
  TWavPlayer& operator=(const TWavPlayer&) = delete;

  // True when playback started. Empty bytes change nothing; bytes that are not a WAV, or no
  // audio output, leave the player idle.
  bool Play(const TBytes& AWav, int32_t ADurationMs);
  void Stop();
  bool Playing() const;
  int32_t DurationMs() const { return FDurationMs; }

 private:
  bool StartOutput();

  TTickClock FClock;
  TBytes FBuffer;
  uint64_t FEndTick = 0;
  int32_t FDurationMs = 0;
  // The 16-bit samples the output reads from; alive as long as the sink plays.
  QByteArray FSamples;
  QBuffer FSource;
  std::unique_ptr<QAudioSink> FSink;
};

}  // namespace quavox
