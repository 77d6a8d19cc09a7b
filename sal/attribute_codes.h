// The attribute code dictionary: two-character codes of the sr, jt, sb, yu
// and fi fields and their Japanese names (CP932 bytes).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quellmark {

// Replaces `name` with the code's name when the code is in the table (exact
// bytes, no trimming or case folding); leaves it as it was otherwise.
void DecodeAttributeCode(std::string_view code, std::string& name);

// The code's name, or the code itself when the table does not hold it: what
// the export tables show in the decoded-name fields.
std::string_view AttributeCodeName(std::string_view code);

std::size_t AttributeCodeCount();

}  // namespace quellmark
