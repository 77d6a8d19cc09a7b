// Reading the command line that the program passes to Unlha().
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quellmark::unlha32 {

struct Command {
  // The archive's path, or its path without the ".lzh" extension.
  std::string archive;
  // The folder to extract into instead of the archive's own; ends with "/".
  std::optional<std::string> destination;
};

// Reads a command of one of the forms
//   " e -x1 NAME *.* -p2 -y1"
//   " e -x1 "ARCHIVE" "DEST/" *.* -p2 -y1"
// The command may be "e" or "x" (optionally with a leading '-'), any number of
// switches may precede the names, and the names run up to the last " *.*", so
// NAME may contain blanks; a NAME wrapped in double quotes loses the quotes.
// Two double-quoted names are the archive and the destination folder, which
// must end with "/". Returns nothing when the text has neither shape.
std::optional<Command> ParseCommand(std::string_view command_line);

}  // namespace quellmark::unlha32
