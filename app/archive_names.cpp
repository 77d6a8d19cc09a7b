#include "app/archive_names.h"

namespace quellmark {

namespace {

// `path` as one word of the archive library's command line: in double
// quotes, each quote in it written twice, so that the library reads back
// exactly these bytes (unlha32.h).
std::string Quoted(std::string_view path) {
  std::string word = "\"";
  for (const char c : path) {
    word += c;
    if (c == '"') word += c;
  }
  word += '"';
  return word;
}

}  // namespace

std::string ArchiveStem(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
    return std::string(path);
  }
  return std::string(path.substr(0, dot));
}

std::string BaseName(std::string_view stem) {
  const std::size_t slash = stem.rfind('/');
  return std::string(slash == std::string_view::npos ? stem : stem.substr(slash + 1));
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
  return " e -x1 " + Quoted(archive) + " *.* -p2 -y1";
}

std::string ExtractionCommandLine(std::string_view archive, std::string_view destination) {
  return " e -x1 " + Quoted(archive) + " " + Quoted(destination) + " *.* -p2 -y1";
}

}  // namespace quellmark
