#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace quavox {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void ThrowErrno(const std::string& AWhat) {
  throw std::system_error(errno, std::generic_category(), AWhat);
}

std::string ParentOf(const std::string& AFileName) {
  const fs::path Parent = fs::path(AFileName).parent_path();
  return Parent.empty() ? std::string(".") : Parent.string();
}

int Flush(int AFd, TFileFlush AFlush) {
  switch (AFlush) {
    case TFileFlush::Data:
      return ::fdatasync(AFd);
    case TFileFlush::Everything:
      return ::fsync(AFd);
    case TFileFlush::None:
      break;
  }
  return 0;
}

}  // namespace

bool WriteAll(int AFd, const char* AData, std::size_t ASize) {
  while (ASize > 0) {
    const ssize_t n = ::write(AFd, AData, ASize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    AData += n;
    ASize -= static_cast<std::size_t>(n);
  }
  return true;
}

void WriteWholeFile(const std::string& AFileName, std::span<const uint8_t> ABytes,
                    TFileCreation ACreation, TFileFlush AFlush) {
  const int Mode = ACreation == TFileCreation::MustBeNew ? O_EXCL : O_TRUNC;
  const int Fd = ::open(AFileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | Mode, 0644);
  if (Fd < 0) ThrowErrno(AFileName);
  if (!WriteAll(Fd, reinterpret_cast<const char*>(ABytes.data()), ABytes.size()) ||
      Flush(Fd, AFlush) != 0) {
    const int Saved = errno;
    ::close(Fd);
    errno = Saved;
    ThrowErrno(AFileName);
  }
  if (::close(Fd) != 0) ThrowErrno(AFileName);
}

void ForceDirectories(const std::string& ADir) {
  if (!ADir.empty()) fs::create_directories(ADir);
}

void FsyncFolderOf(const std::string& AFileName) {
  const int Fd = ::open(ParentOf(AFileName).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd < 0) return;
  ::fsync(Fd);
  ::close(Fd);
}

void WriteFileAtomic(const std::string& AFileName, std::span<const uint8_t> ABytes) {
  ForceDirectories(ParentOf(AFileName));
  const std::string Temp = AFileName + ".tmp";
  try {
    WriteWholeFile(Temp, ABytes, TFileCreation::Truncate, TFileFlush::Everything);
    if (::rename(Temp.c_str(), AFileName.c_str()) != 0) ThrowErrno(AFileName);
  } catch (...) {
    ::unlink(Temp.c_str());
    throw;
  }
  FsyncFolderOf(AFileName);
}

void WriteFileAtomic(const std::string& AFileName, std::string_view AText) {
  WriteFileAtomic(AFileName,
                  std::span(reinterpret_cast<const uint8_t*>(AText.data()), AText.size()));
}

void ReplaceFileKeepingBackup(const std::string& AFileName, const std::string& ABackupName,
                              std::span<const uint8_t> ABytes) {
  ForceDirectories(ParentOf(AFileName));
  const std::string Temp = AFileName + ".tmp";
  try {
    WriteWholeFile(Temp, ABytes, TFileCreation::Truncate, TFileFlush::Everything);
    // The backup is a second name of the current file, so no moment exists without a
    // complete index on disk.
    if (::access(AFileName.c_str(), F_OK) == 0) {
      const std::string BackupTemp = ABackupName + ".tmp";
      ::unlink(BackupTemp.c_str());
      if (::link(AFileName.c_str(), BackupTemp.c_str()) == 0)
        ::rename(BackupTemp.c_str(), ABackupName.c_str());
    }
    if (::rename(Temp.c_str(), AFileName.c_str()) != 0) ThrowErrno(AFileName);
  } catch (...) {
    ::unlink(Temp.c_str());
    throw;
  }
  FsyncFolderOf(AFileName);
}

std::string IncludeTrailingSlash(std::string APath) {
  if (APath.empty() || APath.back() != '/') APath += '/';
  return APath;
}

std::string ExecutableDir() {
  std::error_code Ec;
  const fs::path Exe = fs::read_symlink("/proc/self/exe", Ec);
  if (Ec) return IncludeTrailingSlash(fs::current_path().string());
  return IncludeTrailingSlash(Exe.parent_path().string());
}

std::string ProgramFilesDir() {
  const std::string Exe = ExecutableDir();
  const std::string Installed = Exe + "../lib/quavox/";
  std::error_code Ec;
  if (fs::is_directory(Exe + "text", Ec) || !fs::is_directory(Installed, Ec)) return Exe;
  return IncludeTrailingSlash(fs::weakly_canonical(Installed, Ec).string());
}

std::string XdgDataHome() {
  const char* Xdg = std::getenv("XDG_DATA_HOME");
  if (Xdg != nullptr && *Xdg == '/') return IncludeTrailingSlash(Xdg);
  const char* Home = std::getenv("HOME");
  return IncludeTrailingSlash(std::string(Home != nullptr ? Home : "/tmp") + "/.local/share");
}

bool IsFolderWritable(const std::string& ADir) {
  return ::access(ADir.c_str(), W_OK) == 0;
}

TOpenFile::~TOpenFile() {
  ::close(FFd);
}

std::shared_ptr<const TOpenFile> OpenFileOfSize(const std::string& APath, int64_t ASize) {
  const int Fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (Fd < 0) return nullptr;
  auto File = std::make_shared<const TOpenFile>(Fd);
  struct stat St {};
  if (::fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode) || St.st_size != ASize) return nullptr;
  return File;
}

}  // namespace quavox
