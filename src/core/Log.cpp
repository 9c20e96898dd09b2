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

void AppendHexEscape(std::string& AOut, unsigned AValue, int ADigits) {
  static constexpr char Hex[] = "0123456789abcdef";
  AOut += ADigits == 2 ? "\\x" : "\\u";
  for (int Shift = (ADigits - 1) * 4; Shift >= 0; Shift -= 4)
    AOut += Hex[(AValue >> Shift) & 0xF];
}

// Code points that start a new line somewhere: C1 controls and the Unicode line and
// paragraph separators, as their UTF-8 bytes.
std::size_t UnicodeBreakLength(std::string_view AText, std::size_t APos, unsigned& ACodePoint) {
  const auto Byte = [&](std::size_t i) { return static_cast<unsigned char>(AText[APos + i]); };
  if (APos + 1 < AText.size() && Byte(0) == 0xC2 && Byte(1) >= 0x80 && Byte(1) <= 0x9F) {
    ACodePoint = Byte(1);
    return 2;
  }
  if (APos + 2 < AText.size() && Byte(0) == 0xE2 && Byte(1) == 0x80 &&
      (Byte(2) == 0xA8 || Byte(2) == 0xA9)) {
    ACodePoint = 0x2000 + (Byte(2) - 0x80);
    return 3;
  }
  return 0;
}

}  // namespace

std::string EscapeLogText(std::string_view AText) {
  std::string Out;
  Out.reserve(AText.size());
  for (std::size_t i = 0; i < AText.size();) {
    const unsigned char c = static_cast<unsigned char>(AText[i]);
    unsigned CodePoint = 0;
    if (c == '\n') {
      Out += "\\n";
    } else if (c == '\r') {
      Out += "\\r";
    } else if (c == '\t') {
      Out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      AppendHexEscape(Out, c, 2);
    } else if (const std::size_t n = UnicodeBreakLength(AText, i, CodePoint); n > 0) {
      AppendHexEscape(Out, CodePoint, 4);
      i += n;
      continue;
    } else {
      Out += static_cast<char>(c);
    }
    ++i;
  }
  return Out;
}

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

namespace {

// A moment as the local calendar shows it, with its milliseconds.
struct TLocalMoment {
  std::tm Local{};
  long long Milli = 0;
};

TLocalMoment LocalMoment(TDateTime ATime) {
  const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(ATime.time_since_epoch());
  const std::time_t Secs =
      static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(Ms).count());
  TLocalMoment Moment;
  localtime_r(&Secs, &Moment.Local);
  Moment.Milli = (Ms.count() % 1000 + 1000) % 1000;
  return Moment;
}

}  // namespace

std::string FormatLogTime(TDateTime ATime) {
  const auto [Local, Milli] = LocalMoment(ATime);
  char Buf[32];
  std::snprintf(Buf, sizeof Buf, "%02d:%02d:%02d.%03lld", Local.tm_hour, Local.tm_min, Local.tm_sec,
                Milli);
  return Buf;
}

std::string FormatDatedTime(TDateTime ATime) {
  const auto [Local, Milli] = LocalMoment(ATime);
  const int Offset = static_cast<int>(Local.tm_gmtoff / 60 % (24 * 60));
  const int AbsOffset = Offset < 0 ? -Offset : Offset;
  char Buf[64];
  std::snprintf(Buf, sizeof Buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03lld%c%02d:%02d",
                Local.tm_year + 1900, Local.tm_mon + 1, Local.tm_mday, Local.tm_hour, Local.tm_min,
                Local.tm_sec, Milli, Offset < 0 ? '-' : '+', AbsOffset / 60, AbsOffset % 60);
  return Buf;
}

std::string TLogEntry::FormatDated() const {
  return FormatDatedTime(Time) + " [" + LevelName(Level) + "] " + Source + ": " + Text;
}

std::string TLogEntry::Format() const {
  return FormatLogTime(Time) + " [" + LevelName(Level) + "] " + Source + ": " + Text;
}

void TAppLog::Emit(TLogLevel ALevel, std::string_view ASource, std::string_view AText) {
  if (ALevel == llDebug && !DebugEnabled.load(std::memory_order_relaxed)) return;
  // Every entry stays one line, whatever a client put into the values it quotes.
  TLogEntry Entry{std::chrono::system_clock::now(), ALevel, std::string(ASource),
                  EscapeLogText(AText)};
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

void TAppLog::SetDebug(bool AEnabled) {
  DebugEnabled.store(AEnabled, std::memory_order_relaxed);
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
