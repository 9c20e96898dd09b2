// A real process writing the cache is killed at random moments; each restart must find
// only complete clips and complete index files, and must know every clip on disk.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "audio/Wav.h"
#include "core/Text.h"
#include "state/Cache.h"
#include "state/Json.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

constexpr int KeyCount = 12;
constexpr int PutsPerBurst = 40;
constexpr int64_t Budget = 700 * 1024;

std::string KeyOf(int k) {
  return Sha256Hex(std::string_view("clip " + std::to_string(k)));
}

// Each key always carries the same bytes, so a reader can tell a complete clip from part
// of one.
TBytes WavOf(int k) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = 24000;
  Pcm.Data.resize(static_cast<std::size_t>(3000 + 8000 * k));
  for (std::size_t i = 0; i < Pcm.Data.size(); ++i)
    Pcm.Data[i] = static_cast<float>((static_cast<int>(i) * (k + 3)) % 500 - 250) / 500.0f;
  return PcmToWav(Pcm);
}

TTtsResult ResultOf(int k) {
  TTtsResult r;
  r.Wav = WavOf(k);
  r.SampleRate = 24000;
  r.DurationMs = static_cast<int32_t>((r.Wav.size() - 44) / 48);
  r.VoiceId = "v" + std::to_string(k);
  r.Language = "zh";
  return r;
}

// The child: a burst of stores, with index saves due on every store (its clock jumps past
// the throttle each time), some forced saves and removals; it reports each finished store
// through the pipe.
[[noreturn]] void RunChild(const std::string& ADir, int AReportFd, unsigned ASeed) {
  {
    std::atomic<int64_t> Ms{0};
    TWavCache Cache(ADir, Budget, [&Ms] {
      return std::chrono::steady_clock::time_point(std::chrono::milliseconds(Ms += 2500));
    });
    std::mt19937 Rng(ASeed);
    for (int i = 0; i < PutsPerBurst; ++i) {
      const int k = static_cast<int>(Rng() % KeyCount);
      Cache.Put(KeyOf(k), ResultOf(k), "clip " + std::to_string(k));
      if (Rng() % 8 == 0) Cache.Flush();
      if (Rng() % 10 == 0) Cache.Remove(KeyOf(static_cast<int>(Rng() % KeyCount)));
      const char Done = 1;
      if (::write(AReportFd, &Done, 1) != 1) break;
    }
  }
  ::_exit(0);
}

bool IsCompleteJsonObject(const std::string& APath) {
  const TBytes Raw = ReadFileBytes(APath);
  const std::string_view Text =
      StripUtf8Bom(std::string_view(reinterpret_cast<const char*>(Raw.data()), Raw.size()));
  const auto Value = nlohmann::json::parse(Text, nullptr, false);
  return !Value.is_discarded() && Value.is_object();
}

class CacheCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int k = 0; k < KeyCount; ++k) {
      KeyIndex[KeyOf(k)] = k;
      Wavs.push_back(WavOf(k));
    }
  }

  // What the killed process left: every index complete, every clip complete. Returns the
  // keys of the clips on disk.
  std::set<std::string> InspectFolder() {
    std::set<std::string> Clips;
    for (const auto& f : fs::directory_iterator(Dir)) {
      const std::string Name = f.path().filename().string();
      if (Name == "index.json" || Name == "index.json.bak") {
        EXPECT_TRUE(IsCompleteJsonObject(f.path().string())) << Name << " is half-written";
      } else if (EndsWith(Name, ".tmp")) {
        // A clip or an index being written at the moment of the kill.
      } else if (EndsWith(Name, ".wav")) {
        const std::string Key = Name.substr(0, Name.size() - 4);
        const auto It = KeyIndex.find(Key);
        if (It == KeyIndex.end()) {
          ADD_FAILURE() << "unexpected clip " << Name;
          continue;
        }
        EXPECT_TRUE(ReadFileBytes(f.path().string()) == Wavs[It->second]) << Name << " is torn";
        Clips.insert(Key);
      } else {
        ADD_FAILURE() << "unexpected file " << Name;
      }
    }
    return Clips;
  }

  // A restart: every clip on disk is known, every entry serves exactly its clip, and the
  // temporaries are gone.
  void CheckRestart(const std::set<std::string>& AClips) {
    TWavCache Cache(Dir, Budget);
    for (const std::string& Key : AClips)
      EXPECT_TRUE(Cache.Contains(Key)) << "clip neither indexed nor adopted: " << Key;
    int64_t Bytes = 0;
    for (const auto& [Key, Entry] : Cache.Snapshot()) {
      Bytes += Entry.Bytes;
      EXPECT_EQ(Entry.FileName, Key + ".wav");
      TTtsResult r;
      ASSERT_TRUE(Cache.TryGet(Key, r)) << Key;
      ASSERT_TRUE(KeyIndex.count(Key)) << Key;
      EXPECT_TRUE(r.Wav == Wavs[KeyIndex[Key]]) << "served a partial clip for " << Key;
      EXPECT_EQ(Entry.Bytes, static_cast<int32_t>(r.Wav.size()));
    }
    EXPECT_EQ(Cache.Stats().Bytes, Bytes);
    EXPECT_EQ(Cache.Stats().Count, static_cast<int32_t>(AClips.size()));
    for (const auto& f : fs::directory_iterator(Dir))
      EXPECT_FALSE(EndsWith(f.path().filename().string(), ".tmp"))
          << "stale temporary left: " << f.path().filename();
  }

  const TTempDir ScratchDir{"quavox-cache-crash"};
  const std::string Dir = ScratchDir.Path();
  std::map<std::string, int> KeyIndex;
  std::vector<TBytes> Wavs;
};

TEST_F(CacheCrashTest, KilledWritersLeaveOnlyCompleteFiles) {
  fs::create_directories(Dir);
  for (unsigned Round = 0; Round < 20; ++Round) {
    SCOPED_TRACE("round " + std::to_string(Round));
    const unsigned Seed = 7001 + Round;
    int Fds[2];
    ASSERT_EQ(::pipe(Fds), 0);
    const pid_t Pid = ::fork();
    ASSERT_GE(Pid, 0);
    if (Pid == 0) {
      ::close(Fds[0]);
      RunChild(Dir, Fds[1], Seed);
    }
    ::close(Fds[1]);

    // Let a random number of stores finish, then kill somewhere inside the next ones.
    std::mt19937 Rng(Seed * 31u);
    const int Wait = static_cast<int>(Rng() % PutsPerBurst);
    char Byte;
    for (int i = 0; i < Wait && ::read(Fds[0], &Byte, 1) == 1; ++i) {
    }
    std::this_thread::sleep_for(std::chrono::microseconds(Rng() % 4000));
    ::kill(Pid, SIGKILL);
    int Status = 0;
    ASSERT_EQ(::waitpid(Pid, &Status, 0), Pid);
    ::close(Fds[0]);

    const std::set<std::string> Clips = InspectFolder();
    CheckRestart(Clips);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace quavox
