#include "engine/EngineS2Local.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <curl/curl.h>
#include <unistd.h>

#include "audio/Audio.h"
#include "audio/Wav.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "platform/Curl.h"
#include "platform/Files.h"
#include "state/Config.h"
#include "state/Json.h"

namespace quavox {

namespace fs = std::filesystem;

namespace {

constexpr const char* LogSource = "s2";
constexpr const char* ExeName = "s2";

bool IsFile(const std::string& APath) {
  std::error_code Ec;
  return !APath.empty() && fs::is_regular_file(APath, Ec);
}

// A voice table (the bundled voice file) is small and is named by its contents, so a new
// version of it changes the cache key; network weights run to gigabytes and are named by
// their file name, as the engine's name alone already does.
constexpr std::uintmax_t VoiceTableMaxBytes = 16u << 20;

std::string VoiceTableIdentity(const std::string& AModel) {
  std::error_code Ec;
  const std::uintmax_t Size = fs::file_size(AModel, Ec);
  if (Ec || Size > VoiceTableMaxBytes) return {};
  std::ifstream In(AModel, std::ios::binary);
  TBytes Bytes(static_cast<std::size_t>(Size));
  In.read(reinterpret_cast<char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
  if (In.gcount() != static_cast<std::streamsize>(Bytes.size())) return {};
  return Sha256Hex(Bytes).substr(0, 16);
}

std::string FileNameOf(const std::string& APath) {
  return fs::path(APath).filename().string();
}

std::string FolderOf(const std::string& APath) {
  return fs::path(APath).parent_path().string();
}

std::string Absolute(const std::string& APath) {
  if (APath.empty()) return APath;
  std::error_code Ec;
  const fs::path Full = fs::absolute(APath, Ec);
  return Ec ? APath : Full.lexically_normal().string();
}

double SecondsSince(std::chrono::steady_clock::time_point AStart) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - AStart).count();
}

// Bytes as text, every invalid UTF-8 sequence replaced.
std::string LenientUtf8(const TBytes& ABytes) {
  return Utf16ToUtf8(
      Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(ABytes.data()), ABytes.size())));
}

// Aborts a transfer that has gone ALimit without sending or receiving a byte, which is
// what the engine's read time-out means: synthesis may take long, silence may not.
struct TIdleWatch {
  std::chrono::steady_clock::time_point LastActivity = std::chrono::steady_clock::now();
  curl_off_t Down = 0;
  curl_off_t Up = 0;
  std::chrono::milliseconds Limit{0};
  bool TimedOut = false;

  static int OnProgress(void* AWatch, curl_off_t, curl_off_t ADown, curl_off_t, curl_off_t AUp) {
    auto* w = static_cast<TIdleWatch*>(AWatch);
    const auto Now = std::chrono::steady_clock::now();
    if (ADown != w->Down || AUp != w->Up) {
      w->Down = ADown;
      w->Up = AUp;
      w->LastActivity = Now;
      return 0;
    }
    if (Now - w->LastActivity > w->Limit) {
      w->TimedOut = true;
      return 1;
    }
    return 0;
  }
};

// The reply body, with room for all of it made once its announced length is known instead
// of growing (and copying) it piece by piece.
struct TBodySink {
  CURL* Handle = nullptr;
  TBytes& Body;

  static size_t Collect(char* AData, size_t ASize, size_t ACount, void* ASink) {
    auto* s = static_cast<TBodySink*>(ASink);
    if (s->Body.empty()) {
      curl_off_t Length = -1;
      if (curl_easy_getinfo(s->Handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &Length) == CURLE_OK &&
          Length > 0 && Length <= MaxReservedBody)
        s->Body.reserve(static_cast<std::size_t>(Length));
    }
    s->Body.insert(s->Body.end(), reinterpret_cast<uint8_t*>(AData),
                   reinterpret_cast<uint8_t*>(AData) + ASize * ACount);
    return ASize * ACount;
  }

  // An announced length beyond this is not trusted to size anything up front.
  static constexpr curl_off_t MaxReservedBody = curl_off_t{256} << 20;
};

// A mime part's data read straight from a buffer that outlives the transfer.
struct TBufferReader {
  const TBytes& Bytes;
  std::size_t At = 0;

  static size_t Read(char* ABuffer, size_t ASize, size_t ACount, void* AReader) {
    auto* r = static_cast<TBufferReader*>(AReader);
    const std::size_t n = std::min(ASize * ACount, r->Bytes.size() - r->At);
    std::memcpy(ABuffer, r->Bytes.data() + r->At, n);
    r->At += n;
    return n;
  }
  static int Seek(void* AReader, curl_off_t AOffset, int AOrigin) {
    auto* r = static_cast<TBufferReader*>(AReader);
    if (AOrigin != SEEK_SET || AOffset < 0 || static_cast<std::size_t>(AOffset) > r->Bytes.size())
      return CURL_SEEKFUNC_CANTSEEK;
    r->At = static_cast<std::size_t>(AOffset);
    return CURL_SEEKFUNC_OK;
  }
};

struct TGenerateReply {
  bool Delivered = false;
  std::string Error;
  long Status = 0;
  TBytes Body;
};

TGenerateReply PostGenerate(int32_t APort, const TS2Params& AParams,
                            std::chrono::milliseconds AConnect, std::chrono::milliseconds ARead) {
  EnsureCurlGlobal();
  TGenerateReply Reply;
  TCurlHandle Curl(curl_easy_init());
  if (!Curl) {
    Reply.Error = "cannot create an HTTP client";
    return Reply;
  }
  CURL* c = Curl.get();
  // Outlives the transfer, which reads the reference through it.
  TBufferReader Reference{AParams.ReferenceAudio.Bytes()};
  TCurlMime Mime(curl_mime_init(c));

  curl_mimepart* Part = curl_mime_addpart(Mime.get());
  curl_mime_name(Part, "text");
  curl_mime_data(Part, AParams.Text.data(), AParams.Text.size());
  curl_mime_type(Part, "text/plain; charset=utf-8");

  const std::string Params = S2ParamsJson(AParams);
  Part = curl_mime_addpart(Mime.get());
  curl_mime_name(Part, "params");
  curl_mime_data(Part, Params.data(), Params.size());

  if (!AParams.VoiceProfile.empty()) {
    Part = curl_mime_addpart(Mime.get());
    curl_mime_name(Part, "voice");
    curl_mime_data(Part, AParams.VoiceProfile.data(), AParams.VoiceProfile.size());
  } else {
    // Sent even when empty: the server then picks a voice itself.
    Part = curl_mime_addpart(Mime.get());
    curl_mime_name(Part, "reference");
    // Read from the shared buffer as it is sent, instead of a copy made up front.
    curl_mime_data_cb(Part, static_cast<curl_off_t>(AParams.ReferenceAudio.size()),
                      &TBufferReader::Read, &TBufferReader::Seek, nullptr, &Reference);
    curl_mime_filename(Part, ReferenceFileName(AParams.ReferenceAudio.Bytes()).c_str());
    curl_mime_type(Part, "application/octet-stream");
    Part = curl_mime_addpart(Mime.get());
    curl_mime_name(Part, "reference_text");
    curl_mime_data(Part, AParams.ReferenceText.data(), AParams.ReferenceText.size());
  }

  // No "Expect: 100-continue" round trip for large references.
  TCurlHeaders Headers(curl_slist_append(nullptr, "Expect:"));
  const std::string Url = Format("http://127.0.0.1:%d/generate", APort);
  char ErrorText[CURL_ERROR_SIZE] = {};
  TIdleWatch Watch;
  Watch.Limit = ARead;

  curl_easy_setopt(c, CURLOPT_URL, Url.c_str());
  curl_easy_setopt(c, CURLOPT_MIMEPOST, Mime.get());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, Headers.get());
  curl_easy_setopt(c, CURLOPT_USERAGENT, QuavoxUserAgent);
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(AConnect.count()));
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &TIdleWatch::OnProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &Watch);
  TBodySink Sink{c, Reply.Body};
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &TBodySink::Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &Sink);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, ErrorText);

  const CURLcode Rc = curl_easy_perform(c);
  if (Rc != CURLE_OK) {
    if (Watch.TimedOut) {
      Reply.Error = Format("no answer within %d ms", static_cast<long long>(ARead.count()));
    } else {
      Reply.Error = ErrorText[0] != '\0' ? std::string(ErrorText) : curl_easy_strerror(Rc);
    }
    return Reply;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &Reply.Status);
  Reply.Delivered = true;
  return Reply;
}

}  // namespace

std::string S2CommandLine(const std::string& AExe, const std::string& AModel, int32_t APort,
                          const std::string& ATokenizer, const TEngineOptions& AOptions) {
  std::string Cmd =
      Format("\"%s\" --model \"%s\" --server --host 127.0.0.1 --port %d", AExe, AModel, APort);
  if (!ATokenizer.empty()) Cmd += Format(" --tokenizer \"%s\"", ATokenizer);
  switch (AOptions.Compute) {
    case cbCpu:
      Cmd += " -ngl 0";
      break;
    case cbCuda:
      Cmd += Format(" -c %d -ngl %d", AOptions.GpuDevice, AOptions.GpuLayers);
      break;
    case cbVulkan:
      Cmd += Format(" -v %d -ngl %d", AOptions.GpuDevice, AOptions.GpuLayers);
      break;
    case cbAuto:
      break;
  }
  if (AOptions.Threads > 0) Cmd += Format(" -threads %d", AOptions.Threads);
  if (!AOptions.ExtraArgs.empty()) Cmd += " " + AOptions.ExtraArgs;
  return Cmd;
}

std::string S2ExitReasonText(const TExitStatus& AStatus) {
  switch (ExitReasonOf(AStatus)) {
    case xrAccessViolation:
      return Translate("引擎访问了非法内存(可能是模型文件损坏)。");
    case xrNoMemory:
      return Translate("内存不够,引擎起不来。");
    case xrIllegalInstruction:
      return Translate(
          "这台电脑的 CPU "
          "不支持引擎用到的指令集(非法指令)。换用别的计算后端,或者换一台较新的机器。");
    case xrMissingLibraries:
      return Translate("引擎缺少依赖的 DLL(VC 运行时或显卡运行库没装齐)。");
    case xrStackOverrun:
      return Translate("引擎栈溢出/缓冲区检查失败(参考音频过长时会这样)。");
    case xrNone:
      break;
  }
  return {};
}

std::string LargestModelIn(const std::string& ADir) {
  std::vector<std::pair<std::string, uintmax_t>> Models;
  std::error_code Ec;
  for (fs::directory_iterator It(ADir, Ec), End; !Ec && It != End; It.increment(Ec)) {
    std::error_code FileEc;
    if (!It->is_regular_file(FileEc)) continue;
    if (LowerAscii(It->path().extension().string()) != ".gguf") continue;
    const uintmax_t Size = It->file_size(FileEc);
    if (FileEc) continue;
    Models.emplace_back(It->path().string(), Size);
  }
  // Listing order differs between file systems; by name it is the same everywhere.
  std::sort(Models.begin(), Models.end());
  const std::pair<std::string, uintmax_t>* Best = nullptr;
  for (const auto& m : Models)
    if (Best == nullptr || m.second > Best->second) Best = &m;
  return Best != nullptr ? Best->first : std::string();
}

std::string S2ParamsJson(const TS2Params& AParams) {
  TJson Json = TJson::object();
  Json["max_new_tokens"] = AParams.MaxNewTokens;
  Json["temperature"] = RoundTo4Decimals(AParams.Temperature);
  Json["top_p"] = RoundTo4Decimals(AParams.TopP);
  Json["top_k"] = AParams.TopK;
  Json["repetition_penalty"] = RoundTo4Decimals(AParams.RepetitionPenalty);
  if (AParams.Seed != 0) Json["seed"] = AParams.Seed;
  return JsonDumpAscii(Json);
}

std::string ReferenceFileName(const TBytes& AAudio) {
  // A RIFF file whose data happens to look like an MPEG frame is still a WAV.
  const bool Mp3 = LooksLikeMp3(AAudio) && !AAudio.empty() && AAudio[0] != 'R';
  return Mp3 ? "reference.mp3" : "reference.wav";
}

TS2LocalEngine::TS2LocalEngine(const TEngineOptions& AOptions, const TAppConfig& AConfig,
                               const TS2Timing& ATiming)
    : TCustomTtsEngine(AOptions),
      FProgramDir(IncludeTrailingSlash(AConfig.ExeDir())),
      FBundledDir(IncludeTrailingSlash(AConfig.BundledDir())),
      FLogPath(IncludeTrailingSlash(AConfig.LogsDir()) + "s2-engine.log"),
      FTiming(ATiming) {
  TLockGuard Guard(FLock);
  FSearchDir = FProgramDir;
}

TS2LocalEngine::~TS2LocalEngine() {
  Stop();
}

std::string TS2LocalEngine::ExeFor(const std::string& AProgramDir, TComputeBackend ABackend) {
  const std::string Program = IncludeTrailingSlash(AProgramDir);
  const std::string EngineDir = Program + "engine/";
  if (ABackend == cbCuda && IsFile(EngineDir + "cuda/" + ExeName))
    return EngineDir + "cuda/" + ExeName;
  if (ABackend == cbVulkan && IsFile(EngineDir + "vulkan/" + ExeName))
    return EngineDir + "vulkan/" + ExeName;
  if (IsFile(EngineDir + ExeName)) return EngineDir + ExeName;
  if (IsFile(Program + ExeName)) return Program + ExeName;
  return {};
}

bool TS2LocalEngine::BackendAvailable(const std::string& AProgramDir, TComputeBackend ABackend) {
  const std::string EngineDir = IncludeTrailingSlash(AProgramDir) + "engine/";
  switch (ABackend) {
    case cbAuto:
    case cbCpu:
      return IsFile(EngineDir + ExeName);
    case cbCuda:
      return IsFile(EngineDir + "cuda/" + ExeName) || IsFile(EngineDir + "libggml-cuda.so");
    case cbVulkan:
      return IsFile(EngineDir + "vulkan/" + ExeName) || IsFile(EngineDir + "libggml-vulkan.so");
  }
  return false;
}

bool TS2LocalEngine::RunsCatalogueModels(const std::string& AExe) {
  const fs::path Folder = fs::path(AExe).parent_path();
  const std::string Name = Folder.filename().string();
  if (Name == "cuda" || Name == "vulkan") return true;
  std::error_code Ec;
  for (fs::directory_iterator It(Folder, Ec), End; !Ec && It != End; It.increment(Ec))
    if (It->path().filename().string().starts_with("libggml")) return true;
  return false;
}

bool TS2LocalEngine::Ready() const {
  return State() == esReady;
}

TS2EngineState TS2LocalEngine::State() const {
  TLockGuard Guard(FLock);
  return FState;
}

bool TS2LocalEngine::IsUnloaded() const {
  return State() == esUnloaded;
}

std::string TS2LocalEngine::Detail() const {
  TLockGuard Guard(FLock);
  return FDetail.Text();
}

std::string TS2LocalEngine::ModelPath() const {
  TLockGuard Guard(FLock);
  return FModelPath;
}

std::string TS2LocalEngine::ModelIdentity() const {
  TLockGuard Guard(FLock);
  return FModelIdentity;
}

std::string TS2LocalEngine::EnginePath() const {
  TLockGuard Guard(FLock);
  return FExePath;
}

std::string TS2LocalEngine::MissingWhat() const {
  TLockGuard Guard(FLock);
  std::string What;
  if (FExePath.empty()) What = "engine/s2";
  if (FModelPath.empty()) What += What.empty() ? "models/*.gguf" : ", models/*.gguf";
  return What;
}

void TS2LocalEngine::SetSearchDir(const std::string& ADir) {
  TLockGuard Guard(FLock);
  FSearchDir = IncludeTrailingSlash(ADir);
}

int32_t TS2LocalEngine::Port() const {
  TLockGuard Guard(FLock);
  return FPort;
}

int32_t TS2LocalEngine::Restarts() const {
  TLockGuard Guard(FLock);
  return FRestarts;
}

TExitStatus TS2LocalEngine::LastExit() const {
  TLockGuard Guard(FLock);
  return FLastExit;
}

pid_t TS2LocalEngine::ChildPid() const {
  const std::shared_ptr<TChildProcess> Process = Child();
  return Process ? Process->Pid() : 0;
}

std::shared_ptr<TChildProcess> TS2LocalEngine::Child() const {
  TLockGuard Guard(FLock);
  return FProcess;
}

double TS2LocalEngine::LoadSeconds() const {
  return SecondsSince(FLoadStart);
}

void TS2LocalEngine::SetState(TS2EngineState AState, TLiveText ADetail) {
  TLockGuard Guard(FLock);
  FState = AState;
  FDetail = std::move(ADetail);
}

bool TS2LocalEngine::SleepOrStop(std::chrono::milliseconds ADuration) {
  TUniqueLock Lock(FLock);
  return FWake.wait_for(Lock.Native(), ADuration,
                        [this]() QX_REQUIRES(FLock) { return FStopRequested; });
}

std::string EngineStateName(TS2EngineState AState) {
  switch (AState) {
    case esMissing:
      return "missing";
    case esLoading:
      return "loading";
    case esReady:
      return "ready";
    case esFailed:
      return "failed";
    case esUnloaded:
      return "unloaded";
  }
  return "missing";
}

TEngineHealth TS2LocalEngine::CheckHealth() {
  TEngineHealth Health;
  Health.Backend = Name();
  Health.ProbedAt = std::chrono::system_clock::now();
  Health.ExePath = EngineExe(Options().Compute);
  TLockGuard Guard(FLock);
  Health.Ready = FState == esReady;
  if (FState != esMissing) Health.ModelPath = FModelPath;
  Health.Detail = FState == esLoading ? Format(Translate("模型加载中(已 %.0f 秒)…"), LoadSeconds())
                                      : FDetail.Text();
  return Health;
}

void TS2LocalEngine::Start() {
  TLockGuard Control(FControlLock);
  StopLocked(esMissing, TLiveText::Of("已停止"));
  if (!LocateFiles()) {
    const std::string What = MissingWhat();
    SetState(esMissing, TLiveText::Of("bin 里缺 %s", What));
    TAppLog::Warn(LogSource,
                  "model files incomplete (missing %s); falling back to placeholder audio", What);
    return;
  }
  {
    TLockGuard Guard(FLock);
    FState = esLoading;
    FDetail = TLiveText::Of("正在加载模型…");
    FRestarts = 0;
    FLoadStart = TClock::now();
    FStopRequested = false;
  }
  if (Launch()) FProbeThread = std::thread([this] { Supervise(); });
}

void TS2LocalEngine::Stop() {
  TLockGuard Control(FControlLock);
  StopLocked(esMissing, TLiveText::Of("已停止"));
}

void TS2LocalEngine::Unload() {
  TLockGuard Control(FControlLock);
  StopLocked(esUnloaded, TLiveText::Of("模型已卸载,内存已释放"));
  TAppLog::Info(LogSource, "model unloaded on request, memory released");
}

void TS2LocalEngine::StopLocked(TS2EngineState AState, TLiveText ADetail) {
  {
    TLockGuard Guard(FLock);
    FStopRequested = true;
  }
  FWake.notify_all();
  if (FProbeThread.joinable()) FProbeThread.join();
  KillChild();
  SetState(AState, ADetail);
}

void TS2LocalEngine::KillChild() {
  std::shared_ptr<TChildProcess> Process;
  {
    TLockGuard Guard(FLock);
    Process = std::move(FProcess);
  }
  if (Process) Process->Kill();
}

// A downloaded engine in the state folder comes before the one shipped with the program.
std::string TS2LocalEngine::EngineExe(TComputeBackend ABackend) const {
  const std::string Downloaded = ExeFor(FProgramDir, ABackend);
  return Downloaded.empty() ? ExeFor(FBundledDir, ABackend) : Downloaded;
}

std::string TS2LocalEngine::ModelIn(const std::string& ARoot, const std::string& AModelFile) {
  if (!AModelFile.empty() && IsFile(ARoot + "models/" + AModelFile))
    return ARoot + "models/" + AModelFile;
  for (const char* Dir : {"models/", "engine/", ""}) {
    std::string Model = LargestModelIn(ARoot + Dir);
    if (!Model.empty()) return Model;
  }
  return {};
}

bool TS2LocalEngine::LocateFiles() {
  const TEngineOptions Opt = Options();
  std::string Root;
  {
    TLockGuard Guard(FLock);
    Root = FSearchDir;
  }
  std::string Exe;
  std::string Model;
  if (Root == FProgramDir) {
    Exe = EngineExe(Opt.Compute);
    Model = ModelIn(FProgramDir, Opt.ModelFile);
    if (Model.empty()) Model = ModelIn(FBundledDir, Opt.ModelFile);
  } else {
    if (IsFile(Root + "engine/" + ExeName)) Exe = Root + "engine/" + ExeName;
    Model = ModelIn(Root, Opt.ModelFile);
  }
  std::string Tokenizer;
  if (!Model.empty()) {
    const std::string Candidate = (fs::path(Model).parent_path() / "tokenizer.json").string();
    if (IsFile(Candidate)) Tokenizer = Candidate;
  }
  std::string Identity = Model.empty() ? std::string() : VoiceTableIdentity(Model);
  // The child runs in the executable's folder, so relative paths would point elsewhere.
  TLockGuard Guard(FLock);
  FExePath = Absolute(Exe);
  FModelPath = Absolute(Model);
  FModelIdentity = std::move(Identity);
  FTokenizerPath = Absolute(Tokenizer);
  return !FExePath.empty() && !FModelPath.empty();
}

bool TS2LocalEngine::Launch() {
  int32_t Port = 0;
  TPortClaim Claim;
  {
    // The old child's claim goes first, so a restart may take the same port again.
    TLockGuard Guard(FLock);
    FPortClaim = TPortClaim();
  }
  for (int32_t p = FTiming.FirstPort; p <= FTiming.LastPort; ++p) {
    Claim = TPortClaim(p);
    if (Claim.Held() && !PortAccepts(p, FTiming.PortProbe)) {
      Port = p;
      break;
    }
  }
  if (Port == 0) {
    SetState(esFailed, TLiveText::Of("本机 17151..17170 全被占用,推理进程无处可放"));
    TAppLog::Error(LogSource, "no free port in %d..%d for the inference process", FTiming.FirstPort,
                   FTiming.LastPort);
    return false;
  }

  std::string Exe, Model, Tokenizer;
  {
    TLockGuard Guard(FLock);
    Exe = FExePath;
    Model = FModelPath;
    Tokenizer = FTokenizerPath;
  }
  const TEngineOptions Opt = Options();
  TSpawnOptions Spawn;
  Spawn.Argv = SplitCommandLine(S2CommandLine(Exe, Model, Port, Tokenizer, Opt));
  Spawn.WorkDir = FolderOf(Exe);
  Spawn.OutputFile = FLogPath;
  try {
    ForceDirectories(FolderOf(FLogPath));
  } catch (const std::exception&) {
    // The child then keeps the program's own output.
  }

  std::shared_ptr<TChildProcess> Process;
  try {
    Process = TChildProcess::Spawn(Spawn);
  } catch (const std::system_error& E) {
    SetState(esFailed, TLiveText::Of("推理进程起不来(Win32 %d):%s", E.code().value(), Exe));
    TAppLog::Error(LogSource, "inference process could not start (%s): %s", E.what(), Exe);
    return false;
  }
  const pid_t Pid = Process->Pid();
  {
    TLockGuard Guard(FLock);
    FProcess = std::move(Process);
    FPort = Port;
    FPortClaim = std::move(Claim);
  }
  if (Opt.Compute == cbCuda || Opt.Compute == cbVulkan) {
    TAppLog::Info(LogSource, "inference process started (pid %d, port %d): %s [%s, gpu #%d]", Pid,
                  Port, FileNameOf(Model), ComputeToStr(Opt.Compute), Opt.GpuDevice);
  } else {
    TAppLog::Info(LogSource, "inference process started (pid %d, port %d): %s", Pid, Port,
                  FileNameOf(Model));
  }
  return true;
}

bool TS2LocalEngine::WaitReady() {
  for (;;) {
    std::shared_ptr<TChildProcess> Process;
    int32_t Port = 0;
    std::string Exe, Model;
    {
      TLockGuard Guard(FLock);
      // A stop sets its own state right after; only a real time-out is a failure.
      if (FStopRequested) return false;
      if (TClock::now() - FLoadStart >= FTiming.ReadyLimit) {
        if (FState == esLoading) {
          FState = esFailed;
          FDetail = TLiveText::Of(
              "等了 %d 秒模型还没加载完,看 %s",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::seconds>(FTiming.ReadyLimit).count()),
              FLogPath);
        }
        return false;
      }
      Process = FProcess;
      Port = FPort;
      Exe = FExePath;
      Model = FModelPath;
    }

    const std::optional<TExitStatus> Ended =
        Process ? Process->Exit() : std::optional<TExitStatus>(TExitStatus::Exited(-1));
    if (Ended) {
      const std::string Code = Ended->Text();
      const TLiveText Text([Code, Status = *Ended, Exe, Log = FLogPath] {
        const std::string Reason = S2ExitReasonText(Status);
        return Reason.empty()
                   ? Format(Translate("推理进程退出了(code %d):用的是 %s,日志 %s"), Code, Exe, Log)
                   : Format(Translate("推理进程退出了(code %d):%s 用的是 %s,日志 %s"), Code, Reason,
                            Exe, Log);
      });
      {
        TLockGuard Guard(FLock);
        FLastExit = *Ended;
        FState = esFailed;
        FDetail = Text;
      }
      TAppLog::Error(LogSource, "inference process exited with code %d; log: %s", Code, FLogPath);
      return false;
    }

    bool Accepts = PortAccepts(Port, FTiming.PortProbe);
    if (!Accepts && PortAccepts(FTiming.FallbackPort, FTiming.PortProbe)) {
      Port = FTiming.FallbackPort;
      Accepts = true;
      TLockGuard Guard(FLock);
      FPort = Port;
    }
    if (Accepts) {
      double Seconds = 0;
      {
        TLockGuard Guard(FLock);
        Seconds = LoadSeconds();
        FState = esReady;
        FReadySince = TClock::now();
        FDetail = TLiveText::Of("%s,端口 %d,加载用了 %.1f 秒", FileNameOf(Model), Port, Seconds);
      }
      TAppLog::Info(LogSource, "engine ready, loaded in %.1f s", Seconds);
      return true;
    }
    SleepOrStop(FTiming.ReadyPoll);
  }
}

int32_t TS2LocalEngine::RestartsAfterForgiving() {
  const int32_t Minutes = Options().RestartForgiveMinutes;
  std::chrono::milliseconds Healthy{0};
  {
    TLockGuard Guard(FLock);
    Healthy = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - FReadySince);
    if (Minutes <= 0 || FRestarts == 0 || Healthy < FTiming.ForgiveMinute * Minutes)
      return FRestarts;
    FRestarts = 0;
  }
  TAppLog::Info(LogSource,
                "inference process had run healthy for %d min or more; restarts are counted from "
                "zero again",
                Minutes);
  return 0;
}

void TS2LocalEngine::Supervise() {
  if (!WaitReady()) return;
  for (;;) {
    if (SleepOrStop(FTiming.LivenessPoll)) return;
    const std::shared_ptr<TChildProcess> Process = Child();
    const std::optional<TExitStatus> Ended =
        Process ? Process->Exit() : std::optional<TExitStatus>(TExitStatus::Exited(-1));
    if (!Ended) continue;

    {
      TLockGuard Guard(FLock);
      FLastExit = *Ended;
    }
    int32_t Restarts = RestartsAfterForgiving();
    TAppLog::Warn(LogSource, "inference process gone (auto-restarted %d time(s))", Restarts);
    if (Restarts >= MaxRestarts) {
      SetState(esFailed,
               TLiveText::Of("推理进程反复退出(%d 次),不再自动重启 —— 看 %s", Restarts, FLogPath));
      return;
    }
    {
      TLockGuard Guard(FLock);
      Restarts = ++FRestarts;
      FState = esLoading;
      FDetail = TLiveText::Of("推理进程没了,正在第 %d 次重启…", Restarts);
    }
    KillChild();
    {
      TLockGuard Guard(FLock);
      FLoadStart = TClock::now();
    }
    if (!Launch() || !WaitReady()) return;
    TAppLog::Info(LogSource, "inference process restarted and ready (attempt %d)", Restarts);
  }
}

TPcmBuffer TS2LocalEngine::Synthesize(const TS2Params& AParams, const TVoiceHint& AHint) {
  if (Trim(AParams.Text).empty()) throw ETtsError(ecEmptyText, Translate("没有要合成的文本"));

  TS2EngineState State;
  std::string Detail;
  double Seconds = 0;
  int32_t Port = 0;
  {
    TLockGuard Guard(FLock);
    State = FState;
    Detail = FDetail.Text();
    Seconds = LoadSeconds();
    Port = FPort;
  }
  switch (State) {
    case esMissing:
      throw ETtsError(ecEngineNotConnected,
                      Format(Translate("引擎还没装齐:bin 里缺 %s"), MissingWhat()));
    case esLoading:
      throw ETtsError(ecEngineNotConnected,
                      Format(Translate("模型还在加载(已 %.0f 秒),稍后再试"), Seconds));
    case esFailed:
      throw ETtsError(ecEngineFailed, Detail);
    case esUnloaded:
      throw ETtsError(ecEngineNotConnected,
                      Translate("模型已卸载。要现合成的话,先在「模型」页点「载入模型」。"));
    case esReady:
      break;
  }

  if (AParams.ReferenceAudio.empty() && AParams.VoiceProfile.empty()) {
    TAppLog::Warn(
        LogSource,
        "no reference audio for this request; the model picks the voice itself (voice: %s)",
        AHint.Display);
  }
  const int32_t Configured = Options().TimeoutMs;
  const int32_t TimeoutMs = Configured > 0 ? Configured : 180000;
  const TGenerateReply Reply =
      PostGenerate(Port, AParams, FTiming.RequestConnect, std::chrono::milliseconds(TimeoutMs));
  if (!Reply.Delivered) {
    const std::shared_ptr<TChildProcess> Process = Child();
    if (!Process || Process->WaitFor(FTiming.GoneGrace)) {
      {
        // Only a ready engine turns to loading here: the supervisor may already have
        // given up (failed) or the owner stopped it, and neither must be undone.
        TLockGuard Guard(FLock);
        if (FState == esReady) {
          FState = esLoading;
          FDetail = TLiveText::Of("推理进程不在了,正在重启…");
        }
      }
      throw ETtsError(ecEngineNotConnected,
                      Translate("推理进程不在了(崩了或被结束),正在自动重启,过几秒再试。") + "\r\n" +
                          Format(Translate("原因看 %s"), FLogPath));
    }
    throw ETtsError(ecEngineFailed,
                    Format(Translate("跟推理进程通信失败:%s(日志 %s)"), Reply.Error, FLogPath));
  }
  if (Reply.Status != 200) {
    throw ETtsError(ecEngineFailed,
                    Format(Translate("推理进程返回 %d:%s"), static_cast<long long>(Reply.Status),
                           LenientUtf8(Reply.Body)));
  }
  TPcmBuffer Pcm;
  if (!WavToPcm(Reply.Body, Pcm)) {
    throw ETtsError(ecEngineFailed, Format(Translate("推理进程返回的 %d 字节不是能识别的 WAV"),
                                           static_cast<long long>(Reply.Body.size())));
  }
  return Pcm;
}

}  // namespace quavox
