#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "core/Format.h"
#include "core/I18n.h"
#include "engine/EngineS2Local.h"
#include "state/Config.h"
#include "state/Json.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

// A throw-away program folder with a configuration built over it.
class TProgramDir {
  const TTempDir FRootDir{"qx-s2unit"};
  const std::string FRoot = FRootDir.Path();

 public:
  TProgramDir() { Config = std::make_unique<TAppConfig>(TAppFolders{FRoot, FRoot + "appdata/"}); }
  const std::string& Root() const { return FRoot; }
  // Creates the file (and its folders) with ASize bytes.
  std::string Put(const std::string& ARelative, std::size_t ASize = 1) const {
    const std::string Path = FRoot + ARelative;
    fs::create_directories(fs::path(Path).parent_path());
    std::ofstream(Path, std::ios::binary) << std::string(ASize, 'g');
    return Path;
  }

  std::unique_ptr<TAppConfig> Config;
};

TS2Params Says(const std::string& AText) {
  TS2Params p;
  p.Text = AText;
  return p;
}

class S2LocalUnit : public ::testing::Test {
 protected:
  void SetUp() override { SetUiLang(ulZh); }
  void TearDown() override { SetUiLang(ulAuto); }

  std::unique_ptr<TS2LocalEngine> Engine(const TEngineOptions& AOptions = {}) {
    return std::make_unique<TS2LocalEngine>(AOptions, *Dir.Config);
  }

  TProgramDir Dir;
};

TEST(S2CommandLine, EachBackendGetsItsFlags) {
  struct TCase {
    TComputeBackend Compute;
    int32_t Threads;
    const char* Extra;
    const char* Tokenizer;
    const char* Tail;
  };
  const TCase Cases[] = {
      {cbAuto, 0, "", "", ""},
      {cbCpu, 0, "", "", " -ngl 0"},
      {cbCuda, 0, "", "", " -c 2 -ngl -1"},
      {cbVulkan, 0, "", "", " -v 2 -ngl -1"},
      {cbCpu, 6, "", "", " -ngl 0 -threads 6"},
      {cbAuto, 0, "--test-exit-code 3", "", " --test-exit-code 3"},
      {cbVulkan, 4, "--x \"a b\"", "/m/tokenizer.json",
       " --tokenizer \"/m/tokenizer.json\" -v 2 -ngl -1 -threads 4 --x \"a b\""},
  };
  for (const TCase& c : Cases) {
    TEngineOptions Opt;
    Opt.Compute = c.Compute;
    Opt.GpuDevice = 2;
    Opt.GpuLayers = -1;
    Opt.Threads = c.Threads;
    Opt.ExtraArgs = c.Extra;
    EXPECT_EQ(S2CommandLine("/p/engine/s2", "/m/x.gguf", 17151, c.Tokenizer, Opt),
              std::string("\"/p/engine/s2\" --model \"/m/x.gguf\" --server --host 127.0.0.1 "
                          "--port 17151") +
                  c.Tail)
        << ComputeToStr(c.Compute);
  }
  TEngineOptions Cuda;
  Cuda.Compute = cbCuda;
  Cuda.GpuDevice = 1;
  Cuda.GpuLayers = 20;
  EXPECT_EQ(SplitCommandLine(S2CommandLine("/a b/s2", "/m/x y.gguf", 17160, "", Cuda)),
            (std::vector<std::string>{"/a b/s2", "--model", "/m/x y.gguf", "--server", "--host",
                                      "127.0.0.1", "--port", "17160", "-c", "1", "-ngl", "20"}));
}

TEST(S2ExitReasonText, NamesEachCause) {
  SetUiLang(ulZh);
  EXPECT_EQ(S2ExitReasonText(TExitStatus::Killed(SIGSEGV)),
            "引擎访问了非法内存(可能是模型文件损坏)。");
  EXPECT_EQ(S2ExitReasonText(TExitStatus::Killed(SIGBUS)),
            "引擎访问了非法内存(可能是模型文件损坏)。");
  EXPECT_EQ(S2ExitReasonText(TExitStatus::Killed(SIGKILL)), "内存不够,引擎起不来。");
  EXPECT_EQ(
      S2ExitReasonText(TExitStatus::Killed(SIGILL)),
      "这台电脑的 CPU 不支持引擎用到的指令集(非法指令)。换用别的计算后端,或者换一台较新的机器。");
  EXPECT_EQ(S2ExitReasonText(TExitStatus::Exited(127)),
            "引擎缺少依赖的 DLL(VC 运行时或显卡运行库没装齐)。");
  EXPECT_EQ(S2ExitReasonText(TExitStatus::Killed(SIGABRT)),
            "引擎栈溢出/缓冲区检查失败(参考音频过长时会这样)。");
  EXPECT_EQ(S2ExitReasonText(TExitStatus::Exited(1)), "");
  SetUiLang(ulEn);
  EXPECT_EQ(S2ExitReasonText(TExitStatus::Killed(SIGKILL)),
            "Not enough memory to start the engine.");
  SetUiLang(ulAuto);
}

TEST(S2ParamsJson, RoundsFloatsAndSendsTheSeedOnlyWhenSet) {
  TS2Params p;
  p.MaxNewTokens = 900;
  p.Temperature = 0.58f;
  p.TopP = 0.123456f;
  p.TopK = 30;
  p.RepetitionPenalty = 1.1f;
  EXPECT_EQ(S2ParamsJson(p),
            R"({"max_new_tokens":900,"temperature":0.58,"top_p":0.1235,"top_k":30,)"
            R"("repetition_penalty":1.1})");
  p.Seed = -7;
  const std::optional<TJson> Json = ParseJsonObject(S2ParamsJson(p));
  ASSERT_TRUE(Json);
  EXPECT_EQ(JsonInteger(&*Json, "seed", 0), -7);
}

TEST(ReferenceFileName, Mp3OnlyWhenItLooksLikeOneAndIsNotRiff) {
  const TBytes Mp3 = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
  const TBytes Frame = {0xFF, 0xFB, 0x90, 0x64, 0, 0, 0, 0};
  TBytes RiffWithSync = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 0xFF, 0xFB, 0, 0};
  EXPECT_EQ(ReferenceFileName(Mp3), "reference.mp3");
  EXPECT_EQ(ReferenceFileName(Frame), "reference.mp3");
  EXPECT_EQ(ReferenceFileName(RiffWithSync), "reference.wav");
  EXPECT_EQ(ReferenceFileName({}), "reference.wav");
}

TEST_F(S2LocalUnit, LargestModelTiesGoToTheFirstName) {
  Dir.Put("m/b.gguf", 10);
  Dir.Put("m/a.gguf", 10);
  Dir.Put("m/small.gguf", 5);
  Dir.Put("m/huge.bin", 100);
  fs::create_directories(Dir.Root() + "m/dir.gguf");
  EXPECT_EQ(LargestModelIn(Dir.Root() + "m/"), Dir.Root() + "m/a.gguf");
  Dir.Put("m/C.GGUF", 11);
  EXPECT_EQ(LargestModelIn(Dir.Root() + "m/"), Dir.Root() + "m/C.GGUF");
  EXPECT_EQ(LargestModelIn(Dir.Root() + "nothing/"), "");
}

TEST_F(S2LocalUnit, MissingFilesLeaveMissingWithTheDetail) {
  struct TCase {
    std::vector<std::string> Files;
    const char* What;
  };
  const TCase Cases[] = {
      {{}, "engine/s2, models/*.gguf"},
      {{"engine/s2"}, "models/*.gguf"},
      {{"models/x.gguf"}, "engine/s2"},
      {{"engine/cuda/s2", "models/x.gguf"}, "engine/s2"},  // CUDA build but CPU configured
  };
  for (const TCase& c : Cases) {
    TProgramDir Local;
    for (const std::string& f : c.Files)
      Local.Put(f);
    TEngineOptions Opt;
    Opt.Compute = cbCpu;
    TS2LocalEngine e(Opt, *Local.Config);
    e.Start();
    EXPECT_EQ(e.State(), esMissing) << c.What;
    EXPECT_EQ(e.MissingWhat(), c.What);
    EXPECT_EQ(e.Detail(), Format("bin 里缺 %s", c.What));
    EXPECT_EQ(e.CheckHealth().Detail, e.Detail());
    EXPECT_FALSE(e.Ready());
    try {
      e.Synthesize(Says("hello"), {});
      ADD_FAILURE() << "no exception";
    } catch (const ETtsError& E) {
      EXPECT_EQ(E.Code(), ecEngineNotConnected);
      EXPECT_EQ(std::string(E.what()), Format("引擎还没装齐:bin 里缺 %s", c.What));
    }
  }
}

TEST_F(S2LocalUnit, ModelSearchOrderAndNamedModel) {
  struct TCase {
    std::vector<std::pair<std::string, std::size_t>> Files;
    const char* ModelFile;
    const char* Want;
  };
  const TCase Cases[] = {
      {{{"models/a.gguf", 5}, {"models/b.gguf", 9}, {"engine/c.gguf", 50}, {"d.gguf", 90}},
       "",
       "models/b.gguf"},
      {{{"engine/c.gguf", 50}, {"d.gguf", 90}}, "", "engine/c.gguf"},
      {{{"d.gguf", 90}}, "", "d.gguf"},
      {{{"models/a.gguf", 5}, {"models/b.gguf", 9}}, "a.gguf", "models/a.gguf"},
      {{{"models/a.gguf", 5}, {"models/b.gguf", 9}}, "gone.gguf", "models/b.gguf"},
  };
  for (const TCase& c : Cases) {
    TProgramDir Local;
    for (const auto& [Name, Size] : c.Files)
      Local.Put(Name, Size);
    TEngineOptions Opt;
    Opt.ModelFile = c.ModelFile;
    TS2LocalEngine e(Opt, *Local.Config);
    e.Start();  // no executable: stops after locating
    EXPECT_EQ(e.ModelPath(), Local.Root() + c.Want) << c.Want;
    EXPECT_EQ(e.MissingWhat(), "engine/s2");
  }
}

// A changed voice table changes the identity (and so every cache key); weights of gigabytes
// are not read for it, and their file name is what names them.
TEST_F(S2LocalUnit, ModelIdentityFollowsTheVoiceTablesContents) {
  const auto IdentityWith = [](const std::string& AContents, std::uintmax_t ASize) {
    TProgramDir Local;
    const std::string Model = Local.Put("models/voice.gguf", 0);
    std::ofstream(Model, std::ios::binary) << AContents;
    fs::resize_file(Model, ASize);
    TS2LocalEngine e({}, *Local.Config);
    e.Start();  // no executable: stops after locating
    return e.ModelIdentity();
  };
  const std::string V1 = IdentityWith("voice table v1", 14);
  EXPECT_EQ(V1.size(), 16u);
  EXPECT_EQ(IdentityWith("voice table v1", 14), V1);
  EXPECT_NE(IdentityWith("voice table v2", 14), V1);
  EXPECT_EQ(IdentityWith("weights", std::uintmax_t{17} << 20), "");
  EXPECT_EQ(Engine()->ModelIdentity(), "");
}

TEST_F(S2LocalUnit, ExecutableAndBackendAvailability) {
  const std::string Root = Dir.Root();
  EXPECT_EQ(TS2LocalEngine::ExeFor(Root, cbAuto), "");
  EXPECT_FALSE(TS2LocalEngine::BackendAvailable(Root, cbCpu));

  Dir.Put("s2");
  EXPECT_EQ(TS2LocalEngine::ExeFor(Root, cbCuda), Root + "s2");
  EXPECT_FALSE(TS2LocalEngine::BackendAvailable(Root, cbAuto));

  Dir.Put("engine/s2");
  Dir.Put("engine/libggml-vulkan.so");
  Dir.Put("engine/cuda/s2");
  struct TCase {
    TComputeBackend Backend;
    std::string Exe;
    bool Available;
  };
  const TCase Cases[] = {
      {cbAuto, Root + "engine/s2", true},
      {cbCpu, Root + "engine/s2", true},
      {cbCuda, Root + "engine/cuda/s2", true},
      {cbVulkan, Root + "engine/s2", true},  // the library alone makes Vulkan available
  };
  for (const TCase& c : Cases) {
    EXPECT_EQ(TS2LocalEngine::ExeFor(Root, c.Backend), c.Exe) << ComputeToStr(c.Backend);
    EXPECT_EQ(TS2LocalEngine::BackendAvailable(Root, c.Backend), c.Available);
  }
  Dir.Put("engine/vulkan/s2");
  EXPECT_EQ(TS2LocalEngine::ExeFor(Root, cbVulkan), Root + "engine/vulkan/s2");
  EXPECT_FALSE(TS2LocalEngine::BackendAvailable(Dir.Root() + "nowhere/", cbCuda));
}

// Only the bundled server alone in engine/ is held to its own voice file.
TEST_F(S2LocalUnit, CatalogueModelsNeedABackendBuild) {
  struct TCase {
    std::vector<std::string> Files;
    std::string Exe;
    bool Runs;
  };
  const TCase Cases[] = {
      {{"engine/s2"}, "engine/s2", false},
      {{"s2"}, "s2", false},
      {{"engine/s2", "engine/cuda/s2"}, "engine/cuda/s2", true},
      {{"engine/vulkan/s2"}, "engine/vulkan/s2", true},
      {{"engine/s2", "engine/libggml-vulkan.so"}, "engine/s2", true},
  };
  for (const TCase& c : Cases) {
    TProgramDir Program;
    for (const std::string& File : c.Files)
      Program.Put(File);
    EXPECT_EQ(TS2LocalEngine::RunsCatalogueModels(Program.Root() + c.Exe), c.Runs) << c.Exe;
  }
  EXPECT_FALSE(TS2LocalEngine::RunsCatalogueModels(Dir.Root() + "nowhere/s2"));
}

TEST_F(S2LocalUnit, AnotherSearchRootOnlyCountsItsEngineFolder) {
  TProgramDir Other;
  Other.Put("s2");
  Other.Put("models/x.gguf");
  auto e = Engine();
  e->SetSearchDir(Other.Root().substr(0, Other.Root().size() - 1));
  e->Start();
  EXPECT_EQ(e->MissingWhat(), "engine/s2");
  EXPECT_EQ(e->ModelPath(), Other.Root() + "models/x.gguf");
}

TEST_F(S2LocalUnit, RequestsOutsideTheReadyState) {
  auto e = Engine();
  EXPECT_EQ(e->State(), esMissing);
  EXPECT_EQ(e->Detail(), "");
  EXPECT_EQ(e->Name(), "fish-s2-pro (s2.cpp)");
  EXPECT_FALSE(e->SupportsNativeSpeed());
  EXPECT_EQ(e->LogPath(), Dir.Root() + "logs/s2-engine.log");
  EXPECT_EQ(e->Port(), 0);

  struct TCase {
    const char* Text;
    TTtsErrorCode Code;
    const char* Message;
  };
  e->Unload();
  EXPECT_TRUE(e->IsUnloaded());
  EXPECT_EQ(e->Detail(), "模型已卸载,内存已释放");
  const TCase Cases[] = {
      {"  \t", ecEmptyText, "没有要合成的文本"},
      {"hello", ecEngineNotConnected, "模型已卸载。要现合成的话,先在「模型」页点「载入模型」。"},
  };
  for (const TCase& c : Cases) {
    try {
      e->Synthesize(Says(c.Text), {});
      ADD_FAILURE() << "no exception for " << c.Text;
    } catch (const ETtsError& E) {
      EXPECT_EQ(E.Code(), c.Code);
      EXPECT_EQ(std::string(E.what()), c.Message);
    }
  }
  e->Stop();
  EXPECT_EQ(e->State(), esMissing);
  EXPECT_EQ(e->Detail(), "已停止");
}

}  // namespace
}  // namespace quavox
