#include "app/Player.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QMediaDevices>
#include <chrono>

#include "audio/DspKernels.h"
#include "audio/Wav.h"
#include "core/Log.h"

namespace quavox {

namespace {

uint64_t SteadyTicks() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

QByteArray ToPcm16(const TPcmBuffer& APcm) {
  QByteArray Bytes(static_cast<qsizetype>(APcm.Data.size() * sizeof(int16_t)), Qt::Uninitialized);
  FloatToPcm16(APcm.Data.data(), APcm.Data.size(), reinterpret_cast<uint8_t*>(Bytes.data()));
  return Bytes;
}

}  // namespace

TWavPlayer::TWavPlayer(TTickClock AClock)
    : FClock(AClock ? std::move(AClock) : TTickClock(SteadyTicks)) {}

TWavPlayer::~TWavPlayer() {
  Stop();
}

bool TWavPlayer::Play(const TBytes& AWav, int32_t ADurationMs) {
  if (AWav.empty()) return false;
  Stop();
  FBuffer = AWav;
  FDurationMs = ADurationMs;
  FEndTick = FClock() + static_cast<uint64_t>(std::max(ADurationMs, 0));
  if (StartOutput()) return true;
  FBuffer.clear();
  FEndTick = 0;
  return false;
}

void TWavPlayer::Stop() {
  if (!FBuffer.empty()) {
    if (FSink) FSink->stop();
    FSink.reset();
    FSource.close();
    FSamples.clear();
    FBuffer.clear();
  }
  FEndTick = 0;
}

bool TWavPlayer::Playing() const {
  return !FBuffer.empty() && FClock() < FEndTick;
}

// The project's own reader understands the WAV; the device gets mono 16-bit samples.
bool TWavPlayer::StartOutput() {
  TPcmBuffer Pcm;
  if (!WavToPcm(FBuffer, Pcm) || Pcm.SampleRate <= 0) return false;
  const QAudioDevice Device = QMediaDevices::defaultAudioOutput();
  if (Device.isNull()) return false;
  QAudioFormat Format;
  Format.setSampleRate(Pcm.SampleRate);
  Format.setChannelCount(1);
  Format.setSampleFormat(QAudioFormat::Int16);
  if (!Device.isFormatSupported(Format)) {
    TAppLog::Warn("audio", "the audio output cannot play %d Hz", Pcm.SampleRate);
    return false;
  }
  FSamples = ToPcm16(Pcm);
  FSource.setBuffer(&FSamples);
  FSource.open(QIODevice::ReadOnly);
  FSink = std::make_unique<QAudioSink>(Device, Format);
  FSink->start(&FSource);
  if (FSink->error() == QAudio::NoError) return true;
  FSink.reset();
  FSource.close();
  FSamples.clear();
  return false;
}

}  // namespace quavox
