#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "audio/Encode.h"
#include "audio/StreamEncode.h"
#include "unit/audio/SpeechLike.h"

namespace quavox {
namespace {

std::vector<TPcmBuffer> Parts(const TPcmBuffer& AClip, std::vector<std::size_t> ACuts) {
  std::vector<TPcmBuffer> Out;
  std::size_t From = 0;
  ACuts.push_back(AClip.Data.size());
  for (const std::size_t Cut : ACuts) {
    TPcmBuffer Part;
    Part.SampleRate = AClip.SampleRate;
    Part.Data.assign(AClip.Data.begin() + From, AClip.Data.begin() + Cut);
    Out.push_back(std::move(Part));
    From = Cut;
  }
  return Out;
}

struct TStreamed {
  TBytes Whole;
  std::size_t BeforeFinish = 0;  // bytes handed out before the clip ended
};

TStreamed Stream(TAudioFormat AFormat, const std::vector<TPcmBuffer>& AParts, bool AEndParts,
                 bool AComplete) {
  auto Encoder = NewStreamEncoder(AFormat, AParts.front().SampleRate);
  TStreamed Out;
  const auto Take = [&Out](const TBytes& ABytes) {
    Out.Whole.insert(Out.Whole.end(), ABytes.begin(), ABytes.end());
  };
  for (std::size_t i = 0; i < AParts.size(); ++i) {
    Take(Encoder->Append(AParts[i]));
    if (AEndParts && i + 1 < AParts.size()) Take(Encoder->EndPart());
  }
  Out.BeforeFinish = Out.Whole.size();
  Take(Encoder->Finish());
  if (AComplete) Encoder->Complete(Out.Whole);
  return Out;
}

struct TFormatCase {
  TAudioFormat Format;
  int Rate;
};

const std::vector<TFormatCase> Streamable = {
    {afPcm, 24000}, {afWav, 22050}, {afOpus, 48000}, {afMp3, 22050}};

TEST(StreamEncode, PartsPutTogetherAreTheWholeFile) {
  for (const TFormatCase& Case : Streamable) {
    const TPcmBuffer Clip = Syllables(0.5, 3.0, Case.Rate);
    const TBytes Whole = EncodeAudio(Clip, Case.Format);
    // Cuts that fall inside codec frames, and a part shorter than one frame.
    const auto Pieces = Parts(Clip, {1234, 1300, Clip.Data.size() / 2 + 7});
    EXPECT_EQ(Stream(Case.Format, Pieces, false, true).Whole, Whole)
        << AudioFormatName(Case.Format);
    EXPECT_EQ(Stream(Case.Format, {Clip}, false, true).Whole, Whole)
        << AudioFormatName(Case.Format);
  }
}

TEST(StreamEncode, AudioGoesOutBeforeTheClipEnds) {
  for (const TFormatCase& Case : Streamable) {
    const TPcmBuffer Clip = Syllables(0.5, 4.0, Case.Rate);
    const auto Pieces = Parts(Clip, {Clip.Data.size() / 4});
    auto Encoder = NewStreamEncoder(Case.Format, Case.Rate);
    TBytes First = Encoder->Append(Pieces[0]);
    const TBytes Ended = Encoder->EndPart();
    First.insert(First.end(), Ended.begin(), Ended.end());
    // A second of audio: well over half of what it encodes to is out already.
    const TBytes Whole = EncodeAudio(Clip, Case.Format);
    EXPECT_GT(First.size(), Whole.size() / 4 / 2) << AudioFormatName(Case.Format);
  }
}

TEST(StreamEncode, StreamedWavSaysItsLengthIsUnknownUntilCompleted) {
  const TPcmBuffer Clip = Syllables(0.5, 1.0, 16000);
  const TBytes Streamed = Stream(afWav, Parts(Clip, {4000}), true, false).Whole;
  const TBytes Whole = EncodeAudio(Clip, afWav);
  ASSERT_EQ(Streamed.size(), Whole.size());
  for (const std::size_t At : {4u, 40u})
    EXPECT_TRUE(std::all_of(Streamed.begin() + At, Streamed.begin() + At + 4,
                            [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(Streamed.begin() + 44, Streamed.end(), Whole.begin() + 44));
}

TEST(StreamEncode, StreamedMp3DiffersOnlyInItsInformationFrame) {
  const TPcmBuffer Clip = Syllables(0.5, 2.0, 22050);
  const TBytes Streamed = Stream(afMp3, {Clip}, false, false).Whole;
  const TBytes Whole = EncodeAudio(Clip, afMp3);
  ASSERT_EQ(Streamed.size(), Whole.size());
  const auto Differ = std::mismatch(Streamed.begin(), Streamed.end(), Whole.begin());
  const auto LastDiffer =
      std::mismatch(Streamed.rbegin(), Streamed.rend(), Whole.rbegin()).first.base();
  ASSERT_NE(Differ.first, Streamed.end());
  // Everything from the second frame on is the same: the first frame of 22.05 kHz MPEG-2
  // Layer III is at most 1,044 bytes.
  EXPECT_LT(LastDiffer - Streamed.begin(), 1044);
}

TEST(StreamEncode, OtherFormatsComeWholeAtTheEnd) {
  const TPcmBuffer Clip = Syllables(0.5, 1.0, 22050);
  for (const TAudioFormat Format : {afFlac, afOgg, afUlaw}) {
    EXPECT_FALSE(StreamableFormat(Format));
    const TStreamed Out = Stream(Format, Parts(Clip, {5000}), true, true);
    EXPECT_EQ(Out.BeforeFinish, 0u);
    EXPECT_EQ(Out.Whole.size(), EncodeAudio(Clip, Format).size()) << AudioFormatName(Format);
  }
}

}  // namespace
}  // namespace quavox
