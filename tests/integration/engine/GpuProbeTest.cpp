// The probe table with real probe programs: small scripts that print recorded outputs, hang
// or record how they were called, and the real quavox-gpuprobe of the build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include <unistd.h>

#include "core/I18n.h"
#include "core/Log.h"
#include "engine/Gpu.h"
#include "state/Config.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadText(const std::string& AFile) {
  std::ifstream In(AFile);
  std::stringstream s;
  s << In.rdbuf();
  return s.str();
}

class GpuProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(FRoot + "engine");
    fs::create_directories(FRoot + "logs");
    FConfig = std::make_unique<TAppConfig>(TAppFolders{FRoot, FRoot + "appdata/"});
    FDispatcher = std::make_shared<TThreadDispatcher>();
  }
  void TearDown() override {
    FDispatcher.reset();
    FConfig.reset();
  }

  std::string Script(const std::string& ABody) {
    const std::string Path = FRoot + "probe.sh";
    std::ofstream(Path) << "#!/bin/sh\n" << ABody << "\n";
    fs::permissions(Path, fs::perms::owner_all);
    return Path;
  }

  std::unique_ptr<TGpuProbe> Probe(const std::string& AProbePath,
                                   std::chrono::milliseconds ATimeout = 20s) {
    return std::make_unique<TGpuProbe>(*FConfig, FDispatcher,
                                       TGpuProbeOptions{AProbePath, ATimeout});
  }

  // Probes and waits for the completion on the dispatcher's thread.
  std::vector<TGpuDevice> ProbeAndWait(TGpuProbe& AProbe, TComputeBackend ABackend) {
    std::promise<std::thread::id> Done;
    EXPECT_TRUE(
        AProbe.RequestProbe(ABackend, [&Done] { Done.set_value(std::this_thread::get_id()); }));
    std::future<std::thread::id> Future = Done.get_future();
    EXPECT_EQ(Future.wait_for(60s), std::future_status::ready);
    EXPECT_NE(Future.get(), std::this_thread::get_id());
    EXPECT_TRUE(AProbe.ProbeDone(ABackend));
    return AProbe.ProbedDevices(ABackend);
  }

  static bool Logged(const std::string& AText) {
    for (const TLogEntry& Entry : TAppLog::Entries())
      if (Entry.Source == "gpu" && Entry.Text == AText) return true;
    return false;
  }

  const TTempDir FRootDir{"qx-gpu"};
  const std::string FRoot = FRootDir.Path();
  std::unique_ptr<TAppConfig> FConfig;
  std::shared_ptr<TThreadDispatcher> FDispatcher;
};

TEST_F(GpuProbe, OneProbePerBackendAndRun) {
  const std::string Gate = FRoot + "gate";
  auto p = Probe(Script("while [ ! -f " + Gate +
                        " ]; do sleep 0.01; done\n"
                        "printf '0\\tNVIDIA GeForce RTX 3060\\n0\\tNVIDIA GeForce RTX 3060\\n'"));
  EXPECT_FALSE(p->RequestProbe(cbCpu, nullptr));
  EXPECT_FALSE(p->RequestProbe(cbAuto, nullptr));

  std::promise<void> Done;
  ASSERT_TRUE(p->RequestProbe(cbCuda, [&Done] { Done.set_value(); }));
  EXPECT_FALSE(p->RequestProbe(cbCuda, nullptr));  // still running
  EXPECT_FALSE(p->ProbeDone(cbCuda));
  EXPECT_TRUE(p->ProbedDevices(cbCuda).empty());
  std::ofstream(Gate) << "go";
  ASSERT_EQ(Done.get_future().wait_for(60s), std::future_status::ready);

  const std::vector<TGpuDevice> Devices = p->ProbedDevices(cbCuda);
  ASSERT_EQ(Devices.size(), 1u);
  EXPECT_EQ(Devices[0].Name, "NVIDIA GeForce RTX 3060");
  EXPECT_EQ(Devices[0].Backend, cbCuda);
  EXPECT_FALSE(p->RequestProbe(cbCuda, nullptr));  // probed for the rest of the run
  EXPECT_TRUE(Logged("probed cuda: 1 device(s)"));
}

TEST_F(GpuProbe, VulkanLibraryLineMarksTheIntegratedDevice) {
  auto p = Probe(Script(
      "echo 'ggml_vulkan: 1 = Intel(R) UHD Graphics (Intel Corporation) | uma: 1 | fp16: 1'\n"
      "printf '1\\tIntel(R) UHD Graphics\\n' >&2"));
  const std::vector<TGpuDevice> Devices = ProbeAndWait(*p, cbVulkan);
  ASSERT_EQ(Devices.size(), 1u);
  EXPECT_TRUE(Devices[0].Integrated);
  SetUiLang(ulEn);
  EXPECT_EQ(Devices[0].Display(), "1 — Intel(R) UHD Graphics  (integrated)");
  SetUiLang(ulAuto);
}

TEST_F(GpuProbe, WithoutAProbeTheEngineLogIsRead) {
  std::ofstream(FRoot + "logs/s2-engine.log")
      << "ggml_cuda_init: found 1 CUDA devices:\r\n"
      << "  Device 0: NVIDIA GeForce RTX 3060, compute capability 8.6, VMM: yes\r\n";
  auto p = Probe(FRoot + "no-such-probe");
  const std::vector<TGpuDevice> Cuda = ProbeAndWait(*p, cbCuda);
  ASSERT_EQ(Cuda.size(), 1u);
  EXPECT_EQ(Cuda[0].Index, 0);
  EXPECT_EQ(Cuda[0].Name, "NVIDIA GeForce RTX 3060");
  EXPECT_TRUE(ProbeAndWait(*p, cbVulkan).empty());
}

TEST_F(GpuProbe, AProbeThatPrintsNothingUsableFallsBackToTheLog) {
  std::ofstream(FRoot + "logs/s2-engine.log") << "ggml_vulkan: 0 = Radeon (RADV) | uma: 0\n";
  auto p = Probe(Script("echo 'no devices here'; exit 3"));
  const std::vector<TGpuDevice> Devices = ProbeAndWait(*p, cbVulkan);
  ASSERT_EQ(Devices.size(), 1u);
  EXPECT_EQ(Devices[0].Name, "Radeon");
}

TEST_F(GpuProbe, AHungProbeIsKilledAndWhatItPrintedCounts) {
  auto p = Probe(Script("printf '3\\tSlow Card\\n'; exec sleep 60"), 300ms);
  const auto Start = std::chrono::steady_clock::now();
  const std::vector<TGpuDevice> Devices = ProbeAndWait(*p, cbCuda);
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 10s);
  ASSERT_EQ(Devices.size(), 1u);
  EXPECT_EQ(Devices[0].Index, 3);
  EXPECT_TRUE(Logged("gpu probe timed out, killed"));
}

TEST_F(GpuProbe, ClosingDoesNotWaitForAHungProbe) {
  auto p = Probe(Script("exec sleep 60"));
  bool Called = false;
  ASSERT_TRUE(p->RequestProbe(cbVulkan, [&Called] { Called = true; }));
  std::this_thread::sleep_for(50ms);
  const auto Start = std::chrono::steady_clock::now();
  p.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 10s);
  FDispatcher->Flush();
  EXPECT_FALSE(Called);
}

TEST_F(GpuProbe, ProbeIsCalledWithBackendAndEngineFolder) {
  const std::string Args = FRoot + "args.txt";
  auto p = Probe(Script("printf '%s|%s|%s\\n' \"$1\" \"$2\" \"$(pwd)\" >> " + Args));
  fs::create_directories(FRoot + "engine/vulkan");
  ProbeAndWait(*p, cbCuda);
  ProbeAndWait(*p, cbVulkan);
  const std::string Root = fs::canonical(FRoot).string();
  EXPECT_EQ(ReadText(Args), "cuda|" + FRoot + "engine|" + Root + "\nvulkan|" + FRoot +
                                "engine/vulkan|" + Root + "\n");
}

TEST_F(GpuProbe, TheRealProbeRunsOnThisMachine) {
  const std::string Real = std::string(QUAVOX_BIN_DIR) + "/quavox-gpuprobe";
  ASSERT_TRUE(fs::exists(Real)) << Real;
  auto p = Probe(Real);
  // Whatever GPUs this machine has, each is listed once with a name; none is fine.
  for (TComputeBackend Backend : {cbCuda, cbVulkan}) {
    for (const TGpuDevice& d : ProbeAndWait(*p, Backend)) {
      EXPECT_EQ(d.Backend, Backend);
      EXPECT_FALSE(d.Name.empty());
    }
  }
}

}  // namespace
}  // namespace quavox
