#include "core/Log.h"

#include <ctime>
#include <deque>

#include "core/ThreadAnnotations.h"

namespace quavox {

namespace {

struct TLogState {
  TMutex Lock;
  std::deque<TLogEntry> Events QX_GUARDED_BY(Lock);
  std::deque<TRequestLog> Requests QX_GUARDED_BY(Lock);

  // Hooks and dispatcher have their own lock so a hook is never read while the host
  // replaces it; it is never held while a hook runs.
  TMutex HookLock;
  std::shared_ptr<IMainThreadDispatcher> Dispatcher QX_GUARDED_BY(HookLock);
  std::shared_ptr<const TAppLog::TEntryHook> OnEntry QX_GUARDED_BY(HookLock);
  std::shared_ptr<const TAppLog::TRequestHook> OnRequest QX_GUARDED_BY(HookLock);
};

TLogState& State() {
  static TLogState S;
  return S;
}

template <typename TRecord, typename THook>
void Deliver(const TRecord& ARecord, std::shared_ptr<const THook> TLogState::*AHookMember) {
  TLogState& S = State();
  std::shared_ptr<IMainThreadDispatcher> Dispatcher;
  {
    TLockGuard Guard(S.HookLock);
    if (!(S.*AHookMember) || !S.Dispatcher) return;
    Dispatcher = S.Dispatcher;
  }
  Dispatcher->Post([ARecord, AHookMember] {
    TLogState& St = State();
    std::shared_ptr<const THook> Hook;
    {
      TLockGuard Guard(St.HookLock);
      Hook = St.*AHookMember;
    }
    if (Hook && *Hook) (*Hook)(ARecord);
  });
}

}  // namespace

std::string LevelName(TLogLevel ALevel) {
  switch (ALevel) {
    case llDebug:
      return "DEBUG";
    case llInfo:
      return "INFO";
    case llWarn:
      return "WARN";
    default:
      return "ERROR";
  }
}

std::string FormatLogTime(TDateTime ATime) {
  const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(ATime.time_since_epoch());
  const std::time_t Secs =
      static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(Ms).count());
  std::tm Local{};
  localtime_r(&Secs, &Local);
  const long long Milli = (Ms.count() % 1000 + 1000) % 1000;
  char Buf[32];
  std::snprintf(Buf, sizeof Buf, "%02d:%02d:%02d.%03lld", Local.tm_hour, Local.tm_min, Local.tm_sec,
                Milli);
  return Buf;
}

std::string TLogEntry::Format() const {
  return FormatLogTime(Time) + " [" + LevelName(Level) + "] " + Source + ": " + Text;
}

void TAppLog::Emit(TLogLevel ALevel, std::string_view ASource, std::string_view AText) {
  TLogEntry Entry{std::chrono::system_clock::now(), ALevel, std::string(ASource),
                  std::string(AText)};
  TLogState& S = State();
  {
    TLockGuard Guard(S.Lock);
    S.Events.push_back(Entry);
    while (S.Events.size() > Capacity)
      S.Events.pop_front();
  }
  Deliver(Entry, &TLogState::OnEntry);
}

void TAppLog::Request(const TRequestLog& ARecord) {
  TLogState& S = State();
  {
    TLockGuard Guard(S.Lock);
    S.Requests.push_back(ARecord);
    while (S.Requests.size() > Capacity)
      S.Requests.pop_front();
  }
  Deliver(ARecord, &TLogState::OnRequest);
}

std::vector<TLogEntry> TAppLog::Entries() {
  TLogState& S = State();
  TLockGuard Guard(S.Lock);
  return {S.Events.begin(), S.Events.end()};
}

void TAppLog::Clear() {
  TLogState& S = State();
  TLockGuard Guard(S.Lock);
  S.Events.clear();
  S.Requests.clear();
}

void TAppLog::SetDispatcher(std::shared_ptr<IMainThreadDispatcher> ADispatcher) {
  TLogState& S = State();
  TLockGuard Guard(S.HookLock);
  S.Dispatcher = std::move(ADispatcher);
}

void TAppLog::SetOnEntry(TEntryHook AHook) {
  TLogState& S = State();
  TLockGuard Guard(S.HookLock);
  S.OnEntry = AHook ? std::make_shared<const TEntryHook>(std::move(AHook)) : nullptr;
}

void TAppLog::SetOnRequest(TRequestHook AHook) {
  TLogState& S = State();
  TLockGuard Guard(S.HookLock);
  S.OnRequest = AHook ? std::make_shared<const TRequestHook>(std::move(AHook)) : nullptr;
}

}  // namespace quavox
