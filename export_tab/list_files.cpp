#include "export_tab/list_files.h"

#include <cerrno>

#include "sal/errors.h"

namespace quellmark {

void RoadListFiles::File::Open(std::string file_path) {
  path = std::move(file_path);
  stream = std::fopen(path.c_str(), "wb");
  if (stream == nullptr) throw OutputError(path, 0, "cannot create: " + SystemMessage(errno));
}

void RoadListFiles::File::WriteLine(std::string_view line) {
  if (std::fwrite(line.data(), 1, line.size(), stream) != line.size() ||
      std::fwrite("\r\n", 1, 2, stream) != 2) {
    throw OutputError(path, 0, "cannot write: " + SystemMessage(errno));
  }
}

void RoadListFiles::File::Close() {
  if (stream == nullptr) return;
  std::FILE* closing = stream;
  stream = nullptr;
  if (std::fclose(closing) != 0)
    throw OutputError(path, 0, "cannot write: " + SystemMessage(errno));
}

RoadListFiles::RoadListFiles(const std::string& sheet_prefix) {
  try {
    ha_.Open(sheet_prefix + "_HA.txt");
    to_.Open(sheet_prefix + "_TO.txt");
    yo_.Open(sheet_prefix + "_YO.txt");
  } catch (...) {
    for (File* file : {&ha_, &to_, &yo_}) {
      if (file->stream != nullptr) std::fclose(file->stream);
    }
    throw;
  }
}

RoadListFiles::~RoadListFiles() {
  for (File* file : {&ha_, &to_, &yo_}) {
    if (file->stream != nullptr) std::fclose(file->stream);
  }
}

void RoadListFiles::Add(const SalRecord& record, std::string_view raw_line) {
  if (!record.hrir.empty()) ha_.WriteLine(raw_line);
  if (!record.trir.empty()) to_.WriteLine(raw_line);
  if (!record.yrir.empty()) yo_.WriteLine(raw_line);
}

void RoadListFiles::Close() {
  ha_.Close();
  to_.Close();
  yo_.Close();
}

}  // namespace quellmark
