#include "service/Queue.h"

#include <cxxabi.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <typeinfo>

#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"

namespace quavox {

namespace {

// The worker wakes at least this often to notice termination.
constexpr auto WorkerPoll = std::chrono::milliseconds(200);

std::string ClassName(const std::exception& AError) {
  int Status = 0;
  char* Demangled = abi::__cxa_demangle(typeid(AError).name(), nullptr, nullptr, &Status);
  std::string Name = Status == 0 && Demangled ? Demangled : typeid(AError).name();
  std::free(Demangled);
  return Name;
}

std::string StoppingText() {
  return Translate("服务正在停止,这条请求被丢弃");
}

}  // namespace

void TSynthJob::SignalDone() {
  {
    TLockGuard Guard(FDoneLock);
    FDone = true;
  }
  FDoneSignal.notify_all();
}

bool TSynthJob::WaitDone(int32_t ATimeoutMs) {
  TUniqueLock Lock(FDoneLock);
  return FDoneSignal.wait_for(Lock.Native(), std::chrono::milliseconds(std::max(ATimeoutMs, 0)),
                              [this]() QX_REQUIRES(FDoneLock) { return FDone; });
}

void TClientLine::Push(TSynthJobPtr AJob) {
  auto& Jobs = FJobs[AJob->Client];
  if (Jobs.empty()) FTurns.push_back(AJob->Client);
  Jobs.push_back(std::move(AJob));
  ++FSize;
}

TSynthJobPtr TClientLine::Pop() {
  if (FTurns.empty()) return nullptr;
  const std::string Client = std::move(FTurns.front());
  FTurns.pop_front();
  const auto Found = FJobs.find(Client);
  TSynthJobPtr Job = std::move(Found->second.front());
  Found->second.pop_front();
  --FSize;
  if (Found->second.empty())
    FJobs.erase(Found);
  else
    FTurns.push_back(Client);
  return Job;
}

TSynthQueue::TSynthQueue(TEngineGetter AGetEngine, int32_t ALimit, TQueueShares AShares)
    : FShares(AShares),
      FGetEngine(std::move(AGetEngine)),
      FLimit(ALimit),
      FWorker([this] { WorkerLoop(); }) {}

TSynthQueue::~TSynthQueue() {
  {
    TLockGuard Guard(FLock);
    FTerminated = true;
  }
  FSignal.notify_all();
  FWorker.join();
  Drain();
}

void TSynthQueue::SetShares(TQueueShares AShares) {
  TLockGuard Guard(FLock);
  FShares = AShares;
}

void TSynthQueue::Enqueue(const TSynthJobPtr& AJob) {
  const int32_t Limit = FLimit.load();
  const int32_t Reserve = std::clamp(FShares.HighReserve, 0, Limit / 2);
  if (FDepth >= Limit || (AJob->Priority != tpHigh && FNormal.Size() >= Limit - Reserve))
    ETtsError::Raise_(ecQueueFull, Format(Translate("合成队列已满(%d 条在排),稍后再试"), Limit));
  const auto Held = FWaiting.find(AJob->Client);
  if (FShares.ClientShare > 0 && Held != FWaiting.end() && Held->second >= FShares.ClientShare)
    ETtsError::Raise_(
        ecQueueFull, Format(Translate("这个地址已有 %d 条合成在排,稍后再试"), FShares.ClientShare));
  (AJob->Priority == tpHigh ? FHigh : FNormal).Push(AJob);
  ++FWaiting[AJob->Client];
  ++FDepth;
}

TPcmBuffer TSynthQueue::Submit(const TS2Params& AParams, const TVoiceHint& AHint,
                               TTtsPriority APriority, int32_t ATimeoutMs, int32_t& AElapsedMs,
                               const std::string& AClient) {
  AElapsedMs = 0;
  auto Job = std::make_shared<TSynthJob>();
  Job->Params = AParams;
  Job->Hint = AHint;
  Job->Priority = APriority;
  Job->Client = AClient;
  {
    TLockGuard Guard(FLock);
    if (FClosed) ETtsError::Raise_(ecEngineNotConnected, StoppingText());
    Enqueue(Job);
  }
  FSignal.notify_one();
  if (!Job->WaitDone(ATimeoutMs))
    ETtsError::Raise_(ecTimeout, Format(Translate("等了 %d 毫秒后端还没出声音"), ATimeoutMs));
  if (Job->Failed) ETtsError::Raise_(Job->ErrorCode, Job->ErrorText);
  AElapsedMs = Job->ElapsedMs;
  // The worker is done with the job once it has signalled it.
  return std::move(Job->Pcm);
}

int32_t TSynthQueue::Depth() const {
  TLockGuard Guard(FLock);
  return FDepth;
}

bool TSynthQueue::Busy() const {
  TLockGuard Guard(FLock);
  return FBusy;
}

bool TSynthQueue::Stopping() const {
  TLockGuard Guard(FLock);
  return FTerminated;
}

TSynthJobPtr TSynthQueue::TakeNext() {
  TSynthJobPtr Job = !FHigh.Empty() ? FHigh.Pop() : FNormal.Pop();
  if (!Job) return nullptr;
  if (const auto Held = FWaiting.find(Job->Client); --Held->second == 0) FWaiting.erase(Held);
  --FDepth;
  return Job;
}

void TSynthQueue::Drain() {
  for (;;) {
    TSynthJobPtr Job;
    {
      TLockGuard Guard(FLock);
      Job = TakeNext();
    }
    if (!Job) return;
    Job->Failed = true;
    Job->ErrorCode = ecEngineNotConnected;
    Job->ErrorText = StoppingText();
    Job->SignalDone();
  }
}

void TSynthQueue::Close() {
  {
    TLockGuard Guard(FLock);
    FClosed = true;
  }
  Drain();
}

void TSynthQueue::RunJob(TSynthJob& AJob) {
  const auto Start = std::chrono::steady_clock::now();
  try {
    const IQuavoxEnginePtr Engine = FGetEngine ? FGetEngine() : nullptr;
    if (!Engine) ETtsError::Raise_(ecEngineNotConnected, Translate("没有可用的引擎"));
    AJob.Pcm = Engine->Synthesize(AJob.Params, AJob.Hint);
    AJob.Failed = false;
  } catch (const ETtsError& E) {
    AJob.Failed = true;
    AJob.ErrorCode = E.Code();
    AJob.ErrorText = E.what();
  } catch (const std::exception& E) {
    AJob.Failed = true;
    AJob.ErrorCode = ecEngineFailed;
    AJob.ErrorText = ClassName(E) + ": " + E.what();
    TAppLog::Error("queue", "unexpected exception on the synthesis thread: %s", AJob.ErrorText);
  } catch (...) {
    AJob.Failed = true;
    AJob.ErrorCode = ecEngineFailed;
    AJob.ErrorText = "unknown exception";
    TAppLog::Error("queue", "unexpected exception on the synthesis thread: %s", AJob.ErrorText);
  }
  AJob.ElapsedMs = static_cast<int32_t>(RoundHalfEven(
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count()));
}

void TSynthQueue::WorkerLoop() {
  pthread_setname_np(pthread_self(), "Quavox synth");
  for (;;) {
    TSynthJobPtr Job;
    {
      TUniqueLock Lock(FLock);
      FSignal.wait_for(Lock.Native(), WorkerPoll, [this]() QX_REQUIRES(FLock) {
        return FTerminated || !FHigh.Empty() || !FNormal.Empty();
      });
      if (FTerminated) return;
      Job = TakeNext();
      if (!Job) continue;
      FBusy = true;
    }
    RunJob(*Job);
    {
      TLockGuard Guard(FLock);
      FBusy = false;
    }
    Job->SignalDone();
  }
}

}  // namespace quavox
