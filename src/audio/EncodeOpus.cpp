// Ogg Opus written with libopus and libogg. libsndfile's own Opus writer runs the encoder
// at full complexity in hybrid mode with no way to change it, several times slower than a
// reply may take; here the encoder runs CELT-only at a moderate complexity, which keeps
// speech clear at 32 kbit/s.
#include <ogg/ogg.h>
#include <opus/opus.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/EncodeBackends.h"

namespace quavox {

namespace {

constexpr int32_t OpusGranuleRate = 48000;
constexpr int32_t OpusBitrate = 32000;
constexpr int OpusComplexity = 5;
constexpr int OpusFramesPerSecond = 50;  // 20 ms packets
constexpr size_t MaxPacketBytes = 4000;
// A fixed stream serial number, so one clip always encodes to the same bytes.
constexpr int OggSerial = 0x51767870;

struct TOpusEncoderDeleter {
  void operator()(OpusEncoder* AEncoder) const { opus_encoder_destroy(AEncoder); }
};

// libogg's stream state, cleared on every way out.
class TOggStream {
 public:
  TOggStream() { ogg_stream_init(&FState, OggSerial); }
  ~TOggStream() { ogg_stream_clear(&FState); }
  TOggStream(const TOggStream&) = delete;
  TOggStream& operator=(const TOggStream&) = delete;

  void Add(std::vector<uint8_t>& APacket, bool AFirst, bool ALast, int64_t AGranule,
           int64_t ANumber) {
    ogg_packet Packet{};
    Packet.packet = APacket.data();
    Packet.bytes = static_cast<long>(APacket.size());
    Packet.b_o_s = AFirst ? 1 : 0;
    Packet.e_o_s = ALast ? 1 : 0;
    Packet.granulepos = AGranule;
    Packet.packetno = ANumber;
    ogg_stream_packetin(&FState, &Packet);
  }

  // Headers sit on pages of their own; audio pages fill up as libogg sees fit.
  void Pages(TBytes& AOut, bool AFlush) {
    ogg_page Page;
    while (AFlush ? ogg_stream_flush(&FState, &Page) : ogg_stream_pageout(&FState, &Page)) {
      AOut.insert(AOut.end(), Page.header, Page.header + Page.header_len);
      AOut.insert(AOut.end(), Page.body, Page.body + Page.body_len);
    }
  }

 private:
  ogg_stream_state FState{};
};

void PutLe(std::vector<uint8_t>& AOut, uint32_t AValue, int ABytes) {
  for (int i = 0; i < ABytes; ++i)
    AOut.push_back(static_cast<uint8_t>(AValue >> (8 * i)));
}

std::vector<uint8_t> HeadPacket(int32_t ARate, int32_t APreSkip) {
  const std::string Magic = "OpusHead";
  std::vector<uint8_t> Head(Magic.begin(), Magic.end());
  Head.push_back(1);  // version
  Head.push_back(1);  // channels
  PutLe(Head, static_cast<uint32_t>(APreSkip), 2);
  PutLe(Head, static_cast<uint32_t>(ARate), 4);
  PutLe(Head, 0, 2);  // output gain
  Head.push_back(0);  // channel mapping family: mono
  return Head;
}

std::vector<uint8_t> TagsPacket() {
  const std::string Magic = "OpusTags";
  const std::string Vendor = "Quavox";
  std::vector<uint8_t> Tags(Magic.begin(), Magic.end());
  PutLe(Tags, static_cast<uint32_t>(Vendor.size()), 4);
  Tags.insert(Tags.end(), Vendor.begin(), Vendor.end());
  PutLe(Tags, 0, 4);  // no comments
  return Tags;
}

std::unique_ptr<OpusEncoder, TOpusEncoderDeleter> NewEncoder(int32_t ARate) {
  int Error = OPUS_OK;
  std::unique_ptr<OpusEncoder, TOpusEncoderDeleter> Encoder(
      opus_encoder_create(ARate, 1, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &Error));
  if (Error != OPUS_OK || !Encoder)
    throw std::runtime_error(std::string("cannot encode Opus: ") + opus_strerror(Error));
  opus_encoder_ctl(Encoder.get(), OPUS_SET_BITRATE(OpusBitrate));
  opus_encoder_ctl(Encoder.get(), OPUS_SET_COMPLEXITY(OpusComplexity));
  opus_encoder_ctl(Encoder.get(), OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  return Encoder;
}

}  // namespace

TBytes EncodeOggOpus(const TPcmBuffer& ABuffer) {
  const int32_t Rate = ABuffer.SampleRate;
  auto Encoder = NewEncoder(Rate);
  opus_int32 LookAhead = 0;
  opus_encoder_ctl(Encoder.get(), OPUS_GET_LOOKAHEAD(&LookAhead));
  const int64_t Scale = OpusGranuleRate / Rate;
  const int32_t PreSkip = static_cast<int32_t>(LookAhead * Scale);
  const int32_t FrameSize = Rate / OpusFramesPerSecond;

  // The encoder lags by its look-ahead: feed that much silence after the clip so its last
  // samples come out, then pad to whole packets. The final granule position cuts the
  // padding off again in every decoder.
  std::vector<float> Samples(ABuffer.Data);
  const size_t Wanted = Samples.size() + static_cast<size_t>(LookAhead);
  const size_t Packets = std::max<size_t>(1, (Wanted + FrameSize - 1) / FrameSize);
  Samples.resize(Packets * FrameSize, 0.0f);
  const int64_t EndGranule = PreSkip + static_cast<int64_t>(ABuffer.Data.size()) * Scale;

  TBytes Out;
  TOggStream Stream;
  auto Head = HeadPacket(Rate, PreSkip);
  Stream.Add(Head, true, false, 0, 0);
  Stream.Pages(Out, true);
  auto Tags = TagsPacket();
  Stream.Add(Tags, false, false, 0, 1);
  Stream.Pages(Out, true);

  std::vector<uint8_t> Packet(MaxPacketBytes);
  for (size_t i = 0; i < Packets; ++i) {
    const opus_int32 Bytes =
        opus_encode_float(Encoder.get(), Samples.data() + i * FrameSize, FrameSize, Packet.data(),
                          static_cast<opus_int32>(Packet.size()));
    if (Bytes < 0)
      throw std::runtime_error(std::string("cannot encode Opus: ") + opus_strerror(Bytes));
    std::vector<uint8_t> Data(Packet.begin(), Packet.begin() + Bytes);
    const bool Last = i + 1 == Packets;
    const int64_t Granule = Last ? EndGranule : static_cast<int64_t>(i + 1) * FrameSize * Scale;
    Stream.Add(Data, false, Last, Granule, static_cast<int64_t>(i) + 2);
    Stream.Pages(Out, Last);
  }
  return Out;
}

}  // namespace quavox
