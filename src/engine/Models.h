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
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/Dispatcher.h"
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
// What the one-click download offers: the default model on a machine with a GPU, the CPU
// choice ("q4_k_m") on one without, where the larger model would only be slower.
TModelVariant RecommendedModelVariant(bool AHasGpu);
TModelVariant TokenizerVariant();
std::vector<TModelVariant> EnginePackages();

std::string ModelUrl(std::string_view AHost, std::string_view AFileName);
// An empty base means the built-in package base.
std::string EnginePackageUrl(std::string_view AFileName, std::string_view ABaseUrl = {});

std::vector<std::string> InstalledModels(const TAppConfig& AConfig);
bool TokenizerInstalled(const TAppConfig& AConfig);
// The catalogue's models read "tokenizer.json" beside them; any other model file (the bundled
// engine's voice file) needs none.
bool ModelNeedsTokenizer(std::string_view AModelPath);
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

// A package that cannot be unpacked is either broken itself (unreadable, truncated, unsafe
// or oversized entries) or could not be written out (a full disk, a folder without rights).
enum TUnpackResult : uint8_t { urUnpacked, urBadPackage, urWriteFailed };

// Extracts every entry of the zip into ADestDir, refusing (before anything is written) an
// entry whose path is absolute or climbs out of the folder, and refusing an archive whose
// contents exceed the limits. On failure a user-facing reason is in AError.
TUnpackResult UnpackEnginePackage(const std::string& AZipFile, const std::string& ADestDir,
                                  const TUnpackLimits& ALimits, std::string& AError);

// Owned by the window (or any host). StartBatch, Start, WaitIdle and the destructor are
// called by the owner; Cancel, Busy and Snapshot from any thread. Progress reports are
// posted through the dispatcher, so the handler runs on the host's main thread and may
// update controls (on the worker thread when there is no dispatcher). The report that ends
// a batch is queued in the same step that clears Busy, so its handler finds the downloader
// idle. Reports still queued when the handler is cleared or the downloader goes are
// dropped. The destructor cancels and joins the worker.
class TModelDownloader {
 public:
  using TProgressHandler = std::function<void(const TDownloadProgress&)>;

  TModelDownloader(const TAppConfig& AConfig, std::shared_ptr<IMainThreadDispatcher> ADispatcher);
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
  struct TProgressSink;

  void RunBatch(std::vector<TModelVariant> AVariants, std::string AHost, bool AWithTokenizer);
  bool FetchOne(const TModelVariant& AVariant, const std::string& AHost);
  bool FetchOneOrFail(const TModelVariant& AVariant, const std::string& AHost);
  bool Unpack(const TModelVariant& AVariant, const std::string& AZipFile);
  // Stores the report as the latest and passes it on; the report that ends a file is held
  // until the batch goes on or ends.
  void Report(TDownloadStage AStage, const std::string& AFileName, int64_t AReceived,
              int64_t ATotal, double ARate, const std::string& AError = {});
  void Publish(const TDownloadProgress& AProgress);
  void PublishHeldEnd();
  // Clears FBusy and passes on the batch's last report.
  void EndBatch();
  bool AbortRequested() const;

  size_t Receive(TTransfer& AXfer, const char* AData, size_t ASize);

  const TAppConfig& FConfig;
  const std::shared_ptr<IMainThreadDispatcher> FDispatcher;
  // Shared with the reports in flight, which find the handler there when they run.
  const std::shared_ptr<TProgressSink> FSink;
  std::thread FThread;
  mutable TMutex FLock;
  mutable std::condition_variable FIdle;
  bool FAbort QX_GUARDED_BY(FLock) = false;
  bool FBusy QX_GUARDED_BY(FLock) = false;
  TDownloadProgress FLast QX_GUARDED_BY(FLock);
  // The end of the file just fetched, touched only by the batch's own thread: held back so
  // that the end of the last file reaches the handler with Busy already false.
  std::optional<TDownloadProgress> FHeldEnd;
  TUnpackLimits FUnpackLimits QX_GUARDED_BY(FLock);
};

}  // namespace quavox
