// libsndfile writing into memory through its virtual I/O: WAV with G.711, FLAC, Ogg
// Vorbis and MP3.
#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "audio/EncodeBackends.h"

namespace quavox {

namespace {

// A file in memory that libsndfile may seek in, overwrite and extend. Bytes before Base
// have been handed out; writes there are kept as patches.
struct TMemoryFile {
  TBytes Bytes;
  sf_count_t Base = 0;
  sf_count_t Position = 0;
  std::vector<std::pair<sf_count_t, TBytes>> Patches;

  sf_count_t Length() const { return Base + static_cast<sf_count_t>(Bytes.size()); }
};

TMemoryFile& File(void* AUser) {
  return *static_cast<TMemoryFile*>(AUser);
}

sf_count_t FileLength(void* AUser) {
  return File(AUser).Length();
}

sf_count_t Seek(sf_count_t AOffset, int AWhence, void* AUser) {
  TMemoryFile& f = File(AUser);
  const sf_count_t Base = AWhence == SEEK_SET ? 0 : AWhence == SEEK_CUR ? f.Position : f.Length();
  if (Base + AOffset < 0) return -1;
  f.Position = Base + AOffset;
  return f.Position;
}

// Bytes already handed out read as zeros; the library reads back only what it wrote.
sf_count_t Read(void* ATarget, sf_count_t ACount, void* AUser) {
  TMemoryFile& f = File(AUser);
  const sf_count_t Count =
      std::clamp<sf_count_t>(f.Length() - f.Position, 0, std::max<sf_count_t>(ACount, 0));
  auto* Target = static_cast<uint8_t*>(ATarget);
  for (sf_count_t i = 0; i < Count; ++i) {
    const sf_count_t At = f.Position + i - f.Base;
    Target[i] = At >= 0 ? f.Bytes[static_cast<size_t>(At)] : 0;
  }
  f.Position += Count;
  return Count;
}

sf_count_t Write(const void* ASource, sf_count_t ACount, void* AUser) {
  TMemoryFile& f = File(AUser);
  if (ACount <= 0) return 0;
  const auto* Source = static_cast<const uint8_t*>(ASource);
  sf_count_t Skip = 0;
  if (f.Position < f.Base) {
    Skip = std::min(ACount, f.Base - f.Position);
    f.Patches.emplace_back(f.Position, TBytes(Source, Source + Skip));
  }
  const sf_count_t Rest = ACount - Skip;
  if (Rest > 0) {
    const size_t At = static_cast<size_t>(f.Position + Skip - f.Base);
    if (At + static_cast<size_t>(Rest) > f.Bytes.size()) f.Bytes.resize(At + Rest);
    std::memcpy(f.Bytes.data() + At, Source + Skip, static_cast<size_t>(Rest));
  }
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

struct TSndfileWriter::TState {
  SF_VIRTUAL_IO Io{FileLength, Seek, Read, Write, Tell};
  TMemoryFile Memory;
  std::unique_ptr<SNDFILE, TSndfileCloser> Sound;
};

TSndfileWriter::TSndfileWriter(int32_t ARate, int AFormat) : FState(std::make_unique<TState>()) {
  SF_INFO Info{};
  Info.samplerate = ARate;
  Info.channels = 1;
  Info.format = AFormat;
  FState->Sound.reset(sf_open_virtual(&FState->Io, SFM_WRITE, &Info, &FState->Memory));
  if (!FState->Sound)
    throw std::runtime_error(std::string("cannot encode: ") + sf_strerror(nullptr));
}

TSndfileWriter::~TSndfileWriter() = default;

void TSndfileWriter::Append(std::span<const float> ASamples) {
  // Bounded blocks: libvorbis overruns its own buffers when handed millions of frames at once.
  constexpr std::size_t BlockFrames = 1 << 16;
  for (std::size_t Start = 0; Start < ASamples.size(); Start += BlockFrames) {
    const auto Frames = static_cast<sf_count_t>(std::min(BlockFrames, ASamples.size() - Start));
    if (sf_writef_float(FState->Sound.get(), ASamples.data() + Start, Frames) != Frames)
      throw std::runtime_error(std::string("cannot encode: ") + sf_strerror(FState->Sound.get()));
  }
}

void TSndfileWriter::Close() {
  if (sf_close(FState->Sound.release()) != 0)
    throw std::runtime_error("cannot finish the encoded file");
}

TBytes TSndfileWriter::Take() {
  TMemoryFile& f = FState->Memory;
  f.Base += static_cast<sf_count_t>(f.Bytes.size());
  return std::exchange(f.Bytes, TBytes());
}

void TSndfileWriter::Complete(TBytes& AWhole) const {
  for (const auto& [Offset, Bytes] : FState->Memory.Patches) {
    const auto At = static_cast<size_t>(Offset);
    if (At + Bytes.size() <= AWhole.size())
      std::copy(Bytes.begin(), Bytes.end(), AWhole.begin() + At);
  }
}

TBytes EncodeWithSndfile(const TPcmBuffer& ABuffer, int AFormat) {
  TSndfileWriter Writer(ABuffer.SampleRate, AFormat);
  Writer.Append(ABuffer.Data);
  Writer.Close();
  return Writer.Take();
}

}  // namespace quavox
