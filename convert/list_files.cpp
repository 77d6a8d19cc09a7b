#include "convert/list_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "convert/staged_sheet.h"
#include "sal/errors.h"

namespace quellmark {

ListFileWriter::ListFileWriter(const std::string& sheet_prefix) {
  for (const LayerSpec& layer : Layers()) {
    if (layer.input != LayerInput::kListFile) continue;
    ListFile& file = files_.emplace_back();
    file.reference = layer.list_reference;
    file.path = ListFilePath(sheet_prefix, layer);
  }
  static std::atomic<unsigned> counter{0};
  for (ListFile& file : files_) {
    // Room for the pid and the count after ".tmp-".
    file.temporary = WorkingPath(file.path, ".tmp-", 18) + std::to_string(getpid()) + "-" +
                     std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
    const int fd =
        open(file.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      file.created = true;
      file.stream = fdopen(fd, "wb");
      if (file.stream == nullptr) close(fd);
    }
    if (file.stream == nullptr) {
      const int error = errno;
      Discard();
      throw OutputError(file.path, 0, "cannot create the list file: " + SystemMessage(error));
    }
  }
}

ListFileWriter::~ListFileWriter() {
  if (!completed_) Discard();
}

void ListFileWriter::Discard() {
  for (ListFile& file : files_) {
    if (file.stream != nullptr) std::fclose(file.stream);
    file.stream = nullptr;
    if (file.created) std::remove(file.temporary.c_str());
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
  for (ListFile& file : files_) {
    if (!FieldText(record, file.reference).empty()) Append(file, line);
  }
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
  for (ListFile& file : files_) {
    if (std::rename(file.temporary.c_str(), file.path.c_str()) != 0) {
      const int error = errno;
      Discard();
      throw OutputError(file.path, 0, "cannot replace the list file: " + SystemMessage(error));
    }
    file.created = false;
  }
  // Not flushed: the list files stand in the extraction folder, which
  // every run extracts and fills again; a flush here would make the
  // conversion wait on the disk halfway through a sheet for nothing kept.
  completed_ = true;
}

}  // namespace quellmark
