// A file written through one buffer of its own, for the output libraries'
// file hooks. The libraries write a record at a time and seek before each
// write (to the end, or back over a mark they left there); through the C
// library's streams every such seek costs system calls. Here a seek only
// moves the position: writes that continue or overwrite the buffered bytes
// stay in memory, and the buffer goes to the file when a write lands
// elsewhere, when it is full, on Flush, before a read it cannot serve, and
// on Close. Reads see every byte written. Not for sharing between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quellmark {

class BufferedFile {
 public:
  static constexpr std::size_t kBufferSize = 1 << 18;

  // Opens `path` with an fopen() mode ("rb", "wb+", "r+b", "ab", ...; "t"
  // is ignored). Null with errno set when it cannot be opened.
  static std::unique_ptr<BufferedFile> Open(const std::string& path, const char* mode);

  // Closes the file; what is still buffered is written first, unchecked
  // (call Close to know).
  ~BufferedFile();
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  // Both return the bytes moved: fewer than asked at the end of the file
  // (Read) or on an error (errno and error() tell which). After a failed
  // write every write fails.
  std::size_t Read(void* data, std::size_t size);
  std::size_t Write(const void* data, std::size_t size);

  // whence: SEEK_SET, SEEK_CUR or SEEK_END. False for a position before
  // the start.
  bool Seek(std::int64_t offset, int whence);
  std::uint64_t Tell() const { return position_; }
  // True once a read came short.
  bool AtEnd() const { return at_end_; }
  std::uint64_t Size() const { return size_; }

  bool Flush();
  bool Truncate(std::uint64_t size);
  // Writes what is buffered and closes the file; false (errno set) when
  // any write of the file failed or the file does not close.
  bool Close();

  // The errno of the first failed write, 0 when none failed.
  int error() const { return error_; }

  // For tests of what a full disk does: the writes to the file system, of
  // every BufferedFile of the process, counted from the program's start;
  // from the `n`-th one on (n > 0) each fails with `error` (0: none fails).
  static std::uint64_t WritesSoFar();
  static void FailWritesFrom(std::uint64_t n, int error);

 private:
  BufferedFile(int fd, bool append, std::uint64_t size);
  bool WriteBuffer();
  bool WriteAt(const char* data, std::size_t size, std::uint64_t offset);
  bool Fail(int error);

  int fd_;
  bool append_;
  std::uint64_t size_;       // of the file with the buffered bytes
  std::uint64_t file_size_;  // of what the file itself holds
  std::uint64_t position_ = 0;
  bool at_end_ = false;
  int error_ = 0;
  std::unique_ptr<char[]> buffer_;  // allocated (not cleared) on the first write
  std::uint64_t buffer_at_ = 0;     // file offset of buffer_[0]
  std::size_t buffered_ = 0;        // bytes of buffer_ not yet in the file
};

}  // namespace quellmark
