// Makes a folder refuse new files for as long as the object lives, also for root: the
// folder gets mode 0555 and, where the file system allows, the immutable attribute (which
// root's override of permissions does not pass). Works() says whether the folder really
// refuses a new file; tests that need it skip otherwise.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace quavox {

class TReadOnlyFolder {
 public:
  explicit TReadOnlyFolder(std::string AFolder) : FFolder(std::move(AFolder)) {
    ::chmod(FFolder.c_str(), 0555);
    SetImmutable(true);
  }
  ~TReadOnlyFolder() { Release(); }
  TReadOnlyFolder(const TReadOnlyFolder&) = delete;
  TReadOnlyFolder& operator=(const TReadOnlyFolder&) = delete;

  bool Works() const {
    const std::string Probe = FFolder + "/.read-only-probe";
    const int Fd = ::open(Probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (Fd < 0) return true;
    ::close(Fd);
    ::unlink(Probe.c_str());
    return false;
  }

  // Writable again.
  void Release() {
    SetImmutable(false);
    ::chmod(FFolder.c_str(), 0755);
  }

 private:
  void SetImmutable(bool AOn) const {
    const int Fd = ::open(FFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0) return;
    int Flags = 0;
    if (::ioctl(Fd, FS_IOC_GETFLAGS, &Flags) == 0) {
      Flags = AOn ? (Flags | FS_IMMUTABLE_FL) : (Flags & ~FS_IMMUTABLE_FL);
      ::ioctl(Fd, FS_IOC_SETFLAGS, &Flags);
    }
    ::close(Fd);
  }

  std::string FFolder;
};

}  // namespace quavox
