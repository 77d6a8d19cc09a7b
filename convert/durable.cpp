#include "convert/durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "sal/errors.h"

namespace quellmark {

namespace {

// `path` opened for reading with `flags` added; -1 with errno set when it
// cannot be. On Linux a file opened for reading can be flushed.
int OpenToFlush(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// False with errno set when `path` does not open or flush.
bool Flush(const std::string& path, int flags) {
  const int fd = OpenToFlush(path, flags);
  if (fd < 0) return false;
  const bool flushed = ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  errno = error;
  return flushed;
}

}  // namespace

void FlushFile(const std::string& path, const std::string& name_in_messages) {
  if (!Flush(path, O_NOFOLLOW)) {
    throw OutputError(name_in_messages, 0, "cannot write to disk: " + SystemMessage(errno));
  }
}

void StartFlush(const std::string& path) {
  const int fd = OpenToFlush(path, O_NOFOLLOW);
  if (fd < 0) return;
  ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  ::close(fd);
}

void FlushFolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  if (!Flush(folder, O_DIRECTORY)) {
    throw OutputError(folder, 0, "cannot write the folder to disk: " + SystemMessage(errno));
  }
}

}  // namespace quellmark
