#include "audio/StreamEncode.h"

#include <sndfile.h>

#include <cstring>

#include "audio/EncodeBackends.h"
#include "audio/Wav.h"

namespace quavox {

namespace {

constexpr std::size_t WavHeaderBytes = 44;
// The size fields of a WAV whose length is not known yet, as streaming players expect.
constexpr uint8_t UnknownSize = 0xFF;

void PutSize(TBytes& AWav, std::size_t AAt, std::size_t ASize) {
  for (int i = 0; i < 4; ++i)
    AWav[AAt + i] = static_cast<uint8_t>(static_cast<uint32_t>(ASize) >> (8 * i));
}

class TPcmEncoder : public TStreamEncoder {
 public:
  TBytes Append(const TPcmBuffer& ABuffer) override { return RawPcm(ABuffer); }
  TBytes Finish() override { return {}; }
};

// The header goes out first with both sizes unknown; the samples follow as they come.
class TWavEncoder final : public TPcmEncoder {
 public:
  explicit TWavEncoder(int32_t ARate) : FRate(ARate) {}
  TBytes Append(const TPcmBuffer& ABuffer) override {
    TBytes Out;
    if (!FHeaderSent) {
      TPcmBuffer Empty;
      Empty.SampleRate = FRate;
      Out = PcmToWav(Empty);
      std::memset(Out.data() + 4, UnknownSize, 4);
      std::memset(Out.data() + 40, UnknownSize, 4);
      FHeaderSent = true;
    }
    const TBytes Samples = RawPcm(ABuffer);
    Out.insert(Out.end(), Samples.begin(), Samples.end());
    return Out;
  }
  TBytes Finish() override { return FHeaderSent ? TBytes() : Append(TPcmBuffer{{}, FRate}); }
  void Complete(TBytes& AWhole) const override {
    if (AWhole.size() < WavHeaderBytes) return;
    PutSize(AWhole, 4, AWhole.size() - 8);
    PutSize(AWhole, 40, AWhole.size() - WavHeaderBytes);
  }

 private:
  int32_t FRate;
  bool FHeaderSent = false;
};

class TOpusEncoder final : public TStreamEncoder {
 public:
  explicit TOpusEncoder(int32_t ARate) : FWriter(ARate) {}
  TBytes Append(const TPcmBuffer& ABuffer) override {
    FWriter.Append(ABuffer.Data);
    return FWriter.Take();
  }
  TBytes EndPart() override {
    FWriter.Flush();
    return FWriter.Take();
  }
  TBytes Finish() override {
    FWriter.Finish();
    return FWriter.Take();
  }

 private:
  TOggOpusWriter FWriter;
};

// LAME writes its gapless-information frame first and fills it in when the file closes;
// a stream carries that frame empty, which decoders play as a moment of silence.
class TMp3Encoder final : public TStreamEncoder {
 public:
  explicit TMp3Encoder(int32_t ARate) : FWriter(ARate, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III) {}
  TBytes Append(const TPcmBuffer& ABuffer) override {
    FWriter.Append(ABuffer.Data);
    return FWriter.Take();
  }
  TBytes Finish() override {
    FWriter.Close();
    return FWriter.Take();
  }
  void Complete(TBytes& AWhole) const override { FWriter.Complete(AWhole); }

 private:
  TSndfileWriter FWriter;
};

// Formats that need the whole clip: it is kept and encoded at the end.
class TWholeEncoder final : public TStreamEncoder {
 public:
  TWholeEncoder(TAudioFormat AFormat, int32_t ARate) : FFormat(AFormat) {
    FClip.SampleRate = ARate;
  }
  TBytes Append(const TPcmBuffer& ABuffer) override {
    FClip.Data.insert(FClip.Data.end(), ABuffer.Data.begin(), ABuffer.Data.end());
    return {};
  }
  TBytes Finish() override { return EncodeAudio(FClip, FFormat); }

 private:
  TAudioFormat FFormat;
  TPcmBuffer FClip;
};

}  // namespace

bool StreamableFormat(TAudioFormat AFormat) {
  return AFormat == afPcm || AFormat == afWav || AFormat == afMp3 || AFormat == afOpus;
}

std::unique_ptr<TStreamEncoder> NewStreamEncoder(TAudioFormat AFormat, int32_t ARate) {
  switch (AFormat) {
    case afPcm:
      return std::make_unique<TPcmEncoder>();
    case afWav:
      return std::make_unique<TWavEncoder>(ARate);
    case afOpus:
      return std::make_unique<TOpusEncoder>(ARate);
    case afMp3:
      return std::make_unique<TMp3Encoder>(ARate);
    default:
      return std::make_unique<TWholeEncoder>(AFormat, ARate);
  }
}

}  // namespace quavox
