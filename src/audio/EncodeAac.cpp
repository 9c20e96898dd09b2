// AAC-LC through FFmpeg's native encoder, framed as ADTS so the bytes play as a file
// without a container library.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
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

struct TCodecContextDeleter {
  void operator()(AVCodecContext* AContext) const { avcodec_free_context(&AContext); }
};
struct TFrameDeleter {
  void operator()(AVFrame* AFrame) const { av_frame_free(&AFrame); }
};
struct TPacketDeleter {
  void operator()(AVPacket* APacket) const { av_packet_free(&APacket); }
};

[[noreturn]] void Fail(const char* AWhat, int AError) {
  char Text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(AError, Text, sizeof Text);
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
  // The encoder's statistics would otherwise land in the event log on standard error.
  static std::once_flag Quiet;
  std::call_once(Quiet, [] { av_log_set_level(AV_LOG_ERROR); });
  const AVCodec* Codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (Codec == nullptr) throw std::runtime_error("cannot encode AAC: no encoder in libavcodec");
  std::unique_ptr<AVCodecContext, TCodecContextDeleter> Context(avcodec_alloc_context3(Codec));
  if (!Context) throw std::bad_alloc();
  Context->sample_fmt = AV_SAMPLE_FMT_FLTP;
  Context->sample_rate = ARate;
  Context->bit_rate = AacBitrate;
  Context->profile = FF_PROFILE_AAC_LOW;
  av_channel_layout_default(&Context->ch_layout, 1);
  if (const int Error = avcodec_open2(Context.get(), Codec, nullptr); Error < 0)
    Fail("open", Error);
  return Context;
}

// Hands one frame (or, with nullptr, the end of the clip) to the encoder and appends every
// packet it has ready.
void Encode(AVCodecContext& AContext, const AVFrame* AFrame, AVPacket& APacket, int ARateIndex,
            TBytes& AOut) {
  if (const int Error = avcodec_send_frame(&AContext, AFrame); Error < 0) Fail("send", Error);
  for (;;) {
    const int Error = avcodec_receive_packet(&AContext, &APacket);
    if (Error == AVERROR(EAGAIN) || Error == AVERROR_EOF) return;
    if (Error < 0) Fail("receive", Error);
    AppendAdtsFrame(AOut, ARateIndex, APacket);
    av_packet_unref(&APacket);
  }
}

}  // namespace

TBytes EncodeAdtsAac(const TPcmBuffer& ABuffer) {
  const int Index = RateIndex(ABuffer.SampleRate);
  auto Context = OpenEncoder(ABuffer.SampleRate);
  std::unique_ptr<AVFrame, TFrameDeleter> Frame(av_frame_alloc());
  std::unique_ptr<AVPacket, TPacketDeleter> Packet(av_packet_alloc());
  if (!Frame || !Packet) throw std::bad_alloc();
  const size_t FrameSize = static_cast<size_t>(Context->frame_size);
  TBytes Out;
  for (size_t Start = 0; Start < ABuffer.Data.size(); Start += FrameSize) {
    const size_t Count = std::min(FrameSize, ABuffer.Data.size() - Start);
    av_frame_unref(Frame.get());
    Frame->format = AV_SAMPLE_FMT_FLTP;
    Frame->sample_rate = ABuffer.SampleRate;
    Frame->nb_samples = static_cast<int>(Count);
    av_channel_layout_default(&Frame->ch_layout, 1);
    if (const int Error = av_frame_get_buffer(Frame.get(), 0); Error < 0) Fail("frame", Error);
    std::memcpy(Frame->data[0], ABuffer.Data.data() + Start, Count * sizeof(float));
    Frame->pts = static_cast<int64_t>(Start);
    Encode(*Context, Frame.get(), *Packet, Index, Out);
  }
  Encode(*Context, nullptr, *Packet, Index, Out);
  return Out;
}

}  // namespace quavox
