// Assembles small LHA archives from (name, bytes) pairs for tests.
//
// Members are stored uncompressed (-lh0-) unless given packed bytes, so
// hostile or damaged archives can be described byte by byte: traversal paths,
// symbolic links, device files, lying sizes, flipped data. Header levels 0 to 3
// are supported with correct header checksums and CRC-16 values unless a
// member asks for them to be wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lhatest {

struct Member {
  Member(std::string name_bytes, std::string content, std::string method_name = "-lh0-")
      : name(std::move(name_bytes)), data(std::move(content)), method(std::move(method_name)) {}

  std::string name;  // raw header bytes; '\' and '/' are left as given
  std::string data;
  std::string method;
  // Overrides written into the header instead of the true values.
  std::optional<uint32_t> claimed_original_size;
  std::optional<uint16_t> claimed_crc;
  // A UNIX mode (e.g. S_IFLNK | 0777): the UNIX extension of a level-0
  // header, an extended header of the other levels.
  std::optional<uint16_t> unix_mode;
  // Compressed bytes written in place of data, for a method other than
  // -lh0-; data then only gives the original size and the CRC.
  std::optional<std::string> packed;
};

// CRC-16 as used by LHA (reflected polynomial 0xA001, initial value 0).
uint16_t Crc16(const std::string& bytes);

// Archive with level-0 headers; names go into the header as they are.
std::string BuildLevel0(const std::vector<Member>& members);

// Archive with level-1 headers; the name stays in the base header.
std::string BuildLevel1(const std::vector<Member>& members);

// Archive with level-2 headers; the whole name goes into the file name
// extension, so separators inside it are kept verbatim.
std::string BuildLevel2(const std::vector<Member>& members);

// Archive with level-3 headers (32-bit header sizes), names as at level 2.
std::string BuildLevel3(const std::vector<Member>& members);

// An -lh5- stream that decodes to count copies of byte: one literal, then
// blocks whose code tables each hold a single code, so that every 256-byte
// match costs no bits at all. About 7 bytes for each 16 MiB of output.
std::string Lh5Repeat(char byte, uint64_t count);

}  // namespace lhatest
