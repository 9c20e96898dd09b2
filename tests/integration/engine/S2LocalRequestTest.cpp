// The generate request as it arrives at a server: a stand-in server on a run-time port
// records the parts in arrival order. The child is a script that never listens, so the engine
// finds the stand-in through the fallback port, as it would find a server that ignores the
// port it was given.
#include <gtest/gtest.h>

#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "audio/Wav.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "engine/EngineS2Local.h"
#include "state/Config.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One part as the server's multipart reader delivers it, in arrival order.
struct TPart {
  std::string Name;
  std::string FileName;
  std::string ContentType;
  std::string Body;
};

class S2LocalRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLang(ulZh);
    fs::create_directories(FRoot + "engine");
    fs::create_directories(FRoot + "models");
    {
      std::ofstream Script(FRoot + "engine/s2");
      Script << "#!/bin/sh\nexec sleep 600\n";
    }
    fs::permissions(FRoot + "engine/s2", fs::perms::owner_all);
    std::ofstream(FRoot + "models/m.gguf") << "GGUF";
    FConfig = std::make_unique<TAppConfig>(TAppFolders{FRoot, FRoot + "appdata/"});

    FServer.Post("/generate", [this](const httplib::Request&, httplib::Response& Res,
                                     const httplib::ContentReader& Reader) {
      std::vector<TPart> Parts;
      Reader(
          [&Parts](const httplib::MultipartFormData& AHeader) {
            Parts.push_back({AHeader.name, AHeader.filename, AHeader.content_type, {}});
            return true;
          },
          [&Parts](const char* AData, size_t ALen) {
            Parts.back().Body.append(AData, ALen);
            return true;
          });
      std::lock_guard<std::mutex> Guard(FMutex);
      FParts = std::move(Parts);
      Res.status = FStatus;
      Res.set_content(FReply, "application/octet-stream");
    });
    FPort = FServer.bind_to_any_port("127.0.0.1");
    FThread = std::thread([this] { FServer.listen_after_bind(); });
  }

  void TearDown() override {
    FEngine.reset();
    FServer.stop();
    FThread.join();
    FConfig.reset();
    SetUiLang(ulAuto);
  }

  TS2LocalEngine& ReadyEngine(int32_t ATimeoutMs = 180000) {
    TS2Timing Timing;
    Timing.ReadyPoll = 10ms;
    Timing.LivenessPoll = 50ms;
    Timing.FirstPort = Timing.LastPort = UnusedLoopbackPort();
    Timing.FallbackPort = FPort;
    TEngineOptions Options;
    Options.TimeoutMs = ATimeoutMs;
    FEngine = std::make_unique<TS2LocalEngine>(Options, *FConfig, Timing);
    FEngine->Start();
    for (int i = 0; i < 2000 && FEngine->State() != esReady; ++i)
      std::this_thread::sleep_for(5ms);
    EXPECT_EQ(FEngine->State(), esReady) << FEngine->Detail();
    EXPECT_EQ(FEngine->Port(), FPort);
    return *FEngine;
  }

  std::vector<TPart> Sent() {
    std::lock_guard<std::mutex> Guard(FMutex);
    return FParts;
  }

  void Answer(int AStatus, const std::string& AReply) {
    std::lock_guard<std::mutex> Guard(FMutex);
    FStatus = AStatus;
    FReply = AReply;
  }

  const TTempDir FRootDir{"qx-s2req"};
  const std::string FRoot = FRootDir.Path();
  std::unique_ptr<TAppConfig> FConfig;
  httplib::Server FServer;
  std::thread FThread;
  int FPort = 0;
  std::mutex FMutex;
  std::vector<TPart> FParts;
  int FStatus = 200;
  std::string FReply;
  std::unique_ptr<TS2LocalEngine> FEngine;
};

TEST_F(S2LocalRequest, PartsInOrderWithTheirTypes) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = 24000;
  Pcm.Data.assign(2400, 0.25f);
  const TBytes Wav = PcmToWav(Pcm, 1);
  Answer(200, std::string(Wav.begin(), Wav.end()));
  const TBytes Mp3 = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0, 0xFF, 0xFB};

  struct TCase {
    const char* Title;
    TBytes Reference;
    std::string ReferenceText;
    std::string Profile;
    std::vector<std::string> Names;
    std::string FileName;
  };
  const TCase Cases[] = {
      {"wav reference",
       Wav,
       "参考文本",
       "",
       {"text", "params", "reference", "reference_text"},
       "reference.wav"},
      {"mp3 reference",
       Mp3,
       "t",
       "",
       {"text", "params", "reference", "reference_text"},
       "reference.mp3"},
      {"nothing: the server picks",
       {},
       "",
       "",
       {"text", "params", "reference", "reference_text"},
       "reference.wav"},
      {"profile", Wav, "ignored", "announcer-7", {"text", "params", "voice"}, ""},
  };
  TS2LocalEngine& Engine = ReadyEngine();
  for (const TCase& c : Cases) {
    TS2Params p;
    p.Text = "CA1234 航班现在开始登机";
    p.ReferenceAudio = c.Reference;
    p.ReferenceText = c.ReferenceText;
    p.VoiceProfile = c.Profile;
    p.Temperature = 0.7f;
    p.Seed = 42;
    const TPcmBuffer Got = Engine.Synthesize(p, TVoiceHint{"zh", tgFemale, 0, "Test voice"});
    EXPECT_EQ(Got.SampleRate, 24000) << c.Title;
    EXPECT_EQ(Got.Data.size(), 2400u) << c.Title;

    const std::vector<TPart> Parts = Sent();
    std::vector<std::string> Names;
    for (const TPart& Part : Parts)
      Names.push_back(Part.Name);
    ASSERT_EQ(Names, c.Names) << c.Title;
    EXPECT_EQ(Parts[0].Body, p.Text);
    EXPECT_EQ(Parts[0].ContentType, "text/plain; charset=utf-8");
    EXPECT_EQ(Parts[1].Body, R"({"max_new_tokens":1024,"temperature":0.7,"top_p":0.8,"top_k":40,)"
                             R"("repetition_penalty":1.1,"seed":42})");
    if (c.Profile.empty()) {
      EXPECT_EQ(Parts[2].Body, std::string(c.Reference.begin(), c.Reference.end())) << c.Title;
      EXPECT_EQ(Parts[2].FileName, c.FileName);
      EXPECT_EQ(Parts[2].ContentType, "application/octet-stream");
      EXPECT_EQ(Parts[3].Body, c.ReferenceText);
    } else {
      EXPECT_EQ(Parts[2].Body, c.Profile);
    }
  }

  bool Warned = false;
  for (const TLogEntry& Entry : TAppLog::Entries())
    Warned |= Entry.Source == "s2" &&
              Entry.Text ==
                  "no reference audio for this request; the model picks the voice itself (voice: "
                  "Test voice)";
  EXPECT_TRUE(Warned);
}

TEST_F(S2LocalRequest, ServerFailuresBecomeEngineErrors) {
  struct TCase {
    int Status;
    std::string Reply;
    std::string Message;
  };
  const TCase Cases[] = {
      {500, "model exploded \xff", "推理进程返回 500:model exploded \xef\xbf\xbd"},
      {200, "hello", "推理进程返回的 5 字节不是能识别的 WAV"},
      {200, "", "推理进程返回的 0 字节不是能识别的 WAV"},
  };
  for (const TCase& c : Cases) {
    Answer(c.Status, c.Reply);
    TS2LocalEngine& Engine = ReadyEngine();
    TS2Params p;
    p.Text = "hello";
    try {
      Engine.Synthesize(p, {});
      ADD_FAILURE() << "no exception for " << c.Message;
    } catch (const ETtsError& E) {
      EXPECT_EQ(E.Code(), ecEngineFailed);
      EXPECT_EQ(std::string(E.what()), c.Message);
    }
    EXPECT_EQ(Engine.State(), esReady);
  }
}

}  // namespace
}  // namespace quavox
