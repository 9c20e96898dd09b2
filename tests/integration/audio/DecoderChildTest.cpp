// Uploaded clips decoded in the quavox-decode child: real MP3 and Ogg come back as the
// library decodes them in-process, and a library that crashes, hangs or eats memory fails
// the one call while this process lives on. The limits are shortened here.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "audio/Audio.h"
#include "audio/DecoderChild.h"
#include "audio/Wav.h"
#include "core/Log.h"
#include "platform/Files.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string Helper = QUAVOX_BIN_DIR "/quavox-decode";
const std::string RealDecoder = QUAVOX_BIN_DIR "/libquavox_audio.so";
const std::string FakeDecoder = QUAVOX_BIN_DIR "/../tests/libquavox_audio_fake.so";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool MemoryLimitWorks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool MemoryLimitWorks = false;
#else
constexpr bool MemoryLimitWorks = true;
#endif
#else
constexpr bool MemoryLimitWorks = true;
#endif

TBytes Bytes(std::string_view AText) {
  return TBytes(AText.begin(), AText.end());
}

// A tone (half a second unless told), encoded by the tools the dependency script installs.
TBytes Encoded(const std::string& AExtension, const char* ASeconds = "0.5",
               const char* ARate = "22050") {
  static const TTempDir Folder("quavox-child");
  const std::string Wav = Folder.Path("tone.wav");
  const std::string Out = Folder.Path("tone" + AExtension);
  const std::string Encode =
      AExtension == ".mp3" ? "lame --quiet " + Wav + " " + Out : "oggenc -Q " + Wav + " -o " + Out;
  const std::string Tone = "sox -n -r " + std::string(ARate) + " -b 16 -c 1 " + Wav + " synth " +
                           ASeconds + " sine 330 2>/dev/null";
  if (std::system((Tone + " && " + Encode + " 2>/dev/null").c_str()) != 0) return {};
  return ReadFileBytes(Out);
}

class DecoderChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(Helper)) << Helper << " was not built";
    ASSERT_TRUE(fs::exists(FakeDecoder)) << FakeDecoder << " was not built";
    // The in-process library, for comparison; takes effect only before the first load.
    SetDecoderPathForTesting(RealDecoder);
  }
  void TearDown() override { SetDecoderChildForTesting({}, {}, {}); }

  static void Use(const std::string& ALibrary) {
    TDecoderChildLimits Limits;
    Limits.WallTime = 2000ms;
    Limits.CpuSeconds = 1;
    Limits.MemoryBytes = int64_t(256) << 20;
    SetDecoderChildForTesting(Helper, ALibrary, Limits);
  }
};

TEST_F(DecoderChildTest, RealClipsDecodeAsInProcess) {
  Use(RealDecoder);
  for (const std::string Extension : {".mp3", ".ogg"}) {
    SCOPED_TRACE(Extension);
    const TBytes Audio = Encoded(Extension);
    ASSERT_FALSE(Audio.empty()) << "sox, lame and oggenc are needed (scripts/install-deps.sh)";
    EXPECT_EQ(HasMp3Frames(Audio), Extension == ".mp3");
    TPcmBuffer Pcm;
    ASSERT_EQ(DecodeInChild(Audio, Extension == ".ogg", Pcm), cdOk);
    TPcmBuffer Here;
    ASSERT_TRUE(DecodeAudio(Audio, Here));
    EXPECT_EQ(Pcm.SampleRate, Here.SampleRate);
    EXPECT_EQ(Pcm.Data, Here.Data);
  }
  TPcmBuffer Pcm;
  EXPECT_EQ(DecodeInChild(Bytes("OggS but nothing more"), true, Pcm), cdBroken);
  EXPECT_TRUE(Pcm.IsEmpty());
}

// Past the library's ten minutes a clip is too long, not damaged: the uploader needs to know
// which.
TEST_F(DecoderChildTest, ClipsPastTenMinutesAreTooLong) {
  SetDecoderChildForTesting(Helper, RealDecoder, {});
  for (const std::string Extension : {".mp3", ".ogg"}) {
    SCOPED_TRACE(Extension);
    const TBytes Audio = Encoded(Extension, "610", "8000");
    ASSERT_FALSE(Audio.empty());
    TPcmBuffer Pcm;
    EXPECT_EQ(DecodeInChild(Audio, Extension == ".ogg", Pcm), cdTooLong);
    EXPECT_TRUE(Pcm.IsEmpty());
  }
}

TEST_F(DecoderChildTest, MisbehavingLibraryFailsOnlyTheOneCall) {
  struct TCase {
    const char* Input;
    TChildDecode Expected;
    bool NeedsMemoryLimit;
  };
  const TCase Cases[] = {
      {"ID3 QXFAKE-CRASH", cdCrashed, false},
      {"OggS QXFAKE-CRASH", cdCrashed, false},
      {"ID3 QXFAKE-HANG", cdTimedOut, false},
      {"ID3 QXFAKE-HOG", cdBroken, true},
  };
  Use(FakeDecoder);
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Input);
    if (c.NeedsMemoryLimit && !MemoryLimitWorks) continue;
    TPcmBuffer Pcm;
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(DecodeInChild(Bytes(c.Input), std::string_view(c.Input).starts_with("OggS"), Pcm),
              c.Expected);
    EXPECT_TRUE(Pcm.IsEmpty());
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 20s);
  }
  bool CrashLogged = false;
  for (const TLogEntry& Entry : TAppLog::Entries())
    CrashLogged |= Entry.Source == "audio" && Entry.Text == "decoder crashed: SIGSEGV (signal 11)";
  EXPECT_TRUE(CrashLogged);
}

TEST_F(DecoderChildTest, MissingLibraryIsNoDecoder) {
  const TTempDir Empty("quavox-child-nolib");
  Use(Empty.Path("libquavox_audio.so"));
  TPcmBuffer Pcm;
  EXPECT_EQ(DecodeInChild(Bytes("ID3 anything"), false, Pcm), cdNoDecoder);
}

}  // namespace
}  // namespace quavox
