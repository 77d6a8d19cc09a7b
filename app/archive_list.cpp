#include "app/archive_list.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace quellmark {

namespace {

bool IsArchiveName(const std::string& name) {
  if (name.size() < 4) return false;
  std::string extension = name.substr(name.size() - 4);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return extension == ".lzh";
}

}  // namespace

std::vector<std::string> ArchivesUnder(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::is_directory(path, error)) return {path};
  std::vector<std::string> archives;
  for (fs::recursive_directory_iterator
           it(path, fs::directory_options::skip_permission_denied, error),
       end;
       !error && it != end; it.increment(error)) {
    if (it->is_regular_file(error) && IsArchiveName(it->path().filename().string())) {
      archives.push_back(it->path().string());
    }
  }
  std::sort(archives.begin(), archives.end());
  return archives;
}

}  // namespace quellmark
