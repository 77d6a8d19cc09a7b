#include "sal/text_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "sal/errors.h"

namespace quellmark {

namespace {
constexpr std::size_t kBufferSize = 1 << 18;
constexpr char kEofMarker = 0x1A;

// The first byte of [begin, limit) that ends a line (CR, LF or the end-of-file
// mark), or limit. Eight bytes at a time: XOR with a byte repeated eight times
// turns the lanes holding that byte to zero, which the classic zero-lane test
// finds.
const char* FindLineEnd(const char* begin, const char* limit) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const auto has_zero_lane = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  const char* p = begin;
  while (limit - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if (has_zero_lane(word ^ (kOnes * '\r')) | has_zero_lane(word ^ (kOnes * '\n')) |
        has_zero_lane(word ^ (kOnes * static_cast<unsigned char>(kEofMarker)))) {
      break;
    }
    p += 8;
  }
  while (p < limit && *p != '\r' && *p != '\n' && *p != kEofMarker) ++p;
  return p;
}
}  // namespace

TextLineReader::TextLineReader() : buffer_(new char[kBufferSize]) { carry_.reserve(4096); }

TextLineReader::~TextLineReader() { Close(); }

bool TextLineReader::Open(const std::string& path) {
  Close();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  fd_ = fd;
  path_ = path;
  pos_ = end_ = 0;
  at_end_ = false;
  skip_lf_ = false;
  data_after_marker_ = false;
  line_number_ = 0;
  carry_.clear();
  return true;
}

void TextLineReader::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool TextLineReader::Fill() {
  if (fd_ < 0) return false;
  while (true) {
    ssize_t n = ::read(fd_, buffer_.get(), kBufferSize);
    if (n > 0) {
      pos_ = 0;
      end_ = static_cast<std::size_t>(n);
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    throw InputError(path_, line_number_ + 1, "read error: " + SystemMessage(errno));
  }
}

bool TextLineReader::ReadLine(std::string_view& line) {
  if (at_end_ || fd_ < 0) return false;
  carry_.clear();
  bool have_content = false;
  while (true) {
    if (pos_ == end_ && !Fill()) {
      at_end_ = true;
      if (!have_content) return false;
      ++line_number_;
      line = carry_;
      return true;
    }
    if (skip_lf_) {
      skip_lf_ = false;
      if (buffer_[pos_] == '\n') {
        ++pos_;
        continue;
      }
    }
    const char* begin = buffer_.get() + pos_;
    const char* limit = buffer_.get() + end_;
    const char* stop = FindLineEnd(begin, limit);
    if (stop == limit) {
      carry_.append(begin, static_cast<std::size_t>(stop - begin));
      have_content = true;
      pos_ = end_;
      continue;
    }
    const char terminator = *stop;
    std::string_view piece(begin, static_cast<std::size_t>(stop - begin));
    pos_ += piece.size() + 1;
    if (terminator == kEofMarker) {
      // Keep the piece before looking past the marker: a refill reuses the buffer.
      at_end_ = true;
      carry_.append(piece);
      const bool any = have_content || !piece.empty();
      data_after_marker_ = pos_ < end_ || Fill();
      if (!any) return false;
      ++line_number_;
      line = carry_;
      return true;
    }
    if (terminator == '\r') {
      skip_lf_ = true;
    }
    ++line_number_;
    if (have_content) {
      carry_.append(piece);
      line = carry_;
    } else {
      line = piece;
    }
    return true;
  }
}

}  // namespace quellmark
