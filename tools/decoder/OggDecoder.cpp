#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstring>

#include "QuavoxAudio.h"
#include "SampleSink.h"

namespace quavox::audio {

namespace {

constexpr int ReadFrames = 4096;

struct TMemorySource {
  std::span<const uint8_t> Bytes;
  std::size_t Position = 0;
};

std::size_t ReadMemory(void* ATarget, std::size_t ASize, std::size_t ACount, void* ASource) {
  auto* Source = static_cast<TMemorySource*>(ASource);
  if (ASize == 0) return 0;
  const std::size_t Left = Source->Bytes.size() - Source->Position;
  const std::size_t Items = std::min(ACount, Left / ASize);
  std::memcpy(ATarget, Source->Bytes.data() + Source->Position, Items * ASize);
  Source->Position += Items * ASize;
  return Items;
}

// An Ogg stream whose first packet, on the first page, is an Opus identification header.
bool IsOpusStream(std::span<const uint8_t> AInput) {
  constexpr std::size_t PageHeader = 27;
  if (AInput.size() < PageHeader || std::memcmp(AInput.data(), "OggS", 4) != 0) return false;
  const std::size_t Body = PageHeader + AInput[26];
  return AInput.size() >= Body + 8 && std::memcmp(AInput.data() + Body, "OpusHead", 8) == 0;
}

struct TVorbisFile {
  OggVorbis_File File{};
  bool Open = false;
  ~TVorbisFile() {
    if (Open) ov_clear(&File);
  }
};

}  // namespace

int32_t DecodeOggStream(std::span<const uint8_t> AInput, TSampleSink& ASink) {
  if (IsOpusStream(AInput)) return qaOpus;
  TMemorySource Source{AInput, 0};
  // Read as a stream, without seeking: the clip is decoded once from start to end, and a
  // hostile file cannot make the opener bisect it for links.
  const ov_callbacks Callbacks{ReadMemory, nullptr, nullptr, nullptr};
  TVorbisFile Vorbis;
  // On failure ov_open_callbacks releases what it set up itself.
  if (ov_open_callbacks(&Source, &Vorbis.File, nullptr, 0, Callbacks) != 0) return qaNothingDecoded;
  Vorbis.Open = true;
  for (;;) {
    float** Planes = nullptr;
    int Link = 0;
    const long Frames = ov_read_float(&Vorbis.File, &Planes, ReadFrames, &Link);
    if (Frames == OV_HOLE) continue;  // a gap in the data; decoding resumes after it
    if (Frames <= 0) break;           // the end, or damage it cannot pass
    const vorbis_info* Info = ov_info(&Vorbis.File, -1);
    // Chained streams may change format; one clip has one rate, so a change ends it.
    if (!Info || Info->channels < 1 || !ASink.SetRate(Info->rate)) break;
    bool TooLong = false;
    float* Out = ASink.Reserve(Frames, TooLong);
    if (!Out) return TooLong ? qaTooLong : qaFailed;
    for (long f = 0; f < Frames; ++f) {
      float Sum = 0.0f;
      for (int c = 0; c < Info->channels; ++c)
        Sum += Planes[c][f];
      Out[f] = TSampleSink::Sanitize(Sum / Info->channels);
    }
    ASink.Commit(Frames);
  }
  return ASink.Count() > 0 ? qaOk : qaNothingDecoded;
}

}  // namespace quavox::audio
