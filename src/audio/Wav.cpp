#include "audio/Wav.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "audio/DspKernels.h"
#include "platform/Files.h"

namespace quavox {

namespace {

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct TWavFormat {
  uint16_t Tag = 0;
  uint16_t Channels = 0;
  uint32_t SampleRate = 0;
  uint16_t Bits = 0;
};

struct TWavLayout {
  bool HasFormat = false;
  bool HasData = false;
  TWavFormat Format;
  std::span<const uint8_t> Data;
};

bool WalkChunks(std::span<const uint8_t> b, TWavLayout& L) {
  std::size_t Pos = 12;
  while (b.size() >= 8 && Pos <= b.size() - 8) {
    const uint8_t* h = b.data() + Pos;
    const uint32_t Size = GetU32(h + 4);
    const std::size_t Body = Pos + 8;
    if (std::memcmp(h, "fmt ", 4) == 0) {
      if (Size < 16 || b.size() - Body < 16) return false;
      const uint8_t* f = b.data() + Body;
      L.Format = {GetU16(f), GetU16(f + 2), GetU32(f + 4), GetU16(f + 14)};
      L.HasFormat = true;
    } else if (std::memcmp(h, "data", 4) == 0) {
      L.Data = b.subspan(Body, std::min<std::size_t>(Size, b.size() - Body));
      L.HasData = true;
    }
    const uint64_t Next = static_cast<uint64_t>(Body) + Size + (Size & 1u);
    if (Next <= Pos || Next > b.size()) break;
    Pos = static_cast<std::size_t>(Next);
  }
  return true;
}

float DecodeSample(const uint8_t* p, int ABytesPerSample, bool AFloat) {
  switch (ABytesPerSample) {
    case 1:
      return (static_cast<int>(p[0]) - 128) / 128.0f;
    case 2:
      return static_cast<int16_t>(GetU16(p)) / 32768.0f;
    case 3: {
      const uint32_t u = (static_cast<uint32_t>(p[0]) << 8) | (static_cast<uint32_t>(p[1]) << 16) |
                         (static_cast<uint32_t>(p[2]) << 24);
      return static_cast<float>(static_cast<int32_t>(u) >> 8) / 8388608.0f;
    }
    default: {
      const uint32_t u = GetU32(p);
      if (AFloat) {
        float f;
        std::memcpy(&f, &u, 4);
        return f;
      }
      return static_cast<float>(static_cast<double>(static_cast<int32_t>(u)) / 2147483648.0);
    }
  }
}

// One loop per sample width, so the width test is not paid per sample.
template <int BytesPerSample>
void DecodeFramesOf(const uint8_t* p, std::size_t AFrames, int AChannels, bool AFloat,
                    float* AOut) {
  for (std::size_t i = 0; i < AFrames; ++i) {
    float Sum = 0.0f;
    for (int c = 0; c < AChannels; ++c, p += BytesPerSample)
      Sum += DecodeSample(p, BytesPerSample, AFloat);
    AOut[i] = AChannels == 1 ? Sum : Sum / static_cast<float>(AChannels);
  }
}

void DecodeFrames(const uint8_t* p, std::size_t AFrames, int AChannels, int ABytesPerSample,
                  bool AFloat, float* AOut) {
  if (ABytesPerSample == 2 && AChannels == 1) return Pcm16ToFloat(p, AFrames, AOut);
  switch (ABytesPerSample) {
    case 1:
      return DecodeFramesOf<1>(p, AFrames, AChannels, AFloat, AOut);
    case 2:
      return DecodeFramesOf<2>(p, AFrames, AChannels, AFloat, AOut);
    case 3:
      return DecodeFramesOf<3>(p, AFrames, AChannels, AFloat, AOut);
    default:
      return DecodeFramesOf<4>(p, AFrames, AChannels, AFloat, AOut);
  }
}

}  // namespace

TBytes PcmToWav(const TPcmBuffer& APcm, int AChannels) {
  const int Channels = std::max(AChannels, 1);
  const uint32_t Rate = APcm.SampleRate == 0 ? 44100u : static_cast<uint32_t>(APcm.SampleRate);
  const uint32_t DataSize = static_cast<uint32_t>(APcm.Data.size() * Channels * 2);
  TBytes Out(44 + static_cast<std::size_t>(DataSize));
  uint8_t* h = Out.data();
  std::memcpy(h, "RIFF", 4);
  PutU32(h + 4, DataSize + 36);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  PutU32(h + 16, 16);
  PutU16(h + 20, 1);
  PutU16(h + 22, static_cast<uint16_t>(Channels));
  PutU32(h + 24, Rate);
  PutU32(h + 28, Rate * Channels * 2);
  PutU16(h + 32, static_cast<uint16_t>(Channels * 2));
  PutU16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  PutU32(h + 40, DataSize);
  uint8_t* p = h + 44;
  if (Channels == 1) {
    FloatToPcm16(APcm.Data.data(), APcm.Data.size(), p);
    return Out;
  }
  for (float s : APcm.Data) {
    const auto v = static_cast<uint16_t>(FloatToPcm16Sample(s));
    for (int c = 0; c < Channels; ++c, p += 2)
      PutU16(p, v);
  }
  return Out;
}

bool WavToPcm(std::span<const uint8_t> ABytes, TPcmBuffer& APcm) {
  if (ABytes.size() < 44) return false;
  if (std::memcmp(ABytes.data(), "RIFF", 4) != 0 || std::memcmp(ABytes.data() + 8, "WAVE", 4) != 0)
    return false;
  TWavLayout L;
  if (!WalkChunks(ABytes, L) || !L.HasFormat || !L.HasData) return false;
  const TWavFormat& F = L.Format;
  if (F.Channels == 0 || F.SampleRate == 0) return false;
  if (F.Tag != 1 && F.Tag != 3 && F.Tag != 0xFFFE) return false;
  const bool IsFloat = F.Tag == 3 || (F.Tag == 0xFFFE && F.Bits == 32);
  const int BytesPerSample = F.Bits / 8;
  if (BytesPerSample == 0) return false;
  const std::size_t FrameBytes = static_cast<std::size_t>(BytesPerSample) * F.Channels;
  const std::size_t Frames = L.Data.size() / FrameBytes;
  if (Frames == 0) return false;
  if (F.Bits != 8 && F.Bits != 16 && F.Bits != 24 && F.Bits != 32) return false;
  if (F.SampleRate > static_cast<uint32_t>(INT32_MAX)) return false;

  APcm.SampleRate = static_cast<int32_t>(F.SampleRate);
  APcm.Data.resize(Frames);
  DecodeFrames(L.Data.data(), Frames, F.Channels, BytesPerSample, IsFloat, APcm.Data.data());
  return true;
}

TBytes ReadFileBytes(const std::string& AFileName) {
  const int Fd = ::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    if (errno == ENOENT) return {};
    throw std::system_error(errno, std::generic_category(), AFileName);
  }
  TBytes Out;
  struct stat St {};
  if (::fstat(Fd, &St) == 0 && St.st_size > 0) Out.reserve(static_cast<std::size_t>(St.st_size));
  uint8_t Buf[65536];
  for (;;) {
    const ssize_t n = ::read(Fd, Buf, sizeof Buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int Saved = errno;
      ::close(Fd);
      throw std::system_error(Saved, std::generic_category(), AFileName);
    }
    if (n == 0) break;
    Out.insert(Out.end(), Buf, Buf + n);
  }
  ::close(Fd);
  return Out;
}

void WriteFileBytes(const std::string& AFileName, std::span<const uint8_t> ABytes) {
  const auto Parent = std::filesystem::path(AFileName).parent_path();
  if (!Parent.empty()) ForceDirectories(Parent.string());
  WriteWholeFile(AFileName, ABytes, TFileCreation::Truncate, TFileFlush::None);
}

}  // namespace quavox
