#include "convert/list_files.h"

#include <cerrno>

#include "sal/errors.h"

namespace quellmark {

ListFileWriter::ListFileWriter(const std::string& sheet_prefix) {
  files_[0].path = sheet_prefix + "_HA.txt";
  files_[1].path = sheet_prefix + "_TO.txt";
  files_[2].path = sheet_prefix + "_YO.txt";
  for (ListFile& file : files_) {
    file.stream = std::fopen(file.path.c_str(), "wb");
    if (file.stream == nullptr) {
      const int error = errno;
      Discard();
      throw OutputError(file.path, 0, "cannot create the list file: " + SystemMessage(error));
    }
    file.created = true;
  }
}

ListFileWriter::~ListFileWriter() {
  if (!completed_) Discard();
}

void ListFileWriter::Discard() {
  for (ListFile& file : files_) {
    if (file.stream != nullptr) std::fclose(file.stream);
    file.stream = nullptr;
    if (file.created) std::remove(file.path.c_str());
    file.created = false;
  }
}

void ListFileWriter::Append(ListFile& file, std::string_view line) {
  if (std::fwrite(line.data(), 1, line.size(), file.stream) != line.size() ||
      std::fwrite("\r\n", 1, 2, file.stream) != 2) {
    throw OutputError(file.path, 0, "cannot write the list file: " + SystemMessage(errno));
  }
}

void ListFileWriter::Copy(std::string_view line, const SalRecord& record) {
  if (!record.hrir.empty()) Append(files_[0], line);
  if (!record.trir.empty()) Append(files_[1], line);
  if (!record.yrir.empty()) Append(files_[2], line);
}

void ListFileWriter::Close() {
  for (ListFile& file : files_) {
    std::FILE* stream = file.stream;
    file.stream = nullptr;
    if (std::fclose(stream) != 0) {
      const int error = errno;
      Discard();
      throw OutputError(file.path, 0, "cannot write the list file: " + SystemMessage(error));
    }
  }
  completed_ = true;
}

}  // namespace quellmark
