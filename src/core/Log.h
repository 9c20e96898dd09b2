// The process-wide event log and request log: bounded, in memory, callable from any thread.
// New entries reach the host (the log page, or the daemon's standard error) through two
// hooks that run on the main thread via the installed dispatcher, never on the caller's.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Dispatcher.h"
#include "core/Format.h"
#include "core/Types.h"

namespace quavox {

enum TLogLevel : uint8_t { llDebug, llInfo, llWarn, llError };

std::string LevelName(TLogLevel ALevel);

struct TLogEntry {
  TDateTime Time{};
  TLogLevel Level = llInfo;
  std::string Source;
  std::string Text;

  std::string Format() const;
  // The same line with the date and the zone in front instead of the time alone, for
  // lines that outlive the day: standard error and files.
  std::string FormatDated() const;
};

struct TRequestLog {
  TDateTime Time{};
  std::string Peer;
  std::string Route;
  std::string Language;
  std::string Voice;
  float Speed = 1.0f;
  int32_t Status = 0;
  int32_t ElapsedMs = 0;
  int32_t AudioMs = 0;
  bool CacheHit = false;
  std::string Note;
};

// Local time as "hh:nn:ss.zzz".
std::string FormatLogTime(TDateTime ATime);
// Local time as "YYYY-MM-DDThh:nn:ss.zzz+hh:mm", the zone as its offset from UTC.
std::string FormatDatedTime(TDateTime ATime);
// The text with every character that could start a new line or steer a terminal written
// as an escape: \n, \r, \t, \xhh for other ASCII controls, \uhhhh for C1 controls and
// the Unicode line and paragraph separators.
std::string EscapeLogText(std::string_view AText);

class TAppLog {
 public:
  static constexpr std::size_t Capacity = 2000;
  using TEntryHook = std::function<void(const TLogEntry&)>;
  using TRequestHook = std::function<void(const TRequestLog&)>;

  static void Emit(TLogLevel ALevel, std::string_view ASource, std::string_view AText);

  // With arguments the text is a format string; without, it is taken literally.
  template <typename... TArgs>
  static void Info(std::string_view ASource, std::string_view AText, const TArgs&... AArgs) {
    Emit(llInfo, ASource, Fill(AText, AArgs...));
  }
  template <typename... TArgs>
  static void Warn(std::string_view ASource, std::string_view AText, const TArgs&... AArgs) {
    Emit(llWarn, ASource, Fill(AText, AArgs...));
  }
  template <typename... TArgs>
  static void Error(std::string_view ASource, std::string_view AText, const TArgs&... AArgs) {
    Emit(llError, ASource, Fill(AText, AArgs...));
  }

  // Debug entries are dropped unless switched on (the configuration's debugLog).
  static void Debug(std::string_view ASource, std::string_view AText) {
    Emit(llDebug, ASource, AText);
  }
  static void SetDebug(bool AEnabled);

  static void Request(const TRequestLog& ARecord);
  static std::vector<TLogEntry> Entries();
  static void Clear();

  // The host installs these once at start and clears them (hooks first) at the end.
  static void SetDispatcher(std::shared_ptr<IMainThreadDispatcher> ADispatcher);
  static void SetOnEntry(TEntryHook AHook);
  static void SetOnRequest(TRequestHook AHook);

 private:
  static inline std::atomic<bool> DebugEnabled{false};

  template <typename... TArgs>
  static std::string Fill(std::string_view AText, const TArgs&... AArgs) {
    if constexpr (sizeof...(TArgs) == 0) {
      return std::string(AText);
    } else {
      return quavox::Format(AText, AArgs...);
    }
  }
};

}  // namespace quavox
