// The list files of a sheet, one per list layer of the catalogue (HA, TO,
// YO: sheet prefix + "_HA.txt" ...): every road line that carries the
// layer's reference (HR, TR, YR), copied as read.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "layers/catalogue.h"
#include "sal/sal_record.h"

namespace quellmark {

class ListFileWriter {
 public:
  // Starts the files, each under a temporary name beside it. Throws
  // OutputError naming the file that cannot be created.
  explicit ListFileWriter(const std::string& sheet_prefix);
  // Unless Close() completed, removes the temporary files: a run that failed
  // leaves the earlier list files as they were.
  ~ListFileWriter();
  ListFileWriter(const ListFileWriter&) = delete;
  ListFileWriter& operator=(const ListFileWriter&) = delete;

  // Appends `line` and CR LF to each file whose reference `record` carries.
  void Copy(std::string_view line, const SalRecord& record);

  // Completes the files, puts them on disk and in place of the
  // earlier ones, then puts their folder on disk. Throws OutputError when
  // one cannot be completed.
  void Close();

 private:
  struct ListFile {
    RecordField reference;
    std::string path;
    std::string temporary;
    std::FILE* stream = nullptr;
    bool created = false;
  };
  void Append(ListFile& file, std::string_view line);
  void Discard();

  std::vector<ListFile> files_;  // in catalogue order
  bool completed_ = false;
};

}  // namespace quellmark
