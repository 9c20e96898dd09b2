// The access log of the HTTP API: one JSON line per answered request, appended to
// logs/access.log (rotated by size, and reopened on request so a rotation tool can move
// the file away) or written to standard error, where systemd's journal collects it. One
// instance serves the process; any thread may write, configure or reopen it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/Log.h"
#include "core/ThreadAnnotations.h"
#include "core/Types.h"

namespace quavox {

// One answered request as the access log shows it.
struct TAccessRecord {
  TDateTime Time{};
  std::string Peer;
  std::string Method;
  std::string Path;  // without the query, which may carry the announcement text
  int32_t Status = 0;
  uint64_t Bytes = 0;
  int64_t DurationUs = 0;
  std::string Cache;  // "hit", "miss" or empty
  std::string Voice;
  int64_t EngineMs = -1;  // -1: no synthesis
  std::string RequestId;  // the reply's X-Request-Id, or empty
};

// The record as one line of JSON, without the line feed.
std::string AccessLogLine(const TAccessRecord& ARecord);

class TAccessLog {
 public:
  enum TTarget : uint8_t { atOff, atFile, atStderr };
  static constexpr int KeptFiles = 3;  // access.log.1 ... access.log.3

  static TAccessLog& Instance();
  // "auto" is standard error when JOURNAL_STREAM says systemd's journal reads it, else
  // the file; an unknown word is "auto".
  static TTarget TargetOf(std::string_view ASetting, bool AUnderJournal);

  void Configure(TTarget ATarget, std::string AFileName, uint64_t AMaxBytes) QX_EXCLUDES(FLock);
  // Closes and opens the file again, so lines go to a new file after it was moved.
  void Reopen() QX_EXCLUDES(FLock);
  void Write(const TAccessRecord& ARecord) QX_EXCLUDES(FLock);

 private:
  TAccessLog() = default;
  ~TAccessLog();
  void OpenLocked() QX_REQUIRES(FLock);
  void CloseLocked() QX_REQUIRES(FLock);
  void RotateLocked() QX_REQUIRES(FLock);

  // An open log file; closed when the last writer holding it is done, so a line is written
  // outside the lock while a rotation or reopen moves on to the next file.
  struct TFile {
    explicit TFile(int AFd) : Fd(AFd) {}
    ~TFile();
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;
    const int Fd;
  };

  TMutex FLock;
  TTarget FTarget QX_GUARDED_BY(FLock) = atOff;
  std::string FFileName QX_GUARDED_BY(FLock);
  uint64_t FMaxBytes QX_GUARDED_BY(FLock) = 0;
  uint64_t FSize QX_GUARDED_BY(FLock) = 0;
  std::shared_ptr<const TFile> FFile QX_GUARDED_BY(FLock);
};

}  // namespace quavox
