// libsndfile writing into memory through its virtual I/O: WAV with G.711, FLAC, Ogg
// Vorbis and MP3.
#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "audio/EncodeBackends.h"

namespace quavox {

namespace {

// A file in memory that libsndfile may seek in, overwrite and extend.
struct TMemoryFile {
  TBytes Bytes;
  sf_count_t Position = 0;
};

TMemoryFile& File(void* AUser) {
  return *static_cast<TMemoryFile*>(AUser);
}

sf_count_t FileLength(void* AUser) {
  return static_cast<sf_count_t>(File(AUser).Bytes.size());
}

sf_count_t Seek(sf_count_t AOffset, int AWhence, void* AUser) {
  TMemoryFile& f = File(AUser);
  const sf_count_t Base = AWhence == SEEK_SET   ? 0
                          : AWhence == SEEK_CUR ? f.Position
                                                : static_cast<sf_count_t>(f.Bytes.size());
  if (Base + AOffset < 0) return -1;
  f.Position = Base + AOffset;
  return f.Position;
}

sf_count_t Read(void* ATarget, sf_count_t ACount, void* AUser) {
  TMemoryFile& f = File(AUser);
  const sf_count_t Size = static_cast<sf_count_t>(f.Bytes.size());
  const sf_count_t Count =
      std::clamp<sf_count_t>(Size - f.Position, 0, std::max<sf_count_t>(ACount, 0));
  if (Count > 0) std::memcpy(ATarget, f.Bytes.data() + f.Position, static_cast<size_t>(Count));
  f.Position += Count;
  return Count;
}

sf_count_t Write(const void* ASource, sf_count_t ACount, void* AUser) {
  TMemoryFile& f = File(AUser);
  if (ACount <= 0) return 0;
  const size_t End = static_cast<size_t>(f.Position + ACount);
  if (End > f.Bytes.size()) f.Bytes.resize(End);
  std::memcpy(f.Bytes.data() + f.Position, ASource, static_cast<size_t>(ACount));
  f.Position += ACount;
  return ACount;
}

sf_count_t Tell(void* AUser) {
  return File(AUser).Position;
}

struct TSndfileCloser {
  void operator()(SNDFILE* AFile) const { sf_close(AFile); }
};

}  // namespace

TBytes EncodeWithSndfile(const TPcmBuffer& ABuffer, int AFormat) {
  SF_VIRTUAL_IO Io{FileLength, Seek, Read, Write, Tell};
  TMemoryFile Memory;
  SF_INFO Info{};
  Info.samplerate = ABuffer.SampleRate;
  Info.channels = 1;
  Info.format = AFormat;
  std::unique_ptr<SNDFILE, TSndfileCloser> Sound(sf_open_virtual(&Io, SFM_WRITE, &Info, &Memory));
  if (!Sound) throw std::runtime_error(std::string("cannot encode: ") + sf_strerror(nullptr));
  // Bounded blocks: libvorbis overruns its own buffers when handed millions of frames at once.
  constexpr std::size_t BlockFrames = 1 << 16;
  for (std::size_t Start = 0; Start < ABuffer.Data.size(); Start += BlockFrames) {
    const auto Frames = static_cast<sf_count_t>(std::min(BlockFrames, ABuffer.Data.size() - Start));
    if (sf_writef_float(Sound.get(), ABuffer.Data.data() + Start, Frames) != Frames)
      throw std::runtime_error(std::string("cannot encode: ") + sf_strerror(Sound.get()));
  }
  if (sf_close(Sound.release()) != 0) throw std::runtime_error("cannot finish the encoded file");
  return std::move(Memory.Bytes);
}

}  // namespace quavox
