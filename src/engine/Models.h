// The fixed catalogue of downloadable model files, the tokenizer and the inference-engine
// packages, and TModelDownloader, which fetches a list of them one after another on a
// background thread: it resumes from a ".part" file, checks the size, renames the finished
// file into place and unpacks engine packages into the engine folder. Every folder comes
// from the TAppConfig the caller passes; every host is a parameter, so tests use local servers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/ThreadAnnotations.h"
#include "state/Config.h"

namespace quavox {

// The official and the mirror model host, and the repository that holds the GGUF files.
inline constexpr const char* OfficialModelHost = "https://huggingface.co";
inline constexpr const char* MirrorModelHost = "https://hf-mirror.com";
inline constexpr const char* ModelRepository = "tallyhorn/s2-pro-gguf";
// Engine packages are release assets of the program's own repository on the code host.
inline constexpr const char* EnginePackageBase =
    "https://github.com/tallyhorn/quavox/releases/download/quavox-engine-v1/";
// The inference executable inside every engine folder.
inline constexpr const char* EngineExeName = "s2";

enum TDownloadKind : uint8_t { dkModel, dkTokenizer, dkEnginePack };

struct TModelVariant {
  std::string Id;
  std::string FileName;
  std::string Display;
  std::string Url;
  int64_t SizeBytes = 0;
  TDownloadKind Kind = dkModel;
  std::string Backend;
};

enum TDownloadStage : uint8_t {
  dsIdle,
  dsConnecting,
  dsDownloading,
  dsVerifying,
  dsUnpacking,
  dsDone,
  dsFailed,
  dsCancelled
};

struct TDownloadProgress {
  TDownloadStage Stage = dsIdle;
  std::string FileName;
  int64_t Received = 0;
  int64_t Total = 0;
  double BytesPerSec = 0;
  std::string Error;

  double Percent() const;
  int32_t EtaSeconds() const;
  std::string Describe() const;
};

std::vector<TModelVariant> ModelVariants();
TModelVariant DefaultModelVariant();
TModelVariant TokenizerVariant();
std::vector<TModelVariant> EnginePackages();

std::string ModelUrl(std::string_view AHost, std::string_view AFileName);
// An empty base means the built-in package base.
std::string EnginePackageUrl(std::string_view AFileName, std::string_view ABaseUrl = {});

std::vector<std::string> InstalledModels(const TAppConfig& AConfig);
bool TokenizerInstalled(const TAppConfig& AConfig);
// The NVIDIA driver library is loaded already or can be loaded.
bool CudaDriverPresent();
std::string EngineBackendDir(const TAppConfig& AConfig, std::string_view ABackend);
bool EngineBackendInstalled(const TAppConfig& AConfig, std::string_view ABackend);

std::string FormatSize(int64_t ABytes);
bool SizePlausible(const std::string& APath, int64_t AExpected);

// Bounds for unpacking an engine package, so a crafted archive cannot fill the disk.
struct TUnpackLimits {
  int64_t MaxTotalBytes = int64_t{4} << 30;
  int64_t MaxEntryBytes = int64_t{2} << 30;
  int64_t MaxEntries = 65536;
};

// Extracts every entry of the zip into ADestDir, refusing (before anything is written) an
// entry whose path is absolute or climbs out of the folder, and refusing an archive whose
// contents exceed the limits. False with a user-facing reason in AError.
bool UnpackEnginePackage(const std::string& AZipFile, const std::string& ADestDir,
                         const TUnpackLimits& ALimits, std::string& AError);

// Owned by the window (or any host). StartBatch, Start, WaitIdle and the destructor are
// called by the owner; Cancel, Busy and Snapshot from any thread. The progress handler runs
// on the worker thread: the host forwards it to its main thread and must not block it. The
// destructor cancels and joins the worker.
class TModelDownloader {
 public:
  using TProgressHandler = std::function<void(const TDownloadProgress&)>;

  explicit TModelDownloader(const TAppConfig& AConfig);
  ~TModelDownloader();
  TModelDownloader(const TModelDownloader&) = delete;
  TModelDownloader& operator=(const TModelDownloader&) = delete;

  void SetOnProgress(TProgressHandler AHandler);
  void SetUnpackLimits(const TUnpackLimits& ALimits);

  // Ignored while busy or when the list is empty.
  void StartBatch(const std::vector<TModelVariant>& AVariants, const std::string& AHost,
                  bool AWithTokenizer);
  void Start(const TModelVariant& AVariant, const std::string& AHost, bool AWithTokenizer);
  void Cancel();
  bool Busy() const;
  TDownloadProgress Snapshot() const;
  // True once no batch runs, false when ATimeout passed first.
  bool WaitIdle(std::chrono::milliseconds ATimeout) const;

 private:
  struct TTransfer;

  void RunBatch(std::vector<TModelVariant> AVariants, std::string AHost, bool AWithTokenizer);
  bool FetchOne(const TModelVariant& AVariant, const std::string& AHost);
  bool FetchOneOrFail(const TModelVariant& AVariant, const std::string& AHost);
  bool Unpack(const TModelVariant& AVariant, const std::string& AZipFile);
  void Report(TDownloadStage AStage, const std::string& AFileName, int64_t AReceived,
              int64_t ATotal, double ARate, const std::string& AError = {});
  bool AbortRequested() const;

  size_t Receive(TTransfer& AXfer, const char* AData, size_t ASize);

  const TAppConfig& FConfig;
  std::thread FThread;
  mutable TMutex FLock;
  mutable std::condition_variable FIdle;
  bool FAbort QX_GUARDED_BY(FLock) = false;
  bool FBusy QX_GUARDED_BY(FLock) = false;
  TProgressHandler FOnProgress QX_GUARDED_BY(FLock);
  TDownloadProgress FLast QX_GUARDED_BY(FLock);
  TUnpackLimits FUnpackLimits QX_GUARDED_BY(FLock);
};

}  // namespace quavox
