#include <gtest/gtest.h>

#include <random>

#include "core/I18n.h"
#include "engine/Gpu.h"

namespace quavox {
namespace {

std::string Describe(const std::vector<TGpuDevice>& ADevices) {
  std::string Text;
  for (const TGpuDevice& d : ADevices) {
    Text += std::to_string(d.Index) + "|" + d.Name + "|" + ComputeToStr(d.Backend) +
            (d.Integrated ? "|uma" : "") + ";";
  }
  return Text;
}

// What the inference library writes at start-up, as recorded from real machines.
const char* const VulkanLog =
    "ggml_vulkan: Found 2 Vulkan devices:\n"
    "ggml_vulkan: 0 = NVIDIA GeForce RTX 3060 (NVIDIA) | uma: 0 | fp16: 1 | warp size: 32\n"
    "ggml_vulkan: 1 = Intel(R) UHD Graphics (Intel Corporation) | uma: 1 | fp16: 1\n";
const char* const CudaLog =
    "ggml_cuda_init: found 2 CUDA devices:\n"
    "  Device 0: NVIDIA GeForce RTX 3060, compute capability 8.6, VMM: yes\n"
    "  Device 1: Tesla T4, compute capability 7.5, VMM: yes\r\n";

TEST(ParseDeviceLines, RecordedLibraryLines) {
  std::vector<std::string> Lines = SplitProbeLines(std::string(VulkanLog) + CudaLog);
  EXPECT_EQ(Describe(ParseDeviceLines(Lines)),
            "0|NVIDIA GeForce RTX 3060|vulkan;1|Intel(R) UHD Graphics|vulkan|uma;"
            "0|NVIDIA GeForce RTX 3060|cuda;1|Tesla T4|cuda;");
}

TEST(ParseDeviceLines, VulkanAndCudaFormsLineByLine) {
  struct TCase {
    const char* Line;
    const char* Want;
  };
  const TCase Cases[] = {
      {"ggml_vulkan: 2 = AMD Radeon RX 6600 (RADV NAVI23) | uma: 0",
       "2|AMD Radeon RX 6600|vulkan;"},
      {"ggml_vulkan:3 = Plain Name", "3|Plain Name|vulkan;"},
      {"ggml_vulkan: 0 = (Bracket First) | uma:1", "0|(Bracket First)|vulkan|uma;"},
      {"ggml_vulkan: 0 = Card (a) (b) | uma:   1", "0|Card (a)|vulkan|uma;"},
      {"ggml_vulkan: 0 = Card | uma: 0 | extra uma: 1", "0|Card|vulkan|uma;"},
      {"ggml_vulkan: 0 =  | uma: 1", ""},
      {"ggml_vulkan: x = Card", ""},
      {"ggml_vulkan: 0 Card", ""},
      {"GGML_VULKAN: 0 = Card", ""},
      {"ggml_vulkan: 99999999999 = Card", ""},
      {"Device 7: Card, more", "7|Card|cuda;"},
      {" \t Device   3:Card", "3|Card|cuda;"},
      {"Device 4: , nothing", ""},
      {"Device -1: Card", ""},
      {"Device 1:", ""},
      {"xDevice 1: Card", ""},
      {"Device 123456789012345678901234567890: Card", ""},
  };
  for (const TCase& c : Cases)
    EXPECT_EQ(Describe(ParseDeviceLines({c.Line})), c.Want) << c.Line;
}

TEST(ParseProbeOutput, TabLinesWithMarksFromLibraryLines) {
  struct TCase {
    const char* Output;
    TComputeBackend Backend;
    const char* Want;
  };
  const TCase Cases[] = {
      {"0\tNVIDIA GeForce RTX 3060\n0\tNVIDIA GeForce RTX 3060\n", cbCuda,
       "0|NVIDIA GeForce RTX 3060|cuda;"},
      {"ggml_vulkan: 1 = Intel(R) UHD Graphics (Intel Corporation) | uma: 1\n1\tIntel(R) UHD "
       "Graphics\n",
       cbVulkan, "1|Intel(R) UHD Graphics|vulkan|uma;"},
      // The mark belongs to the Vulkan backend only.
      {"ggml_vulkan: 1 = iGPU | uma: 1\n1\tiGPU\n", cbCuda, "1|iGPU|cuda;"},
      {"x\tCard\n 2 \t  Card Two  \textra\n3\t\n4\n\t\n", cbCuda, "2|Card Two|cuda;"},
      {"1\tFirst\r\n1\tSecond\r\n0\tZero", cbVulkan, "1|First|vulkan;0|Zero|vulkan;"},
      // Library lines alone are no probe result.
      {CudaLog, cbCuda, ""},
      {"", cbCuda, ""},
      {"\xff\xfe\t\x80\n5\t\xc3(bad utf8)\n", cbCuda, "5|\xef\xbf\xbd(bad utf8)|cuda;"},
  };
  for (const TCase& c : Cases)
    EXPECT_EQ(Describe(ParseProbeOutput(c.Output, c.Backend)), c.Want) << c.Output;
}

TEST(ParseProbeOutput, SurvivesGarbageAndHugeOutput) {
  std::mt19937 Random(7);
  std::string Garbage(1 << 20, '\0');
  for (char& c : Garbage)
    c = static_cast<char>(Random());
  (void)ParseProbeOutput(Garbage, cbVulkan);
  (void)ParseDeviceLines(SplitProbeLines(Garbage));

  // One giant line and many short ones: still linear, still one device each.
  std::string Huge = "0\t" + std::string(4 << 20, 'n') + "\n";
  for (int i = 0; i < 100000; ++i)
    Huge += "ggml_vulkan: " + std::to_string(i % 7) + " = G" + std::to_string(i) + " | uma: 1\n";
  Huge += "Device 1: " + std::string(1 << 20, ' ') + "\n";
  const std::vector<TGpuDevice> Devices = ParseProbeOutput(Huge, cbVulkan);
  ASSERT_EQ(Devices.size(), 1u);
  EXPECT_EQ(Devices[0].Name.size(), 4u << 20);
  EXPECT_TRUE(Devices[0].Integrated);
}

TEST(GpuDevice, DisplayMarksIntegratedDevices) {
  SetUiLang(ulZh);
  EXPECT_EQ((TGpuDevice{1, "Intel(R) UHD Graphics", cbVulkan, true}).Display(),
            "1 — Intel(R) UHD Graphics  (核显)");
  EXPECT_EQ((TGpuDevice{0, "RTX", cbCuda, false}).Display(), "0 — RTX");
  SetUiLang(ulEn);
  EXPECT_EQ((TGpuDevice{2, "APU", cbVulkan, true}).Display(), "2 — APU  (integrated)");
  SetUiLang(ulAuto);
}

TEST(ProbeBackendText, OnlyGpuBackendsHaveOne) {
  EXPECT_EQ(ProbeBackendText(cbCuda), "cuda");
  EXPECT_EQ(ProbeBackendText(cbVulkan), "vulkan");
  EXPECT_EQ(ProbeBackendText(cbCpu), "");
  EXPECT_EQ(ProbeBackendText(cbAuto), "");
}

}  // namespace
}  // namespace quavox
