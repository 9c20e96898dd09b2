// AAC-LC through FFmpeg's native encoder, framed as ADTS so the bytes play as a file
// without a container library. FFmpeg is opened on the first AAC request, not linked: its
// libraries bring the whole codec tree with them (video codecs, SVG, ...), megabytes that
// every start of the daemon and the window would otherwise map for a format few ask for.
#include <dlfcn.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/version.h>
}

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "audio/EncodeBackends.h"

namespace quavox {

namespace {

constexpr int64_t AacBitrate = 64000;
constexpr size_t AdtsHeaderBytes = 7;
// ADTS frame lengths have 13 bits.
constexpr size_t MaxAdtsFrameBytes = 8191;
constexpr std::array<int32_t, 13> AdtsRates = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                               22050, 16000, 12000, 11025, 8000,  7350};

// The FFmpeg functions used here, resolved from the libraries of the version the headers
// describe.
struct TAvApi {
  decltype(&av_log_set_level) LogSetLevel = nullptr;
  decltype(&av_strerror) StrError = nullptr;
  decltype(&av_channel_layout_default) ChannelLayoutDefault = nullptr;
  decltype(&av_frame_alloc) FrameAlloc = nullptr;
  decltype(&av_frame_free) FrameFree = nullptr;
  decltype(&av_frame_unref) FrameUnref = nullptr;
  decltype(&av_frame_get_buffer) FrameGetBuffer = nullptr;
  decltype(&avcodec_find_encoder) FindEncoder = nullptr;
  decltype(&avcodec_alloc_context3) AllocContext = nullptr;
  decltype(&avcodec_free_context) FreeContext = nullptr;
  decltype(&avcodec_open2) Open = nullptr;
  decltype(&avcodec_send_frame) SendFrame = nullptr;
  decltype(&avcodec_receive_packet) ReceivePacket = nullptr;
  decltype(&av_packet_alloc) PacketAlloc = nullptr;
  decltype(&av_packet_free) PacketFree = nullptr;
  decltype(&av_packet_unref) PacketUnref = nullptr;
  std::string Error;  // empty when every function was found
};

template <typename TFunc>
void Resolve(void* AHandle, const char* AName, TFunc& AFunc, std::string& AError) {
  AFunc = AHandle ? reinterpret_cast<TFunc>(dlsym(AHandle, AName)) : nullptr;
  if (!AFunc && AError.empty()) AError = std::string("libavcodec lacks ") + AName;
}

void* OpenLibrary(const std::string& AName, std::string& AError) {
  void* Handle = dlopen(AName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!Handle && AError.empty()) AError = "cannot load " + AName;
  return Handle;
}

TAvApi LoadAvApi() {
  TAvApi Api;
  void* Util = OpenLibrary("libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR), Api.Error);
  void* Codec = OpenLibrary("libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR), Api.Error);
  Resolve(Util, "av_log_set_level", Api.LogSetLevel, Api.Error);
  Resolve(Util, "av_strerror", Api.StrError, Api.Error);
  Resolve(Util, "av_channel_layout_default", Api.ChannelLayoutDefault, Api.Error);
  Resolve(Util, "av_frame_alloc", Api.FrameAlloc, Api.Error);
  Resolve(Util, "av_frame_free", Api.FrameFree, Api.Error);
  Resolve(Util, "av_frame_unref", Api.FrameUnref, Api.Error);
  Resolve(Util, "av_frame_get_buffer", Api.FrameGetBuffer, Api.Error);
  Resolve(Codec, "avcodec_find_encoder", Api.FindEncoder, Api.Error);
  Resolve(Codec, "avcodec_alloc_context3", Api.AllocContext, Api.Error);
  Resolve(Codec, "avcodec_free_context", Api.FreeContext, Api.Error);
  Resolve(Codec, "avcodec_open2", Api.Open, Api.Error);
  Resolve(Codec, "avcodec_send_frame", Api.SendFrame, Api.Error);
  Resolve(Codec, "avcodec_receive_packet", Api.ReceivePacket, Api.Error);
  Resolve(Codec, "av_packet_alloc", Api.PacketAlloc, Api.Error);
  Resolve(Codec, "av_packet_free", Api.PacketFree, Api.Error);
  Resolve(Codec, "av_packet_unref", Api.PacketUnref, Api.Error);
  // The encoder's statistics would otherwise land in the event log on standard error.
  if (Api.Error.empty()) Api.LogSetLevel(AV_LOG_ERROR);
  return Api;
}

const TAvApi& Av() {
  static const TAvApi Api = LoadAvApi();
  if (!Api.Error.empty()) throw std::runtime_error("cannot encode AAC: " + Api.Error);
  return Api;
}

struct TCodecContextDeleter {
  void operator()(AVCodecContext* AContext) const { Av().FreeContext(&AContext); }
};
struct TFrameDeleter {
  void operator()(AVFrame* AFrame) const { Av().FrameFree(&AFrame); }
};
struct TPacketDeleter {
  void operator()(AVPacket* APacket) const { Av().PacketFree(&APacket); }
};

[[noreturn]] void Fail(const char* AWhat, int AError) {
  char Text[AV_ERROR_MAX_STRING_SIZE] = {};
  Av().StrError(AError, Text, sizeof Text);
  throw std::runtime_error(std::string("cannot encode AAC: ") + AWhat + ": " + Text);
}

int RateIndex(int32_t ARate) {
  const auto Found = std::find(AdtsRates.begin(), AdtsRates.end(), ARate);
  if (Found == AdtsRates.end())
    throw std::runtime_error("cannot encode AAC at " + std::to_string(ARate) + " Hz");
  return static_cast<int>(Found - AdtsRates.begin());
}

// MPEG-4, no CRC, AAC-LC, one channel, one raw block per frame.
void AppendAdtsFrame(TBytes& AOut, int ARateIndex, const AVPacket& APacket) {
  const size_t Length = AdtsHeaderBytes + static_cast<size_t>(APacket.size);
  if (Length > MaxAdtsFrameBytes) throw std::runtime_error("AAC frame too large for ADTS");
  constexpr int Profile = 1;  // AAC-LC, object type 2, written minus one
  constexpr int Channels = 1;
  const uint8_t Header[AdtsHeaderBytes] = {
      0xFF,
      0xF1,
      static_cast<uint8_t>((Profile << 6) | (ARateIndex << 2) | (Channels >> 2)),
      static_cast<uint8_t>(((Channels & 3) << 6) | (Length >> 11)),
      static_cast<uint8_t>((Length >> 3) & 0xFF),
      static_cast<uint8_t>(((Length & 7) << 5) | 0x1F),
      0xFC,
  };
  AOut.insert(AOut.end(), Header, Header + AdtsHeaderBytes);
  AOut.insert(AOut.end(), APacket.data, APacket.data + APacket.size);
}

std::unique_ptr<AVCodecContext, TCodecContextDeleter> OpenEncoder(int32_t ARate) {
  const AVCodec* Codec = Av().FindEncoder(AV_CODEC_ID_AAC);
  if (Codec == nullptr) throw std::runtime_error("cannot encode AAC: no encoder in libavcodec");
  std::unique_ptr<AVCodecContext, TCodecContextDeleter> Context(Av().AllocContext(Codec));
  if (!Context) throw std::bad_alloc();
  Context->sample_fmt = AV_SAMPLE_FMT_FLTP;
  Context->sample_rate = ARate;
  Context->bit_rate = AacBitrate;
  Context->profile = FF_PROFILE_AAC_LOW;
  Av().ChannelLayoutDefault(&Context->ch_layout, 1);
  if (const int Error = Av().Open(Context.get(), Codec, nullptr); Error < 0) Fail("open", Error);
  return Context;
}

// Hands one frame (or, with nullptr, the end of the clip) to the encoder and appends every
// packet it has ready.
void Encode(AVCodecContext& AContext, const AVFrame* AFrame, AVPacket& APacket, int ARateIndex,
            TBytes& AOut) {
  if (const int Error = Av().SendFrame(&AContext, AFrame); Error < 0) Fail("send", Error);
  for (;;) {
    const int Error = Av().ReceivePacket(&AContext, &APacket);
    if (Error == AVERROR(EAGAIN) || Error == AVERROR_EOF) return;
    if (Error < 0) Fail("receive", Error);
    AppendAdtsFrame(AOut, ARateIndex, APacket);
    Av().PacketUnref(&APacket);
  }
}

}  // namespace

TBytes EncodeAdtsAac(const TPcmBuffer& ABuffer) {
  const int Index = RateIndex(ABuffer.SampleRate);
  auto Context = OpenEncoder(ABuffer.SampleRate);
  std::unique_ptr<AVFrame, TFrameDeleter> Frame(Av().FrameAlloc());
  std::unique_ptr<AVPacket, TPacketDeleter> Packet(Av().PacketAlloc());
  if (!Frame || !Packet) throw std::bad_alloc();
  const size_t FrameSize = static_cast<size_t>(Context->frame_size);
  TBytes Out;
  for (size_t Start = 0; Start < ABuffer.Data.size(); Start += FrameSize) {
    const size_t Count = std::min(FrameSize, ABuffer.Data.size() - Start);
    Av().FrameUnref(Frame.get());
    Frame->format = AV_SAMPLE_FMT_FLTP;
    Frame->sample_rate = ABuffer.SampleRate;
    Frame->nb_samples = static_cast<int>(Count);
    Av().ChannelLayoutDefault(&Frame->ch_layout, 1);
    if (const int Error = Av().FrameGetBuffer(Frame.get(), 0); Error < 0) Fail("frame", Error);
    std::memcpy(Frame->data[0], ABuffer.Data.data() + Start, Count * sizeof(float));
    Frame->pts = static_cast<int64_t>(Start);
    Encode(*Context, Frame.get(), *Packet, Index, Out);
  }
  Encode(*Context, nullptr, *Packet, Index, Out);
  return Out;
}

}  // namespace quavox
