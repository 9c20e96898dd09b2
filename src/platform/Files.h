// File operations whose crash behaviour matters: a file replaced through these is either
// the old content or the new, never half of one.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quavox {

// Creates every missing folder of the path; raises std::filesystem::filesystem_error.
void ForceDirectories(const std::string& ADir);

// How WriteWholeFile opens the file and how far it flushes it before closing.
enum class TFileCreation { Truncate, MustBeNew };
enum class TFileFlush { None, Data, Everything };

// Writes every byte to AFd, going on after interruptions; false with errno set on failure.
bool WriteAll(int AFd, const char* AData, std::size_t ASize);

// Creates the file (replacing an existing one only with Truncate), writes every byte,
// flushes as asked and closes it. Raises std::system_error naming the file.
void WriteWholeFile(const std::string& AFileName, std::span<const uint8_t> ABytes,
                    TFileCreation ACreation, TFileFlush AFlush);

// Writes the bytes to "<file>.tmp", flushes them to disk, renames the temporary over the
// file and flushes the folder. Raises std::system_error; the temporary is removed on failure.
void WriteFileAtomic(const std::string& AFileName, std::span<const uint8_t> ABytes);
void WriteFileAtomic(const std::string& AFileName, std::string_view AText);

// As WriteFileAtomic, but first hard-links the current file to ABackupName so a crash
// between the two steps still leaves a complete copy behind.
void ReplaceFileKeepingBackup(const std::string& AFileName, const std::string& ABackupName,
                              std::span<const uint8_t> ABytes);

void FsyncFolderOf(const std::string& AFileName);

// A file open for reading, closed when its last holder lets go; what it reads stays the
// same after the file is renamed over or deleted.
class TOpenFile {
 public:
  explicit TOpenFile(int AFd) : FFd(AFd) {}
  ~TOpenFile();
  TOpenFile(const TOpenFile&) = delete;
  TOpenFile& operator=(const TOpenFile&) = delete;
  int Fd() const { return FFd; }

 private:
  const int FFd;
};

// The regular file at APath, opened for reading without following a symbolic link; null
// when it cannot be opened or does not hold exactly ASize bytes.
std::shared_ptr<const TOpenFile> OpenFileOfSize(const std::string& APath, int64_t ASize);

// Folder of the running executable, with a trailing '/'.
std::string ExecutableDir();
// The read-only files shipped with the program (engine, model, text tables, helper programs):
// beside the executable when they are there, as in a build or an unpacked folder, otherwise
// in lib/quavox under the executable's install prefix.
std::string ProgramFilesDir();
// $XDG_DATA_HOME, or ~/.local/share, with a trailing '/'.
std::string XdgDataHome();
bool IsFolderWritable(const std::string& ADir);

std::string IncludeTrailingSlash(std::string APath);

}  // namespace quavox
