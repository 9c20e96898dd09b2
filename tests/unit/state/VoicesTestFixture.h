// Shared fixture of the voice library tests: a private program folder per test, a
// configuration and library inside it, generated audio, and event-log inspection.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>

#include "audio/Audio.h"
#include "audio/Wav.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "state/Config.h"
#include "state/Json.h"
#include "state/Voices.h"
#include "support/TempDir.h"

namespace quavox::voicetest {

namespace fs = std::filesystem;

// Before anything decodes, so the one-time load finds the library of this build (a test
// program that must run without it defines another path before including this file).
#ifndef QX_VOICES_DECODER_PATH
#define QX_VOICES_DECODER_PATH QUAVOX_BIN_DIR "/libquavox_audio.so"
#endif
inline const bool DecoderPathSet = (SetDecoderPathForTesting(QX_VOICES_DECODER_PATH), true);

inline TPcmBuffer TonePcm(int32_t AMs, int32_t ARate, double AFreq = 440.0) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = ARate;
  const auto n = static_cast<std::size_t>(std::llround(static_cast<double>(ARate) * AMs / 1000.0));
  Pcm.Data.resize(n);
  for (std::size_t i = 0; i < n; ++i)
    Pcm.Data[i] = 0.4f * static_cast<float>(std::sin(2 * std::numbers::pi * AFreq * i / ARate));
  return Pcm;
}

// A 16-bit WAV; the frequency makes recordings of equal length distinct.
inline TBytes ToneWav(int32_t AMs, int32_t ARate = 24000, double AFreq = 440.0) {
  return PcmToWav(TonePcm(AMs, ARate, AFreq));
}

inline TBytes TextBytes(std::string_view AText) {
  return TBytes(AText.begin(), AText.end());
}

class VoicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TAppLog::Clear();
    SetUiLang(ulZh);
    Config = std::make_unique<TAppConfig>(TAppFolders{Root, Root + "appdata/"});
    Library = std::make_unique<TVoiceLibrary>(*Config);
  }
  void TearDown() override {
    Library.reset();
    Config.reset();
    SetUiLang(ulAuto);
  }

  std::string VoicesFile() const { return Config->VoicesFile(); }
  std::string CloneDir() const { return Config->VoicesDir(); }

  void WriteText(const std::string& APath, std::string_view AText) const {
    WriteFileBytes(APath, TextBytes(AText));
  }
  static std::string ReadText(const std::string& APath) {
    const TBytes b = ReadFileBytes(APath);
    return {b.begin(), b.end()};
  }
  // Writes voices.json and loads it.
  void LoadVoices(std::string_view AJson) {
    WriteText(VoicesFile(), AJson);
    Library->Load();
  }
  TJson SavedJson() const {
    const auto Parsed = ParseJsonObject(StripUtf8Bom(ReadText(VoicesFile())));
    return Parsed ? *Parsed : TJson();
  }

  static bool Logged(TLogLevel ALevel, std::string_view APrefix) {
    for (const TLogEntry& e : TAppLog::Entries())
      if (e.Level == ALevel && e.Source == "voices" && e.Text.starts_with(APrefix)) return true;
    return false;
  }
  static std::size_t LogCount() {
    std::size_t n = 0;
    for (const TLogEntry& e : TAppLog::Entries())
      n += e.Source == "voices";
    return n;
  }

  static TVoiceCloneSpec CloneOrder(std::string_view ADisplay,
                                    std::vector<TVoiceClipInput> AClips) {
    TVoiceCloneSpec s;
    s.Display = ADisplay;
    s.Clips = std::move(AClips);
    return s;
  }

  // Stores a clip file for a hand-written voices.json.
  void PutClip(const std::string& AName, const TBytes& ABytes) const {
    WriteFileBytes(CloneDir() + AName, ABytes);
  }

  // Runs an encoder command line ("%in" and "%out" replaced) over a WAV; empty bytes when
  // the tool is missing or fails.
  TBytes Encode(const TBytes& AWav, const std::string& AExtension,
                const std::string& ACommand) const {
    const std::string Dir = Root + "gen/";
    fs::create_directories(Dir);
    const std::string In = Dir + "in.wav";
    const std::string Out = Dir + "out" + AExtension;
    WriteFileBytes(In, AWav);
    fs::remove(Out);
    std::string Cmd = ACommand;
    Cmd.replace(Cmd.find("%in"), 3, "'" + In + "'");
    Cmd.replace(Cmd.find("%out"), 4, "'" + Out + "'");
    if (std::system((Cmd + " >/dev/null 2>&1").c_str()) != 0) return {};
    return ReadFileBytes(Out);
  }
  TBytes Mp3(const TBytes& AWav) const { return Encode(AWav, ".mp3", "lame --quiet %in %out"); }
  TBytes OggVorbis(const TBytes& AWav) const {
    return Encode(AWav, ".ogg", "oggenc --quiet -o %out %in");
  }
  TBytes OggOpus(const TBytes& AWav) const {
    return Encode(AWav, ".ogg", "opusenc --quiet %in %out");
  }

  const TTempDir RootDir{"quavox-voices"};
  const std::string Root = RootDir.Path();
  std::unique_ptr<TAppConfig> Config;
  std::unique_ptr<TVoiceLibrary> Library;
};

#define QX_REQUIRE_DECODER()                                     \
  if (!DecoderAvailable())                                       \
  GTEST_SKIP() << "libquavox_audio.so is not in " QUAVOX_BIN_DIR \
                  " (build the quavox_audio target): MP3 and Ogg cases need the decoder"

#define QX_REQUIRE_BYTES(ABytes, ATool) \
  if ((ABytes).empty()) GTEST_SKIP() << ATool " is not installed or failed"

}  // namespace quavox::voicetest
