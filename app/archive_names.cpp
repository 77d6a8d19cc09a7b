#include "app/archive_names.h"

#include "sal/cp932.h"

namespace quellmark {

namespace {

constexpr std::string_view kFolderSeparators = "/\\:";

constexpr bool IsTrailValue(unsigned char c) {
  return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

}  // namespace

std::size_t LastDelimiterMbcs(std::string_view text, std::string_view delimiters) {
  std::size_t found = std::string_view::npos;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    // A lead byte pairs with the next byte only when that byte can be a
    // trail byte, so a UTF-8 path's "/" is never taken for one.
    if (IsLeadByte(c) && i + 1 < text.size() &&
        IsTrailValue(static_cast<unsigned char>(text[i + 1]))) {
      i += 2;
      continue;
    }
    if (delimiters.find(text[i]) != std::string_view::npos) found = i;
    ++i;
  }
  return found;
}

std::string ArchiveStem(std::string_view path) {
  const std::size_t dot = LastDelimiterMbcs(path, std::string("/\\:."));
  if (dot == std::string_view::npos || path[dot] != '.') return std::string(path);
  return std::string(path.substr(0, dot));
}

std::string BaseName(std::string_view stem) {
  const std::size_t sep = LastDelimiterMbcs(stem, kFolderSeparators);
  if (sep == std::string_view::npos) return std::string(stem);
  return std::string(stem.substr(sep + 1));
}

ArchiveNames DeriveArchiveNames(std::string_view archive_path, std::string_view output_dir) {
  ArchiveNames names;
  names.archive = archive_path;
  names.stem = ArchiveStem(archive_path);
  names.base_name = BaseName(names.stem);
  if (output_dir.empty()) {
    names.output_prefix = names.stem;
    names.output_folder = names.stem.substr(0, names.stem.size() - names.base_name.size());
  } else {
    names.output_folder = std::string(output_dir);
    if (names.output_folder.back() != '/') names.output_folder += '/';
    names.output_prefix = names.output_folder + names.base_name;
  }
  names.extraction_folder = names.output_prefix;
  names.sheet_prefix = names.extraction_folder + "/" + names.base_name;
  return names;
}

std::string ExtractionCommandLine(std::string_view archive) {
  std::string line = " e -x1 ";
  line += archive;
  line += " ";
  line += "*.* ";
  line += "-p2 -y1";
  return line;
}

std::string ExtractionCommandLine(std::string_view archive, std::string_view destination) {
  std::string line = " e -x1 \"";
  line += archive;
  line += "\" \"";
  line += destination;
  line += "\" *.* -p2 -y1";
  return line;
}

}  // namespace quellmark
