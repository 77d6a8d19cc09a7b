#include "convert/durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <thread>
#include <vector>

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

std::atomic<std::uint64_t> renames{0};
std::atomic<std::uint64_t> failing_rename{0};
std::atomic<int> failing_rename_error{0};
std::atomic<int> failing_link_error{0};

}  // namespace

bool RenameFile(const std::string& from, const std::string& to) {
  const std::uint64_t count = renames.fetch_add(1, std::memory_order_relaxed) + 1;
  std::uint64_t failing = count;
  if (failing_rename.compare_exchange_strong(failing, 0, std::memory_order_relaxed)) {
    errno = failing_rename_error.load(std::memory_order_relaxed);
    return false;
  }
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool LinkFile(const std::string& from, const std::string& to) {
  if (const int error = failing_link_error.load(std::memory_order_relaxed); error != 0) {
    errno = error;
    return false;
  }
  // Without AT_SYMLINK_FOLLOW a link gets the second name, not its target.
  return ::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0;
}

void FailLinks(int error) { failing_link_error.store(error); }

std::uint64_t RenamesSoFar() { return renames.load(); }

void FailRenameAt(std::uint64_t n, int error) {
  failing_rename_error.store(error);
  failing_rename.store(error == 0 ? 0 : n);
}

void FlushFile(const std::string& path, const std::string& name_in_messages) {
  if (!Flush(path, O_NOFOLLOW)) {
    throw OutputError(name_in_messages, 0, "cannot write to disk: " + SystemMessage(errno));
  }
}

void FlushFiles(std::span<const FileToFlush> files) {
  // A flush ends when the disk has emptied its write cache, which on a disk
  // busy with other work takes milliseconds; flushes that wait at the same
  // time are served by one emptying.
  constexpr std::size_t kAtOnce = 8;
  std::vector<int> errors(files.size(), 0);
  std::atomic<std::size_t> next{0};
  const auto flush_the_next = [&files, &errors, &next] {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < files.size();) {
      if (!Flush(files[i].path, O_NOFOLLOW)) errors[i] = errno;
    }
  };
  {
    std::vector<std::jthread> helpers;
    for (std::size_t n = 1; n < std::min(kAtOnce, files.size()); ++n) {
      try {
        helpers.emplace_back(flush_the_next);
      } catch (const std::system_error&) {
        break;  // no more threads: those there are do the rest
      }
    }
    flush_the_next();
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (errors[i] != 0) {
      throw OutputError(files[i].name_in_messages, 0,
                        "cannot write to disk: " + SystemMessage(errors[i]));
    }
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
