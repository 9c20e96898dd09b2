// Reading a reference recording and measuring the two traits of its speaker that
// espeak-ng can imitate: the typical pitch and the speaking rate. Pure functions, safe on
// any thread, and any bytes give an answer.
#pragma once

#include <string>

#include "core/Types.h"

namespace quavox::s2 {

enum TReferenceFormat : uint8_t { rfUnknown, rfWav, rfMp3, rfOgg };

// Judged from the content; the file name only helps an MP3 without a recognisable start.
TReferenceFormat SniffReference(const std::string& ABytes, const std::string& AFileName);
const char* ReferenceFormatName(TReferenceFormat AFormat);

// WAV through the service's own reader, MP3 through libmpg123. At most AMaxSeconds are
// decoded, which is plenty for the measurements and bounds the memory an upload can cost.
bool DecodeReference(const std::string& ABytes, TReferenceFormat AFormat, TPcmBuffer& APcm,
                     double AMaxSeconds = 60);

struct TVoiceTraits {
  double DurationS = 0;
  // Median fundamental frequency of the voiced frames; 0 when too few frames are voiced.
  double MedianF0 = 0;
  // Spread of the voiced frames' pitch (half the span between its 16th and 84th
  // percentiles, a standard deviation that octave errors cannot inflate); 0 with MedianF0.
  double F0Range = 0;
  int VoicedFrames = 0;
  // Syllables per second of speaking time; 0 when it cannot be told.
  double SyllablesPerSecond = 0;
  bool RateFromTranscript = false;
};

// With a transcript of at least a few syllables the rate is its syllable count over the
// time the speaker is audible; without one, loudness peaks stand in for syllables.
TVoiceTraits MeasureVoice(const TPcmBuffer& APcm, const std::string& ATranscript);

}  // namespace quavox::s2
