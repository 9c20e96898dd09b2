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
#include <utility>
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

// The encoder state of one Ogg Opus file. The last packet must carry the end-of-stream
// flag and the final granule position, so one packet is held back until the next one (or
// the end) shows whether it was the last.
struct TOggOpusWriter::TState {
  std::unique_ptr<OpusEncoder, TOpusEncoderDeleter> Encoder;
  TOggStream Stream;
  int64_t Scale = 1;
  int32_t PreSkip = 0;
  int32_t FrameSize = 0;
  int32_t LookAhead = 0;
  int64_t Samples = 0;         // samples appended so far
  int64_t Packets = 0;         // packets encoded so far
  std::vector<float> Pending;  // samples short of a whole packet
  std::vector<uint8_t> Held;   // the packet not yet known to be the last
  bool Holding = false;
  TBytes Out;

  void Release(bool ALast) {
    if (!Holding) return;
    const int64_t Number = Packets - 1;
    const int64_t Granule = ALast ? PreSkip + Samples * Scale : (Number + 1) * FrameSize * Scale;
    Stream.Add(Held, false, ALast, Granule, Number + 2);
    Stream.Pages(Out, ALast);
    Holding = false;
  }

  void EncodeWholePackets() {
    std::vector<uint8_t> Packet(MaxPacketBytes);
    std::size_t Used = 0;
    for (; Pending.size() - Used >= static_cast<std::size_t>(FrameSize); Used += FrameSize) {
      const opus_int32 Bytes =
          opus_encode_float(Encoder.get(), Pending.data() + Used, FrameSize, Packet.data(),
                            static_cast<opus_int32>(Packet.size()));
      if (Bytes < 0)
        throw std::runtime_error(std::string("cannot encode Opus: ") + opus_strerror(Bytes));
      Release(false);
      Held.assign(Packet.begin(), Packet.begin() + Bytes);
      Holding = true;
      ++Packets;
    }
    Pending.erase(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(Used));
  }
};

TOggOpusWriter::TOggOpusWriter(int32_t ARate) : FState(std::make_unique<TState>()) {
  TState& s = *FState;
  s.Encoder = NewEncoder(ARate);
  opus_int32 LookAhead = 0;
  opus_encoder_ctl(s.Encoder.get(), OPUS_GET_LOOKAHEAD(&LookAhead));
  s.LookAhead = LookAhead;
  s.Scale = OpusGranuleRate / ARate;
  s.PreSkip = static_cast<int32_t>(LookAhead * s.Scale);
  s.FrameSize = ARate / OpusFramesPerSecond;
  auto Head = HeadPacket(ARate, s.PreSkip);
  s.Stream.Add(Head, true, false, 0, 0);
  s.Stream.Pages(s.Out, true);
  auto Tags = TagsPacket();
  s.Stream.Add(Tags, false, false, 0, 1);
  s.Stream.Pages(s.Out, true);
}

TOggOpusWriter::~TOggOpusWriter() = default;

void TOggOpusWriter::Append(std::span<const float> ASamples) {
  FState->Pending.insert(FState->Pending.end(), ASamples.begin(), ASamples.end());
  FState->Samples += static_cast<int64_t>(ASamples.size());
  FState->EncodeWholePackets();
}

void TOggOpusWriter::Flush() {
  FState->Stream.Pages(FState->Out, true);
}

void TOggOpusWriter::Finish() {
  // The encoder lags by its look-ahead: feed that much silence after the clip so its last
  // samples come out, then pad to whole packets. The final granule position cuts the
  // padding off again in every decoder.
  TState& s = *FState;
  s.Pending.resize(s.Pending.size() + static_cast<std::size_t>(s.LookAhead), 0.0f);
  const std::size_t Frame = static_cast<std::size_t>(s.FrameSize);
  const std::size_t Whole =
      std::max<std::size_t>(s.Packets > 0 ? 0 : 1, (s.Pending.size() + Frame - 1) / Frame);
  s.Pending.resize(Whole * Frame, 0.0f);
  s.EncodeWholePackets();
  s.Release(true);
}

TBytes TOggOpusWriter::Take() {
  return std::exchange(FState->Out, TBytes());
}

TBytes EncodeOggOpus(const TPcmBuffer& ABuffer) {
  TOggOpusWriter Writer(ABuffer.SampleRate);
  Writer.Append(ABuffer.Data);
  Writer.Finish();
  return Writer.Take();
}

}  // namespace quavox
