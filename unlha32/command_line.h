// Reading the command line that the program passes to Unlha().
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quellmark::unlha32 {

// Returns the archive stem of a command of the form
//   " e -x1 STEM *.* -p2 -y1"
// The command may be "e" or "x" (optionally with a leading '-'), any number of
// switches may precede the stem, and the stem runs up to the last " *.*", so
// it may contain blanks. A stem wrapped in double quotes loses the quotes.
// Returns nothing when the text does not have that shape.
std::optional<std::string> ParseArchiveStem(std::string_view command_line);

}  // namespace quellmark::unlha32
