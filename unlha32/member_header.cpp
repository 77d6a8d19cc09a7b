#include "member_header.h"

#include <errno.h>
#include <unistd.h>

namespace quellmark::unlha32 {
namespace {

// Extended headers beyond this, in all, are not read: no archive needs them,
// and a forged chain of tiny ones would cost a read each.
constexpr uint32_t kMaxExtendedBytes = 1 << 20;

constexpr uint8_t kUnixModeHeader = 0x50;

uint32_t Le16(const std::string& b, size_t at) {
  return static_cast<unsigned char>(b[at]) |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8;
}

uint32_t Le32(const std::string& b, size_t at) { return Le16(b, at) | Le16(b, at + 2) << 16; }

class HeaderReader {
 public:
  HeaderReader(int fd, int64_t offset) : fd_(fd), offset_(offset) {}

  // Reads size bytes at `at` bytes past the header's start; false (and an
  // error) when the archive ends before them.
  bool Read(uint64_t at, size_t size, std::string& out) {
    out.assign(size, '\0');
    size_t done = 0;
    while (done < size) {
      const ssize_t n =
          ::pread(fd_, out.data() + done, size - done, static_cast<off_t>(offset_ + at + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        result.error = "member header cut short";
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  void AddMode(uint32_t mode) { result.modes.push_back(static_cast<uint16_t>(mode)); }
  bool Fail(std::string message) {
    result.error = std::move(message);
    return false;
  }

  HeaderModes result;

 private:
  int fd_;
  int64_t offset_;
};

// Levels 1 to 3: extended headers follow one another, each [type][data][size
// of the next], `width` being 2 or 4 bytes; `next` is the first one's size.
// Level 1 reads them from the archive after the base header, levels 2 and 3
// from `header`, which holds the whole header.
bool WalkExtendedHeaders(HeaderReader& reader, const std::string* header, uint64_t at,
                         uint32_t next, int width) {
  uint64_t walked = 0;
  std::string level1_block;
  while (next != 0) {
    if (next < static_cast<uint32_t>(1 + width)) return reader.Fail("bad extended header size");
    walked += next;
    if (walked > kMaxExtendedBytes) return reader.Fail("member header too large");
    const std::string* block = header;
    uint64_t start = at;
    if (header == nullptr) {
      if (!reader.Read(at, next, level1_block)) return false;
      block = &level1_block;
      start = 0;
    } else if (at + next > header->size()) {
      return reader.Fail("extended header runs past its member header");
    }
    const uint32_t data_size = next - 1 - width;
    if (static_cast<uint8_t>((*block)[start]) == kUnixModeHeader && data_size >= 2) {
      reader.AddMode(Le16(*block, start + 1));
    }
    const size_t size_at = start + 1 + data_size;
    at += next;
    next = width == 2 ? Le16(*block, size_at) : Le32(*block, size_at);
  }
  return true;
}

bool ReadModes(HeaderReader& reader) {
  // Fixed fields: [0] sizes (level 0 and 1: header size, checksum), [2..6]
  // method "-xxx-", [7..19] sizes, time and attribute, [20] level.
  std::string fixed;
  if (!reader.Read(0, 24, fixed)) return false;
  if (fixed[2] != '-' || fixed[6] != '-') {
    return reader.Fail("no member header where the archive reader found one");
  }
  switch (fixed[20]) {
    case 0: {
      // ... [21] name length, name, CRC, then an optional extension: 'U',
      // version, time (4), mode (2), user, group.
      const uint32_t total = static_cast<unsigned char>(fixed[0]) + 2u;
      const uint32_t extension = 24 + static_cast<unsigned char>(fixed[21]);
      if (total < extension) return reader.Fail("bad member header size");
      std::string tail;
      if (total - extension >= 8) {
        if (!reader.Read(extension, total - extension, tail)) return false;
        if (tail[0] == 'U') reader.AddMode(Le16(tail, 6));
      }
      return true;
    }
    case 1: {
      // ... [21] name length, name, CRC, OS, size of the first extended
      // header; the extended headers follow the base header.
      const uint32_t base = static_cast<unsigned char>(fixed[0]) + 2u;
      if (base < 27u + static_cast<unsigned char>(fixed[21])) {
        return reader.Fail("bad member header size");
      }
      std::string size;
      if (!reader.Read(base - 2, 2, size)) return false;
      return WalkExtendedHeaders(reader, nullptr, base, Le16(size, 0), 2);
    }
    case 2: {
      // [0] total header size; ... [21] CRC, [23] OS, [24] size of the first
      // extended header.
      const uint32_t total = Le16(fixed, 0);
      if (total < 26) return reader.Fail("bad member header size");
      std::string header;
      if (!reader.Read(0, total, header)) return false;
      return WalkExtendedHeaders(reader, &header, 26, Le16(header, 24), 2);
    }
    case 3: {
      // [0] 4, the width of the sizes; ... [24] total header size, [28] size
      // of the first extended header.
      std::string sizes;
      if (!reader.Read(24, 8, sizes)) return false;
      const uint32_t total = Le32(sizes, 0);
      if (Le16(fixed, 0) != 4 || total < 32) return reader.Fail("bad member header size");
      if (total > kMaxExtendedBytes) return reader.Fail("member header too large");
      std::string header;
      if (!reader.Read(0, total, header)) return false;
      return WalkExtendedHeaders(reader, &header, 32, Le32(sizes, 4), 4);
    }
    default:
      return reader.Fail("unknown header level " + std::to_string(static_cast<int>(fixed[20])));
  }
}

}  // namespace

HeaderModes ReadHeaderModes(int fd, int64_t offset) {
  HeaderReader reader(fd, offset);
  ReadModes(reader);
  return std::move(reader.result);
}

}  // namespace quellmark::unlha32
