#include "lha_builder.h"

#include <algorithm>
#include <stdexcept>

namespace lhatest {
namespace {

void PutLe16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void PutLe32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t OriginalSize(const Member& m) {
  return m.claimed_original_size.value_or(static_cast<uint32_t>(m.data.size()));
}

uint16_t FileCrc(const Member& m) { return m.claimed_crc.value_or(Crc16(m.data)); }

const std::string& Stored(const Member& m) { return m.packed ? *m.packed : m.data; }

uint32_t PackedSize(const Member& m) { return static_cast<uint32_t>(Stored(m).size()); }

// Bits written from the most significant one down, as -lh5- reads them.
class BitWriter {
 public:
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      current_ = static_cast<uint8_t>((current_ << 1) | ((value >> i) & 1));
      if (++used_ == 8) {
        out_.push_back(static_cast<char>(current_));
        current_ = 0;
        used_ = 0;
      }
    }
  }
  std::string Finish() {
    if (used_ > 0) Put(0, 8 - used_);
    return out_;
  }

 private:
  std::string out_;
  uint8_t current_ = 0;
  int used_ = 0;
};

// A -lh5- block of `symbols` codes (0-255 a byte, 256 + n - 3 a match of n
// bytes starting one byte back). With `second` the block's table has two
// codes of one bit, `code` (0) and `second` (1), and `sequence` lists the
// codes in order; without, every table holds a single code that costs no bits
// and the block is `symbols` copies of `code`. The reader refuses a stream
// that ends with a block of the latter kind.
void PutBlock(BitWriter& bits, uint32_t symbols, uint32_t code,
              std::optional<uint32_t> second = std::nullopt,
              const std::vector<bool>& sequence = {}) {
  bits.Put(symbols, 16);
  if (!second) {
    bits.Put(0, 5);  // code length table: a single code...
    bits.Put(0, 5);  // ... number 0
    bits.Put(0, 9);  // character and length table: a single code...
    bits.Put(code, 9);
  } else {
    // Code lengths of the code length codes: 0, 0, 1, then (after a 2-bit
    // count of further zeros, 0) 1. Code 2 (bit 0) stands for a run of zeros
    // whose length - 20 follows in 9 bits, code 3 (bit 1) for length 1.
    bits.Put(4, 5);
    bits.Put(0, 3);
    bits.Put(0, 3);
    bits.Put(1, 3);
    bits.Put(0, 2);
    bits.Put(1, 3);
    bits.Put(*second + 1, 9);  // lengths of the codes 0..second
    uint32_t next = 0;
    for (uint32_t c : {code, *second}) {
      const uint32_t zeros = c - next;  // one run of zeros before each code
      if (zeros < 20 || zeros > 531) throw std::invalid_argument("codes out of reach");
      bits.Put(0, 1);
      bits.Put(zeros - 20, 9);
      bits.Put(1, 1);
      next = c + 1;
    }
  }
  bits.Put(0, 4);  // position table: a single code...
  bits.Put(0, 4);  // ... 0, one byte back
  for (bool b : sequence) bits.Put(b ? 1 : 0, 1);
}

// Extended headers of levels 1 to 3: [size][type][data], the size counting
// all three; `width` is the size field's width.
void PutExtension(std::string& h, int width, uint8_t type, const std::string& data) {
  const uint32_t size = static_cast<uint32_t>(width + 1 + data.size());
  if (width == 2) {
    PutLe16(h, static_cast<uint16_t>(size));
  } else {
    PutLe32(h, size);
  }
  h.push_back(static_cast<char>(type));
  h += data;
}

std::string UnixModeData(uint16_t mode) {
  std::string data;
  PutLe16(data, mode);
  return data;
}

// 1995-03-01 12:00:00 in MS-DOS time and date words.
constexpr uint16_t kDosTime = 12 << 11;
constexpr uint16_t kDosDate = ((1995 - 1980) << 9) | (3 << 5) | 1;

}  // namespace

uint16_t Crc16(const std::string& bytes) {
  uint16_t crc = 0;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int i = 0; i < 8; ++i)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

std::string BuildLevel0(const std::vector<Member>& members) {
  std::string out;
  for (const Member& m : members) {
    if (m.name.size() > 200 || m.method.size() != 5) throw std::invalid_argument("bad member");
    std::string h;
    h.push_back(0);  // header size, patched below
    h.push_back(0);  // checksum, patched below
    h += m.method;
    PutLe32(h, PackedSize(m));
    PutLe32(h, OriginalSize(m));
    PutLe16(h, kDosTime);
    PutLe16(h, kDosDate);
    h.push_back(0x20);  // archive attribute
    h.push_back(0);     // level
    h.push_back(static_cast<char>(m.name.size()));
    h += m.name;
    PutLe16(h, FileCrc(m));
    if (m.unix_mode) {  // UNIX extension: OS, version, time, mode, user, group
      h.push_back('U');
      h.push_back(0);
      PutLe32(h, 794059200);
      PutLe16(h, *m.unix_mode);
      PutLe16(h, 0);
      PutLe16(h, 0);
    }
    h[0] = static_cast<char>(h.size() - 2);
    unsigned sum = 0;
    for (size_t i = 2; i < h.size(); ++i) sum += static_cast<unsigned char>(h[i]);
    h[1] = static_cast<char>(sum & 0xFF);
    out += h;
    out += Stored(m);
  }
  out.push_back(0);
  return out;
}

std::string BuildLevel1(const std::vector<Member>& members) {
  std::string out;
  for (const Member& m : members) {
    if (m.name.size() > 200 || m.method.size() != 5) throw std::invalid_argument("bad member");
    std::string extensions;
    if (m.unix_mode) PutExtension(extensions, 2, 0x50, UnixModeData(*m.unix_mode));
    std::string h;
    h.push_back(0);  // base header size, patched below
    h.push_back(0);  // checksum, patched below
    h += m.method;
    PutLe32(h, PackedSize(m) + static_cast<uint32_t>(extensions.size()));  // both follow
    PutLe32(h, OriginalSize(m));
    PutLe16(h, kDosTime);
    PutLe16(h, kDosDate);
    h.push_back(0x20);
    h.push_back(1);  // level
    h.push_back(static_cast<char>(m.name.size()));
    h += m.name;
    PutLe16(h, FileCrc(m));
    h.push_back('U');
    // The base header ends with the size of the first extended header.
    h += extensions;
    PutLe16(h, 0);  // end of extensions
    const size_t base = 27 + m.name.size();
    h[0] = static_cast<char>(base - 2);
    unsigned sum = 0;
    for (size_t i = 2; i < base; ++i) sum += static_cast<unsigned char>(h[i]);
    h[1] = static_cast<char>(sum & 0xFF);
    out += h;
    out += Stored(m);
  }
  out.push_back(0);
  return out;
}

std::string BuildLevel2(const std::vector<Member>& members) {
  std::string out;
  for (const Member& m : members) {
    if (m.method.size() != 5) throw std::invalid_argument("bad member");
    std::string h;
    PutLe16(h, 0);  // total header size, patched below
    h += m.method;
    PutLe32(h, PackedSize(m));
    PutLe32(h, OriginalSize(m));
    PutLe32(h, 794059200);  // 1995-03-01 in UNIX time
    h.push_back(0x20);
    h.push_back(2);  // level
    PutLe16(h, FileCrc(m));
    h.push_back('U');  // creating OS

    // Extension headers: [size][type][data], the size counting all three.
    const size_t crc_field = h.size() + 3;
    PutLe16(h, 5);
    h.push_back(0x00);  // header CRC, patched below
    PutLe16(h, 0);
    PutLe16(h, static_cast<uint16_t>(3 + m.name.size()));
    h.push_back(0x01);  // file name
    h += m.name;
    if (m.unix_mode) {
      PutLe16(h, 5);
      h.push_back(0x50);
      PutLe16(h, *m.unix_mode);
    }
    PutLe16(h, 0);  // end of extensions
    // A header whose size has a zero low byte would read as the end mark.
    if ((h.size() & 0xFF) == 0) h.push_back(0);
    h[0] = static_cast<char>(h.size() & 0xFF);
    h[1] = static_cast<char>(h.size() >> 8);
    const uint16_t header_crc = Crc16(h);
    h[crc_field] = static_cast<char>(header_crc & 0xFF);
    h[crc_field + 1] = static_cast<char>(header_crc >> 8);
    out += h;
    out += Stored(m);
  }
  out.push_back(0);
  return out;
}

std::string BuildLevel3(const std::vector<Member>& members) {
  std::string out;
  for (const Member& m : members) {
    if (m.method.size() != 5) throw std::invalid_argument("bad member");
    std::string h;
    PutLe16(h, 4);  // size of the header's size fields
    h += m.method;
    PutLe32(h, PackedSize(m));
    PutLe32(h, OriginalSize(m));
    PutLe32(h, 794059200);
    h.push_back(0x20);
    h.push_back(3);  // level
    PutLe16(h, FileCrc(m));
    h.push_back('U');
    PutLe32(h, 0);  // total header size, patched below
    const size_t crc_field = h.size() + 5;
    PutExtension(h, 4, 0x00, std::string(2, '\0'));  // header CRC, patched below
    PutExtension(h, 4, 0x01, m.name);
    if (m.unix_mode) PutExtension(h, 4, 0x50, UnixModeData(*m.unix_mode));
    PutLe32(h, 0);  // end of extensions
    for (int i = 0; i < 4; ++i) h[24 + i] = static_cast<char>((h.size() >> (8 * i)) & 0xFF);
    const uint16_t header_crc = Crc16(h);
    h[crc_field] = static_cast<char>(header_crc & 0xFF);
    h[crc_field + 1] = static_cast<char>(header_crc >> 8);
    out += h;
    out += Stored(m);
  }
  out.push_back(0);
  return out;
}

std::string Lh5Repeat(char byte, uint64_t count) {
  if (count == 0) return std::string();
  const uint32_t literal = static_cast<unsigned char>(byte);
  if (literal < 20 || literal > 488) throw std::invalid_argument("byte out of reach");
  constexpr uint32_t kLongestMatch = 256 + 256 - 3;
  constexpr uint64_t kMaxSymbols = 0xFFFF;
  uint64_t matches = (count - 1) / 256;
  const uint32_t literals = static_cast<uint32_t>(1 + (count - 1) % 256);
  BitWriter bits;
  // The literals, with a two-code table; then all matches but the last in
  // single-code blocks; then the last match, again with a two-code table.
  PutBlock(bits, literals, literal, kLongestMatch, std::vector<bool>(literals, false));
  while (matches > 1) {
    const uint64_t symbols = std::min(matches - 1, kMaxSymbols);
    PutBlock(bits, static_cast<uint32_t>(symbols), kLongestMatch);
    matches -= symbols;
  }
  if (matches == 1) PutBlock(bits, 1, literal, kLongestMatch, {true});
  return bits.Finish();
}

}  // namespace lhatest
