// The files of one sheet's layer set as they stand on disk: the header
// (".slm"), the point files (".slp", "MH.slp") and the layer files
// (CODE + ".sal"), all named after the sheet, found whatever the letter case
// of their names.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quellmark {

class LayerSet {
 public:
  // The layer set whose files are exactly `prefix` + suffix.
  static LayerSet AtPrefix(std::string prefix);

  // The sheet's name: what its files are named after ("28204").
  const std::string& name() const { return name_; }
  // The folder holding it + "/" + its name: where the sheet's own working
  // files (the list files) go.
  const std::string& prefix() const { return prefix_; }
  // The path of the file prefix + `suffix` (".slm", "CM.sal", "MH.slp"),
  // found without regard to letter case; prefix + suffix when there is none.
  std::string Path(std::string_view suffix) const;

 private:
  friend std::vector<LayerSet> FindLayerSets(const std::string&, const std::string&);
  std::string name_;
  std::string prefix_;
  std::map<std::string, std::string> files_;  // lower-case suffix -> path
};

// The layer sets in `folder`: the one named `name` when its ".slm" stands at
// the top (in any letter case); otherwise one for every ".slm" at any depth,
// in path order, each named by its ".slm". Empty when there is no ".slm".
std::vector<LayerSet> FindLayerSets(const std::string& folder, const std::string& name);

}  // namespace quellmark
