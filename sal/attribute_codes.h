// The attribute code dictionary: two-character codes of the sr, jt, sb, yu
// and fi fields and their Japanese names (CP932 bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quellmark {

// Replaces `name` with the code's name when the code is in the table (exact
// bytes, no trimming or case folding); leaves it as it was otherwise.
void DecodeAttributeCode(std::string_view code, std::string& name);

// The code's name, or the code itself when the table does not hold it: what
// the export tables show in the decoded-name fields.
std::string_view AttributeCodeName(std::string_view code);

std::size_t AttributeCodeCount();

// The kinds of code the dictionary holds, each the values of one field of
// one kind of feature.
enum class CodeFamily : std::uint8_t {
  kRoadState,       // 11, 12: in service, under construction (road jt)
  kRoadKind,        // 13 to 16, 1E: garden path ... expressway (road sb)
  kRoadWidth,       // 17 to 1B: width classes (road fi)
  kToll,            // 1C, 1D (road yu)
  kAdministration,  // 21 to 26: offices and districts
  kBoundary,        // 27 to 2C: boundary certainty and rank
  kRailwayState,    // 41, 42 (railway jt)
  kRailwayKind,     // 43 to 47 (railway sb)
  kWater,           // 50 to 59: water lines
  kControlPoint,    // 61 to 63
  kFacility,        // 81 to 88: public facilities
  kPlaceName,       // 91 to 93
};

// The codes of a family, in the dictionary's order.
std::span<const std::string_view> AttributeCodesOf(CodeFamily family);

// Every code of the dictionary, in its order.
std::vector<std::string_view> AttributeCodes();

}  // namespace quellmark
