#include "convert/durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "sal/errors.h"

namespace quellmark {

namespace {

// Opens `path` with `flags` and flushes it; false with errno set when
// either fails. On Linux a file opened for reading can be flushed.
bool Flush(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
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
