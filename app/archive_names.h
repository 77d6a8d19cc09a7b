// Names derived from one archive path: where it is extracted, where the
// layer set stands, and where the tables go.
#pragma once

#include <string>
#include <string_view>

namespace quellmark {

struct ArchiveNames {
  std::string archive;        // the path as listed
  std::string stem;           // the path without its extension
  std::string base_name;      // the file name without folder and extension
  std::string sheet_prefix;   // extraction folder + "/" + base name: where the layer set should be
  std::string output_prefix;  // every table is this + layer code + extension
  std::string output_folder;  // the output prefix's folder, with its "/" ("" for none)
  std::string extraction_folder;
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

// Beside the archive: the output prefix and the extraction folder are the
// stem. With an output folder, both are that folder + "/" + the base name.
ArchiveNames DeriveArchiveNames(std::string_view archive_path, std::string_view output_dir = {});

// The command line that has the archive library extract every member into
// the extraction folder: " e -x1 " + archive + " " + "*.* " + "-p2 -y1". The
// archive is named in full, so that the file named is the file extracted.
std::string ExtractionCommandLine(std::string_view archive);
// The command that extracts into `destination` (ending with "/") instead:
// " e -x1 \"" + archive + "\" \"" + destination + "\" *.* -p2 -y1".
std::string ExtractionCommandLine(std::string_view archive, std::string_view destination);

}  // namespace quellmark
