#include "engine/Gpu.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "state/Config.h"

namespace quavox {

namespace fs = std::filesystem;

namespace {

constexpr const char* LogSource = "gpu";
// The GPU lines come first in the engine's log; a log grown over a long run is not read whole.
constexpr std::size_t MaxLogBytes = 8 * 1024 * 1024;
constexpr std::size_t MaxProbeBytes = 4 * 1024 * 1024;

// A compiled pattern, shared by every thread; each match gets its own match data.
class TRegex {
 public:
  explicit TRegex(const char* APattern) {
    int Error = 0;
    PCRE2_SIZE Offset = 0;
    FCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(APattern), PCRE2_ZERO_TERMINATED, 0, &Error,
                          &Offset, nullptr);
  }
  ~TRegex() { pcre2_code_free(FCode); }
  TRegex(const TRegex&) = delete;
  TRegex& operator=(const TRegex&) = delete;

  // True on a match; AGroups receives the captured groups 1..n (empty when unset).
  bool Match(std::string_view AText, std::vector<std::string>* AGroups = nullptr) const {
    if (FCode == nullptr) return false;
    std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> Data(
        pcre2_match_data_create_from_pattern(FCode, nullptr), &pcre2_match_data_free);
    if (!Data) return false;
    const int Rc = pcre2_match(FCode, reinterpret_cast<PCRE2_SPTR>(AText.data()), AText.size(), 0,
                               0, Data.get(), nullptr);
    if (Rc < 0) return false;
    if (AGroups != nullptr) {
      AGroups->clear();
      const PCRE2_SIZE* Vector = pcre2_get_ovector_pointer(Data.get());
      const uint32_t Pairs = pcre2_get_ovector_count(Data.get());
      for (uint32_t i = 1; i < Pairs; ++i) {
        const PCRE2_SIZE Start = Vector[2 * i];
        const PCRE2_SIZE End = Vector[2 * i + 1];
        if (Start == PCRE2_UNSET || End < Start || End > AText.size()) {
          AGroups->emplace_back();
        } else {
          AGroups->emplace_back(AText.substr(Start, End - Start));
        }
      }
    }
    return true;
  }

 private:
  pcre2_code* FCode = nullptr;
};

const TRegex& UmaPattern() {
  static const TRegex Pattern("uma:\\s*1");
  return Pattern;
}

const TRegex& CudaPattern() {
  static const TRegex Pattern("^\\s*Device\\s+(\\d+):\\s*(.+)$");
  return Pattern;
}

bool ParseIndex(std::string_view AText, int32_t& AIndex) {
  int64_t Value = 0;
  if (!TryParseInt64(Trim(AText), Value)) return false;
  if (Value < INT32_MIN || Value > INT32_MAX) return false;
  AIndex = static_cast<int32_t>(Value);
  return true;
}

std::string TrimRight(std::string AText) {
  while (!AText.empty() && (AText.back() == ' ' || AText.back() == '\t'))
    AText.pop_back();
  return AText;
}

// "ggml_vulkan: 1 = Intel(R) UHD Graphics (Intel Corporation) | uma: 1 | fp16: 1"
bool ParseVulkanLine(std::string_view ALine, TGpuDevice& ADevice) {
  constexpr std::string_view Prefix = "ggml_vulkan:";
  if (!StartsWith(ALine, Prefix)) return false;
  const std::string Rest = Trim(ALine.substr(Prefix.size()));
  const std::size_t Equals = Rest.find(" = ");
  if (Equals == std::string::npos) return false;
  int32_t Index = 0;
  if (!ParseIndex(std::string_view(Rest).substr(0, Equals), Index)) return false;
  const std::string After = Rest.substr(Equals + 3);
  std::string Name = Trim(std::string_view(After).substr(0, After.find('|')));
  // A driver name in brackets at the end goes.
  if (Name.find('(', 1) != std::string::npos) Name = TrimRight(Name.substr(0, Name.rfind('(')));
  if (Name.empty()) return false;
  ADevice = {Index, Name, cbVulkan, UmaPattern().Match(After)};
  return true;
}

// "  Device 0: NVIDIA GeForce RTX 3060, compute capability 8.6"
bool ParseCudaLine(std::string_view ALine, TGpuDevice& ADevice) {
  std::vector<std::string> Groups;
  if (!CudaPattern().Match(ALine, &Groups) || Groups.size() < 2) return false;
  int32_t Index = 0;
  if (!ParseIndex(Groups[0], Index)) return false;
  const std::string Name = Trim(std::string_view(Groups[1]).substr(0, Groups[1].find(',')));
  if (Name.empty()) return false;
  ADevice = {Index, Name, cbCuda, false};
  return true;
}

const TGpuDevice* FindDevice(const std::vector<TGpuDevice>& AList, int32_t AIndex,
                             TComputeBackend ABackend) {
  for (const TGpuDevice& d : AList)
    if (d.Index == AIndex && d.Backend == ABackend) return &d;
  return nullptr;
}

void AddFirst(std::vector<TGpuDevice>& AList, const TGpuDevice& ADevice) {
  if (FindDevice(AList, ADevice.Index, ADevice.Backend) == nullptr) AList.push_back(ADevice);
}

std::vector<std::string> SplitAt(std::string_view AText, char ADelimiter) {
  std::vector<std::string> Parts;
  std::size_t Start = 0;
  for (;;) {
    const std::size_t End = AText.find(ADelimiter, Start);
    Parts.emplace_back(AText.substr(Start, End == std::string_view::npos ? End : End - Start));
    if (End == std::string_view::npos) break;
    Start = End + 1;
  }
  return Parts;
}

std::vector<std::string> ReadLogLines(const std::string& AFileName) {
  std::ifstream In(AFileName, std::ios::binary);
  if (!In) return {};
  std::string Text(MaxLogBytes, '\0');
  In.read(Text.data(), static_cast<std::streamsize>(Text.size()));
  Text.resize(static_cast<std::size_t>(std::max<std::streamsize>(In.gcount(), 0)));
  return SplitProbeLines(Text);
}

}  // namespace

std::string TGpuDevice::Display() const {
  std::string Text = Format("%d — %s", Index, Name);
  if (Integrated) Text += "  (" + Translate("核显") + ")";
  return Text;
}

std::string ProbeBackendText(TComputeBackend ABackend) {
  switch (ABackend) {
    case cbCuda:
      return "cuda";
    case cbVulkan:
      return "vulkan";
    default:
      return {};
  }
}

std::vector<std::string> SplitProbeLines(std::string_view AText) {
  const std::string Clean = Utf16ToUtf8(Utf8ToUtf16(AText));
  std::vector<std::string> Lines = SplitAt(Clean, '\n');
  for (std::string& Line : Lines)
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
  if (!Lines.empty() && Lines.back().empty()) Lines.pop_back();
  return Lines;
}

std::vector<TGpuDevice> ParseDeviceLines(const std::vector<std::string>& ALines) {
  std::vector<TGpuDevice> Devices;
  for (const std::string& Line : ALines) {
    TGpuDevice Device;
    if (ParseVulkanLine(Line, Device) || ParseCudaLine(Line, Device)) AddFirst(Devices, Device);
  }
  return Devices;
}

std::vector<TGpuDevice> ParseProbeOutput(std::string_view AText, TComputeBackend ABackend) {
  const std::vector<std::string> Lines = SplitProbeLines(AText);
  const std::vector<TGpuDevice> Reference = ParseDeviceLines(Lines);
  std::vector<TGpuDevice> Devices;
  for (const std::string& Line : Lines) {
    const std::vector<std::string> Fields = SplitAt(Line, '\t');
    if (Fields.size() < 2) continue;
    int32_t Index = 0;
    if (!ParseIndex(Fields[0], Index)) continue;
    const std::string Name = Trim(Fields[1]);
    if (Name.empty()) continue;
    const TGpuDevice* Ref = FindDevice(Reference, Index, ABackend);
    AddFirst(Devices, {Index, Name, ABackend, Ref != nullptr && Ref->Integrated});
  }
  return Devices;
}

TGpuProbe::TGpuProbe(const TAppConfig& AConfig, std::shared_ptr<IMainThreadDispatcher> ADispatcher,
                     TGpuProbeOptions AOptions)
    : FEngineDir(IncludeTrailingSlash(AConfig.EngineDir())),
      FLogPath(IncludeTrailingSlash(AConfig.LogsDir()) + "s2-engine.log"),
      FOptions(std::move(AOptions)),
      FDispatcher(std::move(ADispatcher)) {
  if (FOptions.ProbePath.empty()) FOptions.ProbePath = ProgramFilesDir() + "quavox-gpuprobe";
}

TGpuProbe::~TGpuProbe() {
  FClosing = true;
  std::vector<std::thread> Threads;
  {
    TLockGuard Guard(FLock);
    Threads.swap(FThreads);
  }
  for (std::thread& t : Threads)
    t.join();
}

bool TGpuProbe::RequestProbe(TComputeBackend ABackend, std::function<void()> AOnDone) {
  if (ProbeBackendText(ABackend).empty() || FClosing) return false;
  TLockGuard Guard(FLock);
  if (FResults.count(ABackend) != 0 || FRunning[ABackend]) return false;
  FRunning[ABackend] = true;
  FThreads.emplace_back([this, ABackend, OnDone = std::move(AOnDone)]() mutable {
    RunThread(ABackend, std::move(OnDone));
  });
  return true;
}

std::vector<TGpuDevice> TGpuProbe::ProbedDevices(TComputeBackend ABackend) const {
  TLockGuard Guard(FLock);
  const auto Found = FResults.find(ABackend);
  return Found != FResults.end() ? Found->second : std::vector<TGpuDevice>{};
}

bool TGpuProbe::ProbeDone(TComputeBackend ABackend) const {
  TLockGuard Guard(FLock);
  return FResults.count(ABackend) != 0;
}

void TGpuProbe::RunThread(TComputeBackend ABackend, std::function<void()> AOnDone) {
  std::vector<TGpuDevice> Devices = Probe(ABackend);
  {
    TLockGuard Guard(FLock);
    FResults[ABackend] = std::move(Devices);
    FRunning[ABackend] = false;
  }
  if (!AOnDone || FClosing) return;
  if (FDispatcher) {
    FDispatcher->Post(std::move(AOnDone));
  } else {
    AOnDone();
  }
}

std::vector<TGpuDevice> TGpuProbe::Probe(TComputeBackend ABackend) {
  const std::string Text = ProbeBackendText(ABackend);
  std::vector<TGpuDevice> Devices;
  try {
    const std::string Output = RunProbe(Text);
    if (!Output.empty()) Devices = ParseProbeOutput(Output, ABackend);
    if (Devices.empty()) {
      for (const TGpuDevice& Device : ParseDeviceLines(ReadLogLines(FLogPath)))
        if (Device.Backend == ABackend) Devices.push_back(Device);
    }
    TAppLog::Info(LogSource, "probed %s: %d device(s)", Text, Devices.size());
  } catch (const std::exception& E) {
    TAppLog::Warn(LogSource, "gpu probe failed (%s): %s", Text, E.what());
    Devices.clear();
  }
  return Devices;
}

std::string TGpuProbe::RunProbe(const std::string& ABackendText) {
  std::error_code Ec;
  if (!fs::is_regular_file(FOptions.ProbePath, Ec)) return {};
  // The folder whose engine libraries the probe should load: the backend's own when it exists.
  std::string Folder = FEngineDir + ABackendText;
  if (!fs::is_directory(Folder, Ec)) Folder = FEngineDir.substr(0, FEngineDir.size() - 1);
  const std::vector<std::string> Argv =
      SplitCommandLine(Format("\"%s\" %s \"%s\"", FOptions.ProbePath, ABackendText, Folder));
  const TCaptureResult Result =
      RunAndCapture(Argv, fs::path(FOptions.ProbePath).parent_path().string(), FOptions.Timeout,
                    MaxProbeBytes, &FClosing);
  if (Result.TimedOut) TAppLog::Warn(LogSource, "gpu probe timed out, killed");
  return Result.Output;
}

}  // namespace quavox
