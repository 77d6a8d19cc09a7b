#include "sal/layer_set.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace quellmark {

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lower;
}

}  // namespace

LayerSet LayerSet::AtPrefix(std::string prefix) {
  LayerSet set;
  const std::size_t slash = prefix.rfind('/');
  set.name_ = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
  set.prefix_ = std::move(prefix);
  return set;
}

std::string LayerSet::Path(std::string_view suffix) const {
  const auto found = files_.find(Lower(suffix));
  return found != files_.end() ? found->second : prefix_ + std::string(suffix);
}

std::vector<LayerSet> FindLayerSets(const std::string& folder, const std::string& name) {
  std::error_code error;
  // Every ".slm" below the folder, the one at the top named `name` first.
  std::vector<fs::path> headers;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    const std::string file = it->path().filename().string();
    if (file.size() > 4 && Lower(file.substr(file.size() - 4)) == ".slm" &&
        it->is_regular_file(error)) {
      headers.push_back(it->path());
    }
  }
  std::sort(headers.begin(), headers.end());
  const std::string expected = Lower(name + ".slm");
  for (const fs::path& header : headers) {
    if (header.parent_path() == fs::path(folder) && Lower(header.filename().string()) == expected) {
      headers = {header};
      break;
    }
  }

  std::vector<LayerSet> sets;
  for (const fs::path& header : headers) {
    LayerSet set;
    const std::string file = header.filename().string();
    set.name_ = file.substr(0, file.size() - 4);
    set.prefix_ = (header.parent_path() / set.name_).string();
    const std::string lower_name = Lower(set.name_);
    for (const auto& entry : fs::directory_iterator(header.parent_path(), error)) {
      const std::string member = entry.path().filename().string();
      if (member.size() > lower_name.size() &&
          Lower(member.substr(0, lower_name.size())) == lower_name) {
        set.files_.emplace(Lower(member.substr(lower_name.size())), entry.path().string());
      }
    }
    sets.push_back(std::move(set));
  }
  return sets;
}

}  // namespace quellmark
