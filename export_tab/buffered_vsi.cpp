#include "export_tab/buffered_vsi.h"

#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>

#include "convert/buffered_file.h"
#include "sal/errors.h"

namespace quellmark {

namespace {

// The names given out are this prefix and an absolute path. GDAL keeps a
// pointer to the prefix it is given, so it must live as long as the program.
constexpr char kPrefixText[] = "/vsiquellmark/";
constexpr std::string_view kPrefix = kPrefixText;

// The local file of a name given out. GDAL hands the callbacks the whole
// name in some versions, the name without the prefix in others.
const char* LocalName(const char* name) {
  return std::string_view(name).starts_with(kPrefix) ? name + kPrefix.size() : name;
}

struct OpenFile {
  std::unique_ptr<BufferedFile> file;
  std::string path;
};

OpenFile* Handle(void* handle) { return static_cast<OpenFile*>(handle); }

void ReportWriteFailure(const OpenFile& open) {
  CPLError(CE_Failure, CPLE_FileIO, "cannot write %s: %s", open.path.c_str(),
           SystemMessage(open.file->error()).c_str());
}

int Stat(void*, const char* name, VSIStatBufL* status, int) {
  return ::stat64(LocalName(name), status);
}

int Unlink(void*, const char* name) { return ::unlink(LocalName(name)); }

int Rename(void*, const char* from, const char* to) {
  return std::rename(LocalName(from), LocalName(to));
}

int Mkdir(void*, const char* name, long mode) {
  return ::mkdir(LocalName(name), static_cast<mode_t>(mode));
}

int Rmdir(void*, const char* name) { return ::rmdir(LocalName(name)); }

char** ReadDir(void*, const char* name, int max_files) {
  DIR* dir = ::opendir(LocalName(name));
  if (dir == nullptr) return nullptr;
  CPLStringList entries;
  while (const dirent* entry = ::readdir(dir)) {
    if (max_files > 0 && entries.Count() >= max_files) break;
    entries.AddString(entry->d_name);
  }
  ::closedir(dir);
  return entries.StealList();
}

void* Open(void*, const char* name, const char* access) {
  std::string path = LocalName(name);
  std::unique_ptr<BufferedFile> file = BufferedFile::Open(path, access);
  if (!file) return nullptr;
  return new OpenFile{std::move(file), std::move(path)};
}

vsi_l_offset Tell(void* handle) { return Handle(handle)->file->Tell(); }

int Seek(void* handle, vsi_l_offset offset, int whence) {
  return Handle(handle)->file->Seek(static_cast<std::int64_t>(offset), whence) ? 0 : -1;
}

size_t Read(void* handle, void* data, size_t size, size_t count) {
  if (size == 0) return 0;
  return Handle(handle)->file->Read(data, size * count) / size;
}

int Eof(void* handle) { return Handle(handle)->file->AtEnd() ? 1 : 0; }

size_t Write(void* handle, const void* data, size_t size, size_t count) {
  if (size == 0) return 0;
  OpenFile& open = *Handle(handle);
  const std::size_t written = open.file->Write(data, size * count);
  if (written < size * count) ReportWriteFailure(open);
  return written / size;
}

// The driver flushes after every record and every block, which would cost a
// system call each. What a flush gives, that other readers of the file see
// what was written, nothing needs while a table is written (the driver reads
// its files back through the same handle, which sees the buffered bytes), so
// the bytes wait for the buffer to fill or the file to close.
int Flush(void* handle) { return Handle(handle)->file->error() == 0 ? 0 : -1; }

int Truncate(void* handle, vsi_l_offset size) {
  return Handle(handle)->file->Truncate(size) ? 0 : -1;
}

int Close(void* handle) {
  std::unique_ptr<OpenFile> open(Handle(handle));
  if (open->file->Close()) return 0;
  // The driver does not look at the result of closing its files; a write
  // that failed only now must still reach the caller.
  ReportWriteFailure(*open);
  return -1;
}

void InstallOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    // GDAL keeps its own copy of the callbacks.
    VSIFilesystemPluginCallbacksStruct* callbacks = VSIAllocFilesystemPluginCallbacksStruct();
    callbacks->stat = &Stat;
    callbacks->unlink = &Unlink;
    callbacks->rename = &Rename;
    callbacks->mkdir = &Mkdir;
    callbacks->rmdir = &Rmdir;
    callbacks->read_dir = &ReadDir;
    callbacks->open = &Open;
    callbacks->tell = &Tell;
    callbacks->seek = &Seek;
    callbacks->read = &Read;
    callbacks->eof = &Eof;
    callbacks->write = &Write;
    callbacks->flush = &Flush;
    callbacks->truncate = &Truncate;
    callbacks->close = &Close;
    VSIInstallPluginHandler(kPrefixText, callbacks);
    VSIFreeFilesystemPluginCallbacksStruct(callbacks);
  });
}

}  // namespace

std::string BufferedGdalName(const std::string& path) {
  InstallOnce();
  return std::string(kPrefix) + std::filesystem::absolute(path).string();
}

std::string LocalFileNames(std::string text) {
  for (std::size_t at = text.find(kPrefix); at != std::string::npos; at = text.find(kPrefix, at)) {
    text.erase(at, kPrefix.size());
  }
  return text;
}

}  // namespace quellmark
