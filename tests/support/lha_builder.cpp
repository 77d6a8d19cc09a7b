#include "lha_builder.h"

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
    PutLe32(h, static_cast<uint32_t>(m.data.size()));
    PutLe32(h, OriginalSize(m));
    PutLe16(h, kDosTime);
    PutLe16(h, kDosDate);
    h.push_back(0x20);  // archive attribute
    h.push_back(0);     // level
    h.push_back(static_cast<char>(m.name.size()));
    h += m.name;
    PutLe16(h, FileCrc(m));
    h[0] = static_cast<char>(h.size() - 2);
    unsigned sum = 0;
    for (size_t i = 2; i < h.size(); ++i) sum += static_cast<unsigned char>(h[i]);
    h[1] = static_cast<char>(sum & 0xFF);
    out += h;
    out += m.data;
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
    PutLe32(h, static_cast<uint32_t>(m.data.size()));
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
    out += m.data;
  }
  out.push_back(0);
  return out;
}

}  // namespace lhatest
