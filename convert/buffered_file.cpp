#include "convert/buffered_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quellmark {

std::unique_ptr<BufferedFile> BufferedFile::Open(const std::string& path, const char* mode) {
  const bool plus = std::strchr(mode, '+') != nullptr;
  int flags = O_CLOEXEC;
  switch (mode[0]) {
    case 'r':
      flags |= plus ? O_RDWR : O_RDONLY;
      break;
    case 'w':
      flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
      break;
    case 'a':
      flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT;
      break;
    default:
      errno = EINVAL;
      return nullptr;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return nullptr;
  }
  return std::unique_ptr<BufferedFile>(
      new BufferedFile(fd, mode[0] == 'a', static_cast<std::uint64_t>(status.st_size)));
}

BufferedFile::BufferedFile(int fd, bool append, std::uint64_t size)
    : fd_(fd), append_(append), size_(size), file_size_(size) {}

BufferedFile::~BufferedFile() {
  if (fd_ >= 0) {
    WriteBuffer();
    ::close(fd_);
  }
}

bool BufferedFile::Fail(int error) {
  if (error_ == 0) error_ = error;
  errno = error;
  return false;
}

namespace {

std::atomic<std::uint64_t> writes{0};
std::atomic<std::uint64_t> failing_from{0};
std::atomic<int> failing_error{0};

}  // namespace

std::uint64_t BufferedFile::WritesSoFar() { return writes.load(); }

void BufferedFile::FailWritesFrom(std::uint64_t n, int error) {
  failing_error.store(error);
  failing_from.store(error == 0 ? 0 : n);
}

bool BufferedFile::WriteAt(const char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const std::uint64_t count = writes.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::uint64_t from = failing_from.load(std::memory_order_relaxed);
    if (from != 0 && count >= from) return Fail(failing_error.load());
    const ssize_t n = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    if (n == 0) return Fail(ENOSPC);
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
    file_size_ = std::max(file_size_, offset);
  }
  return true;
}

bool BufferedFile::WriteBuffer() {
  if (buffered_ == 0) return true;
  const std::size_t size = buffered_;
  buffered_ = 0;
  return WriteAt(buffer_.get(), size, buffer_at_);
}

std::size_t BufferedFile::Write(const void* data, std::size_t size) {
  if (error_ != 0) {
    errno = error_;
    return 0;
  }
  // shapelib writes nothing, from no buffer at all, when it closes a table
  // whose header failed to write.
  if (size == 0) return 0;
  if (append_) position_ = size_;
  const char* bytes = static_cast<const char*>(data);
  // The buffer takes the bytes when they continue or overwrite what it
  // holds, without leaving a gap, and fit.
  const bool joins = buffered_ > 0 && position_ >= buffer_at_ &&
                     position_ <= buffer_at_ + buffered_ &&
                     position_ + size <= buffer_at_ + kBufferSize;
  if (!joins) {
    if (!WriteBuffer()) return 0;
    if (size >= kBufferSize) {
      if (!WriteAt(bytes, size, position_)) return 0;
      position_ += size;
      size_ = std::max(size_, position_);
      return size;
    }
    if (!buffer_) buffer_.reset(new char[kBufferSize]);
    buffer_at_ = position_;
  }
  const std::size_t at = static_cast<std::size_t>(position_ - buffer_at_);
  std::memcpy(buffer_.get() + at, bytes, size);
  buffered_ = std::max(buffered_, at + size);
  position_ += size;
  size_ = std::max(size_, position_);
  return size;
}

std::size_t BufferedFile::Read(void* data, std::size_t size) {
  char* bytes = static_cast<char*>(data);
  if (buffered_ > 0 && position_ >= buffer_at_ && position_ + size <= buffer_at_ + buffered_) {
    std::memcpy(bytes, buffer_.get() + (position_ - buffer_at_), size);
    position_ += size;
    return size;
  }
  // The file must hold the buffered bytes (and the zeros before them, when
  // they lie past its end) before it is read there.
  if (buffered_ > 0 && position_ + size > std::min(buffer_at_, file_size_) && !WriteBuffer()) {
    return 0;
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd_, bytes + done, size - done, static_cast<off_t>(position_ + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (done < size) at_end_ = true;
  position_ += done;
  return done;
}

bool BufferedFile::Seek(std::int64_t offset, int whence) {
  std::int64_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<std::int64_t>(position_);
  if (whence == SEEK_END) base = static_cast<std::int64_t>(size_);
  if (base + offset < 0) {
    errno = EINVAL;
    return false;
  }
  position_ = static_cast<std::uint64_t>(base + offset);
  at_end_ = false;
  return true;
}

bool BufferedFile::Flush() { return WriteBuffer() && error_ == 0; }

bool BufferedFile::Truncate(std::uint64_t size) {
  if (!WriteBuffer()) return false;
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return Fail(errno);
  size_ = file_size_ = size;
  return true;
}

bool BufferedFile::Close() {
  const bool written = WriteBuffer();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && written) return Fail(errno);
  if (error_ != 0) {
    errno = error_;
    return false;
  }
  return true;
}

}  // namespace quellmark
