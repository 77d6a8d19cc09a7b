// The three list files of a sheet (sheet prefix + "_HA.txt", "_TO.txt" and
// "_YO.txt"): every road line that carries an HR, TR or YR reference, copied
// as read, for the HA, TO and YO layers.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "sal/sal_record.h"

namespace quellmark {

class ListFileWriter {
 public:
  // Starts the three files, each under a temporary name beside it. Throws
  // OutputError naming the file that cannot be created.
  explicit ListFileWriter(const std::string& sheet_prefix);
  // Unless Close() completed, removes the temporary files: a run that failed
  // leaves the earlier list files as they were.
  ~ListFileWriter();
  ListFileWriter(const ListFileWriter&) = delete;
  ListFileWriter& operator=(const ListFileWriter&) = delete;

  // Appends `line` and CR LF to each file whose reference `record` carries.
  void Copy(std::string_view line, const SalRecord& record);

  // Completes the three files, puts them on disk and in place of the
  // earlier ones, then puts their folder on disk. Throws OutputError when
  // one cannot be completed.
  void Close();

 private:
  struct ListFile {
    std::string path;
    std::string temporary;
    std::FILE* stream = nullptr;
    bool created = false;
  };
  void Append(ListFile& file, std::string_view line);
  void Discard();

  std::array<ListFile, 3> files_;  // HA, TO, YO
  bool completed_ = false;
};

}  // namespace quellmark
