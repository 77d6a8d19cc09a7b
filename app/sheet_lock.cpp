#include "app/sheet_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "convert/staged_sheet.h"
#include "sal/errors.h"

namespace quellmark {

std::string SheetLock::PathFor(const std::string& output_prefix) {
  // Within the file system's longest name however long the sheet's.
  return StagedSheet::StagingPrefix(output_prefix) + "lock";
}

std::unique_ptr<SheetLock> SheetLock::Acquire(const std::string& output_prefix,
                                              const std::string& archive,
                                              const std::function<void()>& waiting,
                                              const std::atomic<bool>* stop) {
  const std::string path = PathFor(output_prefix);
  bool told = false;
  while (true) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return nullptr;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        close(fd);
        return nullptr;
      }
      if (!told && waiting) waiting();
      told = true;
      if (stop != nullptr && stop->load()) {
        close(fd);
        throw Interrupted(archive, 0, "interrupted while waiting for another run");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The run that held the lock removes the file as it lets go: the lock
    // counts only while the file is still the one at the path.
    struct stat held;
    struct stat named;
    if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      return std::unique_ptr<SheetLock>(new SheetLock(path, fd));
    }
    close(fd);
  }
}

SheetLock::~SheetLock() {
  unlink(path_.c_str());
  close(fd_);
}

}  // namespace quellmark
