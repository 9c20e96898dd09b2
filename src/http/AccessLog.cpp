#include "http/AccessLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/LogFiles.h"
#include "platform/Files.h"
#include "state/Json.h"

namespace quavox {

std::string AccessLogLine(const TAccessRecord& ARecord) {
  TJson Line = TJson::object();
  Line["time"] = FormatDatedTime(ARecord.Time);
  Line["client"] = ARecord.Peer;
  Line["method"] = ARecord.Method;
  Line["path"] = ARecord.Path;
  Line["status"] = ARecord.Status;
  Line["bytes"] = ARecord.Bytes;
  Line["ms"] = static_cast<double>(ARecord.DurationUs / 10) / 100.0;
  if (!ARecord.Cache.empty()) Line["cache"] = ARecord.Cache;
  if (!ARecord.Voice.empty()) Line["voice"] = ARecord.Voice;
  if (ARecord.EngineMs >= 0) Line["engine_ms"] = ARecord.EngineMs;
  if (!ARecord.RequestId.empty()) Line["request_id"] = ARecord.RequestId;
  // ASCII escapes keep a line one line whatever bytes a client sent as its path.
  return JsonDumpAscii(Line);
}

TAccessLog& TAccessLog::Instance() {
  static TAccessLog Log;
  // A rotation tool moves the file aside and sends SIGHUP; the next line goes to a new file.
  static const int Reopener = AddLogReopener([] { Log.Reopen(); });
  (void)Reopener;
  return Log;
}

TAccessLog::~TAccessLog() {
  TLockGuard Guard(FLock);
  CloseLocked();
}

TAccessLog::TTarget TAccessLog::TargetOf(std::string_view ASetting, bool AUnderJournal) {
  if (ASetting == "off") return atOff;
  if (ASetting == "file") return atFile;
  if (ASetting == "stderr") return atStderr;
  return AUnderJournal ? atStderr : atFile;
}

void TAccessLog::Configure(TTarget ATarget, std::string AFileName, uint64_t AMaxBytes) {
  TLockGuard Guard(FLock);
  CloseLocked();
  FTarget = ATarget;
  FFileName = std::move(AFileName);
  FMaxBytes = AMaxBytes;
  OpenLocked();
}

void TAccessLog::Reopen() {
  TLockGuard Guard(FLock);
  CloseLocked();
  OpenLocked();
}

TAccessLog::TFile::~TFile() {
  ::close(Fd);
}

void TAccessLog::Write(const TAccessRecord& ARecord) {
  const std::string Line = AccessLogLine(ARecord) + "\n";
  int Fd = STDERR_FILENO;
  std::shared_ptr<const TFile> File;  // keeps Fd open while the line is written
  {
    TLockGuard Guard(FLock);
    if (FTarget != atStderr) {
      if (FFile == nullptr) return;
      if (FMaxBytes > 0 && FSize > 0 && FSize + Line.size() > FMaxBytes) RotateLocked();
      if (FFile == nullptr) return;
      FSize += Line.size();
      File = FFile;
      Fd = File->Fd;
    }
  }
  // One write per line on a file opened for appending: lines of threads writing at once
  // never interleave.
  WriteAll(Fd, Line.data(), Line.size());
}

void TAccessLog::OpenLocked() {
  if (FTarget != atFile || FFileName.empty()) return;
  std::error_code Error;
  std::filesystem::create_directories(std::filesystem::path(FFileName).parent_path(), Error);
  // Appending, so lines written after a rotation tool truncated the file start at its end.
  const int Fd = ::open(FFileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (Fd < 0)
    TAppLog::Error("http", "cannot open the access log %s: %s", FFileName, std::strerror(errno));
  FFile = Fd >= 0 ? std::make_shared<const TFile>(Fd) : nullptr;
  FSize =
      FFile != nullptr ? static_cast<uint64_t>(std::filesystem::file_size(FFileName, Error)) : 0;
  if (Error) FSize = 0;
}

void TAccessLog::CloseLocked() {
  FFile = nullptr;
}

void TAccessLog::RotateLocked() {
  CloseLocked();
  std::error_code Error;
  for (int i = KeptFiles - 1; i >= 1; --i)
    std::filesystem::rename(FFileName + "." + std::to_string(i),
                            FFileName + "." + std::to_string(i + 1), Error);
  std::filesystem::rename(FFileName, FFileName + ".1", Error);
  OpenLocked();
}

}  // namespace quavox
