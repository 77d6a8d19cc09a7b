// The road layer's list files: sheet prefix + "_HA.txt", "_TO.txt" and
// "_YO.txt", holding the road lines that refer to an HA, TO or YO feature,
// each as read from the layer file and ended by CR LF, in layer order.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "sal/sal_record.h"

namespace quellmark {

class RoadListFiles {
 public:
  // Creates the three files empty (emptying earlier ones). Throws
  // OutputError.
  explicit RoadListFiles(const std::string& sheet_prefix);
  ~RoadListFiles();
  RoadListFiles(const RoadListFiles&) = delete;
  RoadListFiles& operator=(const RoadListFiles&) = delete;

  // Adds the line to each list whose reference the record carries. Throws
  // OutputError.
  void Add(const SalRecord& record, std::string_view raw_line);
  // Closes the HA, TO and YO files in that order. Throws OutputError.
  void Close();

 private:
  struct File {
    std::string path;
    std::FILE* stream = nullptr;
    void Open(std::string file_path);
    void WriteLine(std::string_view line);
    void Close();
  };
  File ha_;
  File to_;
  File yo_;
};

}  // namespace quellmark
