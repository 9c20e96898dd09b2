// Assembly of a whole announcement from its spoken segments: a chime made in code, the
// segments at one rate and one loudness, fixed pauses between them and short fades at every
// joint, with the position of every part so that a display can follow along. Pure
// functions over values; safe on any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/Loudness.h"
#include "core/Types.h"

namespace quavox {

enum TChimeMode : uint8_t { cmStart, cmBoth, cmNone };
std::string ChimeModeToStr(TChimeMode AMode);
// "start", "both" or "none" in any letter case; false for anything else.
bool TryParseChimeMode(std::string_view AText, TChimeMode& AMode);

enum TAnnouncePartKind : uint8_t { apChime, apSegment, apGap };
std::string AnnouncePartKindToStr(TAnnouncePartKind AKind);

struct TAnnouncePart {
  TAnnouncePartKind Kind = apSegment;
  int32_t Segment = -1;  // index of the spoken segment; -1 for chimes and gaps
  int64_t StartSample = 0;
  int64_t EndSample = 0;  // one past the last sample
};

struct TAnnounceLayout {
  TChimeMode Chime = cmStart;
  int32_t GapMs = 600;
  // The output rate; 0 takes the first segment's rate.
  int32_t SampleRate = 0;
  // Every segment is brought to this loudness; without it, all are brought to the level of
  // the loudest one.
  std::optional<double> LoudnessLufs;
};

struct TAnnouncement {
  TPcmBuffer Pcm;
  std::vector<TAnnouncePart> Parts;
};

// Length of the fades at the edges of every part, so that no joint clicks.
constexpr int AnnounceFadeMs = 10;
// The chime's length; its last notes ring out within it.
constexpr int ChimeMs = 1500;
// Chime level when no segment is long enough to be measured and no target is given.
constexpr double FallbackChimeLufs = -20.0;

// A soft three-note figure of bell-like tones that decay naturally, at a moderate level;
// the closing figure plays the notes in reverse order.
TPcmBuffer MakeChime(int32_t ASampleRate, bool AClosing);
// The note frequencies of the opening figure, in the order they sound.
const std::vector<double>& ChimeNotesHz();

// Cuts silence (every sample below AThreshold) from both ends, keeping AMarginMs of it.
// A buffer that is silent throughout is left as it is.
void TrimSilence(TPcmBuffer& ABuffer, float AThreshold, int AMarginMs);
// A segment as the engine made it, brought to the output rate and cut to its speech, so
// that the pauses between segments are exactly the gaps.
void PrepareSegment(TPcmBuffer& ABuffer, int32_t ASampleRate);
// The loudness the segments share: ATarget, or without one that of the loudest measurable
// segment; nothing when there is neither.
std::optional<double> SharedLevel(const std::vector<TLoudness>& AMeasured,
                                  std::optional<double> ATarget);
// Brings a segment measured as AMeasured to ALevel (a true-peak limiter holds the peaks);
// segments that cannot be measured or are already there are left untouched.
void LevelSegment(TPcmBuffer& ASegment, const TLoudness& AMeasured, double ALevel);
// Scales a chime measured as AMeasured to ALevel, as far as its sample peak stays below
// -1 dBFS.
void LevelChime(TPcmBuffer& AChime, const TLoudness& AMeasured, double ALevel);
// Brings the segments to one loudness (SharedLevel); returns that level.
std::optional<double> MatchLoudness(std::vector<TPcmBuffer>& ASegments,
                                    std::optional<double> ATarget);
// Joins the prepared parts (all at one rate) in order: the chime, the segments with a gap
// of silence between neighbours, and the closing chime, each part faded in and out.
TAnnouncement JoinAnnouncement(const std::vector<const TPcmBuffer*>& ASegments,
                               const TPcmBuffer* AOpening, const TPcmBuffer* AClosing,
                               int32_t AGapMs);
// The whole assembly: rate, trimming, loudness, chime at the speech's level, joining.
TAnnouncement AssembleAnnouncement(std::vector<TPcmBuffer> ASegments,
                                   const TAnnounceLayout& ALayout);

// A sample position in milliseconds, rounded half to even.
int64_t SampleToMs(int64_t ASample, int32_t ASampleRate);

}  // namespace quavox
