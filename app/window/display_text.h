// Byte strings of the conversion side as window text, and back.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace quellmark {

// CP932 text (notices, map text).
QString FromCp932(std::string_view bytes);

// A path as the file system spells it.
QString FromPathBytes(std::string_view bytes);
std::string ToPathBytes(const QString& path);

// An error message: paths in the file system's encoding mixed with the
// conversion's own words, which may quote CP932 map text. Read as the file
// system's encoding when it is valid there, else as CP932.
QString FromMessageBytes(std::string_view bytes);

}  // namespace quellmark
