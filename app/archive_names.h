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

// Folders are separated by "/" alone: "\" and ":" are bytes of a name on
// Linux, as in a\b.lzh, whose base name is a\b. The archive library finds
// the extraction folder by the same rule.

// Everything before the last "." that follows the last "/"; the path
// unchanged when there is no such ".".
std::string ArchiveStem(std::string_view path);
// The stem's text after its last "/"; the whole stem if none.
std::string BaseName(std::string_view stem);

// Beside the archive: the output prefix and the extraction folder are the
// stem. With an output folder, both are that folder + "/" + the base name.
ArchiveNames DeriveArchiveNames(std::string_view archive_path, std::string_view output_dir = {});

// The command line that has the archive library extract every member into
// the extraction folder: " e -x1 " + the archive quoted + " *.* -p2 -y1".
// The archive is named in full, so that the file named is the file
// extracted, and quoted (in double quotes, a quote in it written twice), so
// that the library reads back these very bytes: a name beginning with "-" is
// not taken for a switch, nor a quote or a blank in it for the end of it.
std::string ExtractionCommandLine(std::string_view archive);
// The command that extracts into `destination` (ending with "/") instead:
// " e -x1 " + the archive quoted + " " + the destination quoted + " *.* -p2 -y1".
std::string ExtractionCommandLine(std::string_view archive, std::string_view destination);

}  // namespace quellmark
