// Assembles small LHA archives from (name, bytes) pairs for tests.
//
// Members are stored uncompressed (-lh0-), so hostile or damaged archives can
// be described byte by byte: traversal paths, symbolic links, lying sizes,
// flipped data. Level-0 and level-2 headers are supported with correct header
// checksums and CRC-16 values unless a member asks for them to be wrong.
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
  // Level 2 only: a UNIX mode extension (e.g. S_IFLNK | 0777).
  std::optional<uint16_t> unix_mode;
};

// CRC-16 as used by LHA (reflected polynomial 0xA001, initial value 0).
uint16_t Crc16(const std::string& bytes);

// Archive with level-0 headers; names go into the header as they are.
std::string BuildLevel0(const std::vector<Member>& members);

// Archive with level-2 headers; the whole name goes into the file name
// extension, so separators inside it are kept verbatim.
std::string BuildLevel2(const std::vector<Member>& members);

}  // namespace lhatest
