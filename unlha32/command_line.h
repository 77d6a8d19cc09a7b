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
//   " e -x1 "NAME" *.* -p2 -y1"
//   " e -x1 "ARCHIVE" "DEST/" *.* -p2 -y1"
// The command may be "e" or "x" (optionally with a leading '-'), and any
// number of switches (words beginning with '-') may precede the names and
// follow the " *.*". A word in double quotes holds any bytes, a quote written
// twice; its closing quote is followed by a blank or the end. An unquoted
// NAME runs up to the last " *.*", blanks and all. The destination must end
// with "/". Returns nothing when the text has none of these shapes.
std::optional<Command> ParseCommand(std::string_view command_line);

}  // namespace quellmark::unlha32
