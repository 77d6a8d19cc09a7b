// Names derived from one archive path: where it is extracted, where the
// layer set stands, and where the tables go.
#pragma once

#include <string>
#include <string_view>

namespace quellmark {

struct ArchiveNames {
  std::string archive;        // the path as listed
  std::string stem;           // the path without its extension; also the extraction folder
  std::string base_name;      // the file name without folder and extension
  std::string sheet_prefix;   // stem + "/" + base name: every layer-set file is this + suffix
  std::string output_prefix;  // the stem: every table is this + layer code + extension
};

// Position (0-based) of the last byte of `text` that is one of `delimiters`
// and starts a character, or npos. A byte that is the second byte of a
// Shift_JIS double-byte character is not a delimiter ("表" is 0x95 0x5C).
std::size_t LastDelimiterMbcs(std::string_view text, std::string_view delimiters);

// Everything before the last "." that follows the last folder separator
// ("/", "\" or ":"); the path unchanged when there is no such ".".
std::string ArchiveStem(std::string_view path);
// The stem's text after its last folder separator; the whole stem if none.
std::string BaseName(std::string_view stem);

ArchiveNames DeriveArchiveNames(std::string_view archive_path);

// The command line that has the archive library extract every member into
// the extraction folder: " e -x1 " + archive + " " + "*.* " + "-p2 -y1". The
// archive is named in full, so that the file named is the file extracted.
std::string ExtractionCommandLine(std::string_view archive);

}  // namespace quellmark
