#include "engine/Models.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "platform/Curl.h"
#include "platform/Files.h"

namespace quavox {

namespace fs = std::filesystem;

namespace {

constexpr int64_t KiB = 1024;
constexpr int64_t MiB = 1024 * KiB;
constexpr int64_t GiB = 1024 * MiB;
constexpr long ConnectTimeoutMs = 20000;
// Without a single byte for this long the transfer counts as stalled.
constexpr long ResponseTimeoutSec = 120;
constexpr long ReceiveBufferBytes = 512 * KiB;

struct TModelRow {
  const char* Id;
  int64_t SizeBytes;
};

// The notes are passed through Translate when the list is built, in the current language.
std::string ModelNote(std::string_view AId) {
  if (AId == "q4_k_m") return Translate("3~4 GB 显存 / 纯 CPU 首选");
  if (AId == "q5_k_m") return Translate("4~6 GB 显存");
  if (AId == "q6_k") return Translate("6~8 GB 显存 · 推荐");
  if (AId == "q8_0") return Translate("8 GB 以上显存");
  if (AId == "q3_k") return Translate("显存紧张,质量有损");
  if (AId == "q2_k") return Translate("最小,质量明显下降");
  return Translate("不量化,质量最好,要 10 GB+ 显存");
}

constexpr TModelRow ModelRows[] = {
    {"q4_k_m", 3833258312}, {"q5_k_m", 4327179551}, {"q6_k", 4864050463}, {"q8_0", 6045166469},
    {"q3_k", 3253437727},   {"q2_k", 2770253906},   {"f16", 10640781476},
};

std::string TrimTrailingSlashes(std::string_view AText) {
  std::string s(AText);
  while (!s.empty() && s.back() == '/')
    s.pop_back();
  return s;
}

std::string ErrnoText(int AErrno) {
  return std::strerror(AErrno);
}

int64_t FileSizeOf(const std::string& APath) {
  struct stat St {};
  if (::stat(APath.c_str(), &St) != 0 || !S_ISREG(St.st_mode)) return -1;
  return St.st_size;
}

struct TZipDeleter {
  void operator()(zip_t* AZip) const { zip_discard(AZip); }
};
struct TZipFileDeleter {
  void operator()(zip_file_t* AFile) const { zip_fclose(AFile); }
};

class TFd {
 public:
  explicit TFd(int AFd = -1) : FFd(AFd) {}
  ~TFd() { Close(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }
  void Reset(int AFd) {
    Close();
    FFd = AFd;
  }
  // Returns the errno of a failed close, 0 otherwise.
  int Close() {
    if (FFd < 0) return 0;
    const int Rc = ::close(FFd);
    FFd = -1;
    return Rc == 0 ? 0 : errno;
  }

 private:
  int FFd;
};

// A reason phrase for answers that carry none (HTTP/2).
std::string StandardReason(int AStatus) {
  switch (AStatus) {
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 408:
      return "Request Timeout";
    case 410:
      return "Gone";
    case 416:
      return "Range Not Satisfiable";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return {};
  }
}

// The path of a zip entry below the destination folder, with "/" separators, or nothing
// when the name is absolute or climbs out of the folder. Backslashes count as separators
// because archives made on Windows may use them.
std::optional<std::string> SafeEntryPath(std::string_view AName) {
  std::string Name(AName);
  std::replace(Name.begin(), Name.end(), '\\', '/');
  if (Name.empty() || Name.front() == '/') return std::nullopt;
  if (Name.size() >= 2 && Name[1] == ':') return std::nullopt;
  std::string Out;
  std::size_t Start = 0;
  while (Start <= Name.size()) {
    std::size_t End = Name.find('/', Start);
    if (End == std::string::npos) End = Name.size();
    const std::string_view Part = std::string_view(Name).substr(Start, End - Start);
    if (Part == "..") return std::nullopt;
    if (!Part.empty() && Part != ".") {
      if (!Out.empty()) Out += '/';
      Out += Part;
    }
    Start = End + 1;
  }
  return Out;
}

std::string ZipErrorText(int ACode) {
  zip_error_t Error;
  zip_error_init_with_code(&Error, ACode);
  std::string Text = zip_error_strerror(&Error);
  zip_error_fini(&Error);
  return Text;
}

std::string BombText(int64_t ALimit) {
  return Format(Translate("包里的内容解压后超过 %s,疑似压缩炸弹,已拒绝"), FormatSize(ALimit));
}

// A broken package left in the cache would be unpacked again by every later attempt
// instead of being downloaded afresh.
void DropBrokenPackage(const std::string& AZipFile) {
  if (::unlink(AZipFile.c_str()) == 0)
    TAppLog::Info("models", "%s deleted, the next attempt downloads it again", AZipFile);
}

struct TEntryPlan {
  zip_uint64_t Index = 0;
  std::string Path;
  bool IsDir = false;
  int64_t DeclaredSize = 0;
  mode_t Mode = 0644;
};

// File permissions from archives made on Unix; the engine executable is always runnable.
mode_t EntryMode(zip_t* AZip, zip_uint64_t AIndex, const std::string& APath) {
  mode_t Mode = 0644;
  zip_uint8_t OpSys = 0;
  zip_uint32_t Attr = 0;
  if (zip_file_get_external_attributes(AZip, AIndex, 0, &OpSys, &Attr) == 0 &&
      OpSys == ZIP_OPSYS_UNIX) {
    const mode_t Bits = (Attr >> 16) & 0777;
    if (Bits != 0) Mode = (Bits & 0755) | 0600;
  }
  if (APath == EngineExeName) Mode |= 0755;
  return Mode;
}

}  // namespace

// ---------------------------------------------------------------- catalogue

double TDownloadProgress::Percent() const {
  if (Total <= 0) return 0;
  return std::clamp(static_cast<double>(Received) / static_cast<double>(Total) * 100.0, 0.0, 100.0);
}

int32_t TDownloadProgress::EtaSeconds() const {
  if (!(BytesPerSec >= 1) || Received >= Total) return 0;
  const double Seconds = RoundHalfEven(static_cast<double>(Total - Received) / BytesPerSec);
  return Seconds >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(Seconds);
}

std::string TDownloadProgress::Describe() const {
  switch (Stage) {
    case dsIdle:
      return Translate("空闲");
    case dsConnecting:
      return FileName + Translate(" —— 正在连接…");
    case dsVerifying:
      return FileName + Translate(" —— 正在校验…");
    case dsUnpacking:
      return FileName + Translate(" —— 正在解压…");
    case dsDone:
      return FileName + Translate(" —— 完成");
    case dsFailed:
      return FileName + Translate(" —— 失败:") + Error;
    case dsCancelled:
      return FileName + Translate(" —— 已取消(下了一半的留着,下次接着下)");
    case dsDownloading:
      break;
  }
  const double Rate = std::isfinite(BytesPerSec) ? RoundHalfEven(BytesPerSec) : 0;
  std::string Text =
      Format("%s  %s / %s  (%.1f%%)  %s/s", FileName, FormatSize(Received), FormatSize(Total),
             Percent(), FormatSize(Rate >= 9.2e18 ? INT64_MAX : static_cast<int64_t>(Rate)));
  const int32_t Eta = EtaSeconds();
  if (Eta > 0) Text += Format(Translate("  剩约 %d 分 %d 秒"), Eta / 60, Eta % 60);
  return Text;
}

std::vector<TModelVariant> ModelVariants() {
  std::vector<TModelVariant> List;
  for (const TModelRow& Row : ModelRows) {
    TModelVariant v;
    v.Id = Row.Id;
    v.FileName = std::string("s2-pro-") + Row.Id + ".gguf";
    v.SizeBytes = Row.SizeBytes;
    v.Kind = dkModel;
    v.Display = Format("%-7s  %8s   %s", v.Id, FormatSize(v.SizeBytes), ModelNote(v.Id));
    List.push_back(std::move(v));
  }
  return List;
}

namespace {

TModelVariant ModelVariantById(std::string_view AId) {
  const std::vector<TModelVariant> List = ModelVariants();
  for (const TModelVariant& v : List)
    if (v.Id == AId) return v;
  return List.front();
}

}  // namespace

TModelVariant DefaultModelVariant() {
  return ModelVariantById("q6_k");
}

TModelVariant RecommendedModelVariant(bool AHasGpu) {
  return AHasGpu ? DefaultModelVariant() : ModelVariantById("q4_k_m");
}

TModelVariant TokenizerVariant() {
  TModelVariant v;
  v.Id = "tokenizer";
  v.FileName = "tokenizer.json";
  v.SizeBytes = 12582912;
  v.Kind = dkTokenizer;
  v.Display = Translate("分词器 tokenizer.json(必需)");
  return v;
}

std::vector<TModelVariant> EnginePackages() {
  TModelVariant v;
  v.Id = "cuda";
  v.FileName = "Quavox_engine_cuda_1.zip";
  v.Display = Translate("CUDA 引擎(NVIDIA 显卡)");
  v.SizeBytes = 564133888;
  v.Kind = dkEnginePack;
  v.Backend = "cuda";
  return {v};
}

std::string ModelUrl(std::string_view AHost, std::string_view AFileName) {
  return Format("%s/%s/resolve/main/%s?download=true", TrimTrailingSlashes(AHost), ModelRepository,
                AFileName);
}

std::string EnginePackageUrl(std::string_view AFileName, std::string_view ABaseUrl) {
  std::string Base = Trim(ABaseUrl);
  if (Base.empty()) Base = EnginePackageBase;
  if (Base.back() != '/') Base += '/';
  return Base + std::string(AFileName);
}

std::vector<std::string> InstalledModels(const TAppConfig& AConfig) {
  std::vector<std::string> Names;
  std::error_code Ec;
  for (fs::directory_iterator It(AConfig.ModelsDir(), Ec), End; !Ec && It != End;
       It.increment(Ec)) {
    const std::string Name = It->path().filename().string();
    if (!EndsWith(LowerAscii(Name), ".gguf")) continue;
    std::error_code SizeEc;
    if (It->is_regular_file(SizeEc) && It->file_size(SizeEc) > 0 && !SizeEc) Names.push_back(Name);
  }
  std::sort(Names.begin(), Names.end(), [](const std::string& A, const std::string& B) {
    const std::string a = LowerAscii(A), b = LowerAscii(B);
    return a != b ? a < b : A < B;
  });
  return Names;
}

bool TokenizerInstalled(const TAppConfig& AConfig) {
  return FileSizeOf(AConfig.ModelsDir() + "tokenizer.json") > 0;
}

bool ModelNeedsTokenizer(std::string_view AModelPath) {
  const std::string Name = fs::path(AModelPath).filename().string();
  const std::vector<TModelVariant> List = ModelVariants();
  return std::any_of(List.begin(), List.end(),
                     [&Name](const TModelVariant& v) { return v.FileName == Name; });
}

bool CudaDriverPresent() {
  void* Handle = ::dlopen("libcuda.so.1", RTLD_LAZY | RTLD_NOLOAD);
  if (Handle == nullptr) Handle = ::dlopen("libcuda.so.1", RTLD_LAZY | RTLD_LOCAL);
  if (Handle == nullptr) return false;
  ::dlclose(Handle);
  return true;
}

std::string EngineBackendDir(const TAppConfig& AConfig, std::string_view ABackend) {
  return AConfig.EngineDir() + LowerAscii(Trim(ABackend)) + "/";
}

bool EngineBackendInstalled(const TAppConfig& AConfig, std::string_view ABackend) {
  if (Trim(ABackend).empty()) return false;
  return FileSizeOf(EngineBackendDir(AConfig, ABackend) + EngineExeName) >= 0;
}

std::string FormatSize(int64_t ABytes) {
  if (ABytes <= 0) return "?";
  if (ABytes >= GiB) return Format("%.2f GB", static_cast<double>(ABytes) / GiB);
  if (ABytes < MiB) return Format("%d KB", ABytes / KiB);
  return Format("%.1f MB", static_cast<double>(ABytes) / MiB);
}

bool SizePlausible(const std::string& APath, int64_t AExpected) {
  const int64_t Size = FileSizeOf(APath);
  if (Size <= 0) return false;
  if (AExpected <= 0) return true;
  const int64_t Tolerance = std::max<int64_t>(AExpected / 20, MiB);
  return (Size > AExpected ? Size - AExpected : AExpected - Size) <= Tolerance;
}

// ---------------------------------------------------------------- unpacking

TUnpackResult UnpackEnginePackage(const std::string& AZipFile, const std::string& ADestDir,
                                  const TUnpackLimits& ALimits, std::string& AError) {
  int OpenError = 0;
  std::unique_ptr<zip_t, TZipDeleter> Zip(
      zip_open(AZipFile.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &OpenError));
  if (!Zip) {
    AError = ZipErrorText(OpenError);
    return urBadPackage;
  }
  const zip_int64_t Count = zip_get_num_entries(Zip.get(), 0);
  if (Count < 0) {
    AError = zip_strerror(Zip.get());
    return urBadPackage;
  }
  if (Count > ALimits.MaxEntries) {
    AError = Format(Translate("包里的条目太多(超过 %d 个),已拒绝"), ALimits.MaxEntries);
    return urBadPackage;
  }

  // Every name and declared size is checked before the first byte is written, so a refused
  // archive leaves nothing behind.
  std::vector<TEntryPlan> Plan;
  int64_t DeclaredTotal = 0;
  for (zip_int64_t i = 0; i < Count; ++i) {
    zip_stat_t St;
    zip_stat_init(&St);
    if (zip_stat_index(Zip.get(), static_cast<zip_uint64_t>(i), 0, &St) != 0 ||
        (St.valid & ZIP_STAT_NAME) == 0) {
      AError = zip_strerror(Zip.get());
      return urBadPackage;
    }
    const std::string Name = St.name;
    const std::optional<std::string> Path = SafeEntryPath(Name);
    if (!Path) {
      AError = Format(Translate("包里的条目「%s」会写到目标文件夹之外,已拒绝"), Name);
      return urBadPackage;
    }
    if (Path->empty()) continue;
    TEntryPlan Entry;
    Entry.Index = static_cast<zip_uint64_t>(i);
    Entry.Path = *Path;
    Entry.IsDir = Name.back() == '/' || Name.back() == '\\';
    Entry.DeclaredSize = (St.valid & ZIP_STAT_SIZE) != 0 && St.size <= uint64_t{INT64_MAX}
                             ? static_cast<int64_t>(St.size)
                             : INT64_MAX;
    if (!Entry.IsDir) {
      if (Entry.DeclaredSize > ALimits.MaxEntryBytes) {
        AError = BombText(ALimits.MaxEntryBytes);
        return urBadPackage;
      }
      DeclaredTotal += Entry.DeclaredSize;
      if (DeclaredTotal > ALimits.MaxTotalBytes) {
        AError = BombText(ALimits.MaxTotalBytes);
        return urBadPackage;
      }
      Entry.Mode = EntryMode(Zip.get(), Entry.Index, Entry.Path);
    }
    Plan.push_back(std::move(Entry));
  }

  const fs::path Dest(ADestDir);
  std::error_code Ec;
  fs::create_directories(Dest, Ec);
  if (Ec) {
    AError = Ec.message();
    return urWriteFailed;
  }
  std::vector<char> Buffer(256 * KiB);
  int64_t Written = 0;
  for (const TEntryPlan& Entry : Plan) {
    const fs::path Target = Dest / Entry.Path;
    if (Entry.IsDir) {
      fs::create_directories(Target, Ec);
      if (Ec) {
        AError = Ec.message();
        return urWriteFailed;
      }
      continue;
    }
    fs::create_directories(Target.parent_path(), Ec);
    if (Ec) {
      AError = Ec.message();
      return urWriteFailed;
    }
    std::unique_ptr<zip_file_t, TZipFileDeleter> In(zip_fopen_index(Zip.get(), Entry.Index, 0));
    if (!In) {
      AError = zip_strerror(Zip.get());
      return urBadPackage;
    }
    // Written beside the target and renamed over it, so a running engine keeps its old
    // executable and a failed entry leaves no half file.
    const std::string Temp = Target.string() + ".unpacking";
    TFd Out(::open(Temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, Entry.Mode));
    if (Out.Get() < 0) {
      AError = Temp + ": " + ErrnoText(errno);
      return urWriteFailed;
    }
    const int64_t EntryLimit = std::min({Entry.DeclaredSize, ALimits.MaxEntryBytes});
    int64_t EntryBytes = 0;
    TUnpackResult Result = urUnpacked;
    for (;;) {
      const zip_int64_t n = zip_fread(In.get(), Buffer.data(), Buffer.size());
      if (n == 0) break;
      if (n < 0) {
        AError = zip_file_strerror(In.get());
        Result = urBadPackage;
        break;
      }
      EntryBytes += n;
      Written += n;
      if (EntryBytes > EntryLimit || Written > ALimits.MaxTotalBytes) {
        AError = BombText(Written > ALimits.MaxTotalBytes ? ALimits.MaxTotalBytes : EntryLimit);
        Result = urBadPackage;
        break;
      }
      if (!WriteAll(Out.Get(), Buffer.data(), static_cast<size_t>(n))) {
        AError = Temp + ": " + ErrnoText(errno);
        Result = urWriteFailed;
        break;
      }
    }
    if (Result == urUnpacked) {
      ::fchmod(Out.Get(), Entry.Mode);
      if (const int CloseError = Out.Close(); CloseError != 0) {
        AError = Temp + ": " + ErrnoText(CloseError);
        Result = urWriteFailed;
      }
    }
    if (Result == urUnpacked && ::rename(Temp.c_str(), Target.c_str()) != 0) {
      AError = Target.string() + ": " + ErrnoText(errno);
      Result = urWriteFailed;
    }
    if (Result != urUnpacked) {
      Out.Close();
      ::unlink(Temp.c_str());
      return Result;
    }
  }
  return urUnpacked;
}

// ---------------------------------------------------------------- downloader

// The state of one GET, shared with libcurl's callbacks on the worker thread.
struct TModelDownloader::TTransfer {
  TModelDownloader* Owner = nullptr;
  CURL* Curl = nullptr;
  int Fd = -1;
  std::string FileName;
  int64_t SizeBytes = 0;
  int64_t Offset = 0;
  int Status = 0;
  std::string Reason;
  bool Decided = false;
  bool Accepting = false;
  int64_t ContentLength = -1;
  int64_t ReadThisRequest = 0;
  int64_t LastReported = 0;
  std::chrono::steady_clock::time_point Began;
  int WriteErrno = 0;
  bool Stopped = false;

  static size_t OnHeader(char* AData, size_t ASize, size_t ACount, void* AUser);
  static size_t OnBody(char* AData, size_t ASize, size_t ACount, void* AUser);
  static int OnXferInfo(void* AUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

  int64_t Received() const { return Offset + ReadThisRequest; }
  int64_t Total() const { return ContentLength > 0 ? ContentLength + Offset : SizeBytes; }
  double Rate() const {
    const double Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Began).count();
    return Seconds > 0 ? static_cast<double>(ReadThisRequest) / Seconds : 0;
  }

  // Settles, at the first byte of the final answer's body, whether the body is the file:
  // only a 200 or 206 is written (an error page must never be appended to a partial file),
  // and a 200 to a ranged request means the range was ignored, so the file starts over.
  bool Decide() {
    Decided = true;
    long Code = 0;
    curl_easy_getinfo(Curl, CURLINFO_RESPONSE_CODE, &Code);
    Status = static_cast<int>(Code);
    curl_off_t Length = -1;
    curl_easy_getinfo(Curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &Length);
    ContentLength = Length;
    Accepting = Status == 200 || Status == 206;
    if (Status == 200 && Offset > 0) {
      if (::ftruncate(Fd, 0) != 0 || ::lseek(Fd, 0, SEEK_SET) != 0) {
        WriteErrno = errno;
        return false;
      }
      TAppLog::Info("models", "%s: the server ignored the range, downloading from the start",
                    FileName);
      Offset = 0;
      LastReported = 0;
    }
    return true;
  }
};

// The owner's handler, reached by every report when it runs: a handler cleared meanwhile
// (the window going) receives none of the reports still queued for it.
struct TModelDownloader::TProgressSink {
  TMutex Lock;
  TProgressHandler Handler QX_GUARDED_BY(Lock);

  void Set(TProgressHandler AHandler) {
    TLockGuard Guard(Lock);
    Handler = std::move(AHandler);
  }
  void Deliver(const TDownloadProgress& AProgress) {
    TProgressHandler Current;
    {
      TLockGuard Guard(Lock);
      Current = Handler;
    }
    if (Current) Current(AProgress);
  }
};

TModelDownloader::TModelDownloader(const TAppConfig& AConfig,
                                   std::shared_ptr<IMainThreadDispatcher> ADispatcher)
    : FConfig(AConfig),
      FDispatcher(std::move(ADispatcher)),
      FSink(std::make_shared<TProgressSink>()) {}

TModelDownloader::~TModelDownloader() {
  Cancel();
  if (FThread.joinable()) FThread.join();
  FSink->Set({});
}

void TModelDownloader::SetOnProgress(TProgressHandler AHandler) {
  FSink->Set(std::move(AHandler));
}

void TModelDownloader::SetUnpackLimits(const TUnpackLimits& ALimits) {
  TLockGuard Guard(FLock);
  FUnpackLimits = ALimits;
}

void TModelDownloader::StartBatch(const std::vector<TModelVariant>& AVariants,
                                  const std::string& AHost, bool AWithTokenizer) {
  if (AVariants.empty()) return;
  {
    TLockGuard Guard(FLock);
    if (FBusy) return;
    FBusy = true;
    FAbort = false;
  }
  // The previous worker has cleared FBusy, so it is finishing or finished.
  if (FThread.joinable()) FThread.join();
  try {
    FThread = std::thread(&TModelDownloader::RunBatch, this, AVariants, AHost, AWithTokenizer);
  } catch (const std::exception& E) {
    Report(dsFailed, AVariants.front().FileName, 0, AVariants.front().SizeBytes, 0, E.what());
    EndBatch();
  }
}

void TModelDownloader::Start(const TModelVariant& AVariant, const std::string& AHost,
                             bool AWithTokenizer) {
  StartBatch({AVariant}, AHost, AWithTokenizer);
}

void TModelDownloader::Cancel() {
  TLockGuard Guard(FLock);
  FAbort = true;
}

bool TModelDownloader::Busy() const {
  TLockGuard Guard(FLock);
  return FBusy;
}

TDownloadProgress TModelDownloader::Snapshot() const {
  TLockGuard Guard(FLock);
  return FLast;
}

bool TModelDownloader::WaitIdle(std::chrono::milliseconds ATimeout) const {
  TUniqueLock Lock(FLock);
  return FIdle.wait_for(Lock.Native(), ATimeout, [this]() QX_REQUIRES(FLock) { return !FBusy; });
}

bool TModelDownloader::AbortRequested() const {
  TLockGuard Guard(FLock);
  return FAbort;
}

void TModelDownloader::Report(TDownloadStage AStage, const std::string& AFileName,
                              int64_t AReceived, int64_t ATotal, double ARate,
                              const std::string& AError) {
  TDownloadProgress Progress;
  Progress.Stage = AStage;
  Progress.FileName = AFileName;
  Progress.Received = AReceived;
  Progress.Total = ATotal;
  Progress.BytesPerSec = ARate;
  Progress.Error = AError;
  {
    TLockGuard Guard(FLock);
    FLast = Progress;
  }
  if (AStage == dsDone || AStage == dsFailed || AStage == dsCancelled) {
    FHeldEnd = Progress;
    return;
  }
  Publish(Progress);
}

void TModelDownloader::RunBatch(std::vector<TModelVariant> AVariants, std::string AHost,
                                bool AWithTokenizer) {
  try {
    bool Ok = true;
    if (AWithTokenizer && !TokenizerInstalled(FConfig)) Ok = FetchOne(TokenizerVariant(), AHost);
    for (const TModelVariant& Variant : AVariants) {
      if (!Ok) break;
      PublishHeldEnd();
      Ok = FetchOne(Variant, AHost);
    }
  } catch (...) {
    // FetchOne reports its own failures; nothing may keep the downloader busy.
  }
  EndBatch();
}

void TModelDownloader::EndBatch() {
  std::optional<TDownloadProgress> Last = std::exchange(FHeldEnd, std::nullopt);
  {
    TLockGuard Guard(FLock);
    FBusy = false;
    // Queued in the same step that ends the batch: whoever finds the downloader idle finds
    // its last report queued already, and the report's receiver finds it idle.
    if (Last && FDispatcher) Publish(*Last);
  }
  FIdle.notify_all();
  if (Last && !FDispatcher) Publish(*Last);
}

void TModelDownloader::PublishHeldEnd() {
  if (FHeldEnd) Publish(*std::exchange(FHeldEnd, std::nullopt));
}

void TModelDownloader::Publish(const TDownloadProgress& AProgress) {
  if (FDispatcher) {
    FDispatcher->Post([Sink = FSink, AProgress] { Sink->Deliver(AProgress); });
    return;
  }
  try {
    FSink->Deliver(AProgress);
  } catch (...) {
    // A handler on the worker thread must not end the batch with its failure.
  }
}

bool TModelDownloader::FetchOne(const TModelVariant& AVariant, const std::string& AHost) {
  try {
    return FetchOneOrFail(AVariant, AHost);
  } catch (const std::exception& E) {
    Report(dsFailed, AVariant.FileName, 0, AVariant.SizeBytes, 0, E.what());
  } catch (...) {
    Report(dsFailed, AVariant.FileName, 0, AVariant.SizeBytes, 0, "unknown error");
  }
  return false;
}

size_t TModelDownloader::TTransfer::OnHeader(char* AData, size_t ASize, size_t ACount,
                                             void* AUser) {
  auto& Xfer = *static_cast<TTransfer*>(AUser);
  const std::string_view Line(AData, ASize * ACount);
  // Each answer of a redirect chain starts with its own status line.
  if (StartsWith(Line, "HTTP/")) {
    Xfer.Reason.clear();
    const std::size_t Space = Line.find(' ');
    if (Space != std::string_view::npos) {
      const std::size_t Second = Line.find(' ', Space + 1);
      if (Second != std::string_view::npos) Xfer.Reason = Trim(Line.substr(Second + 1));
    }
  }
  return ASize * ACount;
}

size_t TModelDownloader::TTransfer::OnBody(char* AData, size_t ASize, size_t ACount, void* AUser) {
  auto& Xfer = *static_cast<TTransfer*>(AUser);
  return Xfer.Owner->Receive(Xfer, AData, ASize * ACount);
}

int TModelDownloader::TTransfer::OnXferInfo(void* AUser, curl_off_t, curl_off_t, curl_off_t,
                                            curl_off_t) {
  auto& Xfer = *static_cast<TTransfer*>(AUser);
  if (!Xfer.Owner->AbortRequested()) return 0;
  Xfer.Stopped = true;
  return 1;
}

size_t TModelDownloader::Receive(TTransfer& AXfer, const char* AData, size_t ASize) {
  if (AbortRequested()) {
    AXfer.Stopped = true;
    return 0;
  }
  if (!AXfer.Decided && !AXfer.Decide()) return 0;
  if (!AXfer.Accepting) return ASize;
  if (!WriteAll(AXfer.Fd, AData, ASize)) {
    AXfer.WriteErrno = errno;
    return 0;
  }
  AXfer.ReadThisRequest += static_cast<int64_t>(ASize);
  const int64_t Received = AXfer.Received();
  const int64_t Total = AXfer.Total();
  const bool Reached = Total > 0 && Received >= Total && AXfer.LastReported < Total;
  if (Received - AXfer.LastReported >= MiB || Reached) {
    AXfer.LastReported = Received;
    Report(dsDownloading, AXfer.FileName, Received, Total, AXfer.Rate());
  }
  return ASize;
}

bool TModelDownloader::FetchOneOrFail(const TModelVariant& AVariant, const std::string& AHost) {
  const std::string& Name = AVariant.FileName;
  const int64_t Expected = AVariant.SizeBytes;
  const bool IsPack = AVariant.Kind == dkEnginePack;
  const std::string Folder = IsPack ? FConfig.CacheDir() : FConfig.ModelsDir();
  ForceDirectories(Folder);
  const std::string Target = Folder + Name;
  const std::string Partial = Target + ".part";
  const std::string Url = !AVariant.Url.empty() ? AVariant.Url
                          : IsPack              ? EnginePackageUrl(Name)
                                                : ModelUrl(AHost, Name);

  if (const int64_t Present = FileSizeOf(Target); Present >= 1) {
    TAppLog::Info("models", "%s already present, skipping", Name);
    // A package still in the cache was never unpacked successfully: unpack it now rather
    // than report an engine as installed that is not.
    if (IsPack) return Unpack(AVariant, Target);
    Report(dsDone, Name, Present, Present, 0);
    return true;
  }

  EnsureCurlGlobal();
  int64_t Offset = std::max<int64_t>(FileSizeOf(Partial), 0);
  TTransfer Xfer;
  CURLcode Rc = CURLE_OK;
  char ErrorBuffer[CURL_ERROR_SIZE] = {};
  TFd File;
  // A second round only when the server refuses the range of a partial file (416): that
  // partial can never be completed, so it starts over.
  for (int Round = 0; Round < 2; ++Round) {
    Report(dsConnecting, Name, Offset, Expected, 0);
    const int Flags = Offset == 0 ? O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC : O_WRONLY | O_CLOEXEC;
    File.Reset(::open(Partial.c_str(), Flags, 0644));
    if (File.Get() < 0 || ::lseek(File.Get(), 0, SEEK_END) < 0) {
      Report(dsFailed, Name, Offset, Expected, 0, Partial + ": " + ErrnoText(errno));
      return false;
    }
    TCurlHandle Curl(curl_easy_init());
    if (!Curl) {
      Report(dsFailed, Name, Offset, Expected, 0, "curl_easy_init failed");
      return false;
    }
    TCurlHeaders Headers;
    if (Offset > 0)
      Headers.reset(curl_slist_append(nullptr, Format("Range: bytes=%d-", Offset).c_str()));

    Xfer = TTransfer{};
    Xfer.Owner = this;
    Xfer.Curl = Curl.get();
    Xfer.Fd = File.Get();
    Xfer.FileName = Name;
    Xfer.SizeBytes = Expected;
    Xfer.Offset = Offset;
    Xfer.Began = std::chrono::steady_clock::now();
    ErrorBuffer[0] = '\0';

    CURL* h = Curl.get();
    curl_easy_setopt(h, CURLOPT_URL, Url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, ConnectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, ResponseTimeoutSec);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_USERAGENT, QuavoxUserAgent);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, ReceiveBufferBytes);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, ErrorBuffer);
    if (Headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, Headers.get());
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &TTransfer::OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &Xfer);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &TTransfer::OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &Xfer);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &TTransfer::OnXferInfo);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &Xfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);

    Rc = curl_easy_perform(h);
    if (Rc == CURLE_OK && !Xfer.Decided && !Xfer.Decide()) Rc = CURLE_WRITE_ERROR;
    Xfer.Curl = nullptr;
    if (Rc == CURLE_OK && Xfer.Status == 416 && Xfer.Offset > 0 && Round == 0) {
      TAppLog::Info("models", "%s: the server refused the range, downloading from the start", Name);
      Offset = 0;
      continue;
    }
    break;
  }

  if (Rc != CURLE_OK) {
    if (Xfer.Stopped || AbortRequested()) {
      Report(dsCancelled, Name, Xfer.Received(), Xfer.Total(), 0);
    } else if (Xfer.WriteErrno != 0) {
      Report(dsFailed, Name, Xfer.Received(), Xfer.Total(), 0,
             Partial + ": " + ErrnoText(Xfer.WriteErrno));
    } else {
      const std::string Text = ErrorBuffer[0] != '\0' ? ErrorBuffer : curl_easy_strerror(Rc);
      Report(dsFailed, Name, Xfer.Offset, Expected, 0, Text + " (from " + Url + ")");
    }
    return false;
  }
  if (!Xfer.Accepting) {
    const std::string Reason = Xfer.Reason.empty() ? StandardReason(Xfer.Status) : Xfer.Reason;
    Report(dsFailed, Name, Xfer.Offset, Expected, 0,
           Format(Translate("HTTP %d %s(源:%s)"), Xfer.Status, Reason, Url));
    return false;
  }

  // Flushed before the rename, so a crash never leaves a short file under the final name.
  if (::fsync(File.Get()) != 0 && errno != EINVAL) {
    Report(dsFailed, Name, Xfer.Received(), Xfer.Total(), 0, Partial + ": " + ErrnoText(errno));
    return false;
  }
  if (const int CloseError = File.Close(); CloseError != 0) {
    Report(dsFailed, Name, Xfer.Received(), Xfer.Total(), 0,
           Partial + ": " + ErrnoText(CloseError));
    return false;
  }
  const int64_t PartialSize = std::max<int64_t>(FileSizeOf(Partial), 0);
  const bool HasLength = Xfer.ContentLength >= 1;
  const int64_t ExpectedTotal = HasLength ? Xfer.ContentLength + Xfer.Offset : PartialSize;
  Report(dsVerifying, Name, ExpectedTotal, ExpectedTotal, 0);
  if (PartialSize == 0) {
    Report(dsFailed, Name, 0, ExpectedTotal, 0, Translate("下下来是空的"));
    return false;
  }
  if (!HasLength && !SizePlausible(Partial, Expected)) {
    Report(dsFailed, Name, PartialSize, Expected, 0,
           Format(Translate("大小对不上(%s,估计应为 %s),多半是被网关塞了个错误页,已删除"),
                  FormatSize(PartialSize), FormatSize(Expected)));
    ::unlink(Partial.c_str());
    return false;
  }
  if (HasLength && PartialSize != ExpectedTotal) {
    Report(dsFailed, Name, PartialSize, ExpectedTotal, 0,
           Format(Translate("收到 %s,服务器说应该是 %s —— 传输不完整,残件留着可续传"),
                  FormatSize(PartialSize), FormatSize(ExpectedTotal)));
    return false;
  }
  if (::rename(Partial.c_str(), Target.c_str()) != 0) {
    Report(dsFailed, Name, PartialSize, PartialSize, 0,
           Translate("改名失败(文件可能正被引擎占用):") + ErrnoText(errno));
    return false;
  }
  FsyncFolderOf(Target);
  TAppLog::Info("models", "%s ready (%s)", Name, FormatSize(PartialSize));
  if (IsPack) return Unpack(AVariant, Target);
  Report(dsDone, Name, PartialSize, PartialSize, 0);
  return true;
}

bool TModelDownloader::Unpack(const TModelVariant& AVariant, const std::string& AZipFile) {
  const std::string& Name = AVariant.FileName;
  const int64_t ZipSize = std::max<int64_t>(FileSizeOf(AZipFile), 0);
  Report(dsUnpacking, Name, ZipSize, ZipSize, 0);
  const std::string Backend = LowerAscii(Trim(AVariant.Backend));
  if (Backend.empty() || Backend == "." || Backend == ".." ||
      Backend.find_first_of("/\\") != std::string::npos) {
    Report(dsFailed, Name, ZipSize, ZipSize, 0,
           Format(Translate("引擎后端名称不对:%s"), AVariant.Backend));
    return false;
  }
  const std::string Folder = EngineBackendDir(FConfig, Backend);
  TUnpackLimits Limits;
  {
    TLockGuard Guard(FLock);
    Limits = FUnpackLimits;
  }
  std::string Error;
  const TUnpackResult Result = UnpackEnginePackage(AZipFile, Folder, Limits, Error);
  if (Result != urUnpacked) {
    TAppLog::Warn("models", "%s: unpacking failed: %s", Name, Error);
    // Only a package that cannot be written out is worth keeping for the next attempt.
    if (Result == urBadPackage) DropBrokenPackage(AZipFile);
    Report(dsFailed, Name, ZipSize, ZipSize, 0, Format(Translate("解压失败:%s"), Error));
    return false;
  }
  if (FileSizeOf(Folder + EngineExeName) < 0) {
    DropBrokenPackage(AZipFile);
    Report(dsFailed, Name, ZipSize, ZipSize, 0,
           Format(Translate("解压完没找到 %ss2 —— 包的内容不对"), Folder));
    return false;
  }
  ::unlink(AZipFile.c_str());
  TAppLog::Info("models", "%s engine extracted to %s", Backend, Folder);
  Report(dsDone, Name, ZipSize, ZipSize, 0);
  return true;
}

}  // namespace quavox
