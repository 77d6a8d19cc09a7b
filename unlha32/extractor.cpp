#include "extractor.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "member_path.h"
#include "unlha32.h"

namespace quellmark::unlha32 {
namespace {

// No file of a map sheet comes anywhere near this; a larger size is a forged
// or damaged header.
constexpr int64_t kMaxMemberSize = int64_t{1} << 30;

constexpr const char* kTempPrefix = ".unlha32-";

struct Failure {
  int code;
  std::string message;
};
using Status = std::optional<Failure>;  // empty means success

Failure SystemFailure(int code, const std::string& what, int error) {
  char buffer[128];
  return Failure{code, what + ": " + strerror_r(error, buffer, sizeof buffer)};  // GNU variant
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor and reports the error close() gave, if any.
  int Close() {
    int error = 0;
    if (fd_ >= 0 && ::close(fd_) != 0) error = errno;
    fd_ = -1;
    return error;
  }

 private:
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_;
};

// Makes this thread read and write multibyte text as UTF-8 while it is alive,
// whatever the process locale is. libarchive converts Shift_JIS member names
// into the current locale's character set.
class Utf8LocaleScope {
 public:
  Utf8LocaleScope() {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      locale_ = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0));
      if (locale_ != static_cast<locale_t>(0)) break;
    }
    if (locale_ != static_cast<locale_t>(0)) previous_ = uselocale(locale_);
  }
  ~Utf8LocaleScope() {
    if (locale_ != static_cast<locale_t>(0)) {
      uselocale(previous_);
      freelocale(locale_);
    }
  }
  Utf8LocaleScope(const Utf8LocaleScope&) = delete;
  Utf8LocaleScope& operator=(const Utf8LocaleScope&) = delete;

 private:
  locale_t locale_ = static_cast<locale_t>(0);
  locale_t previous_ = static_cast<locale_t>(0);
};

class ArchiveReader {
 public:
  ArchiveReader() : archive_(archive_read_new()) {}
  ~ArchiveReader() {
    if (archive_ != nullptr) archive_read_free(archive_);
  }
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  archive* get() const { return archive_; }
  std::string Error() const {
    const char* text = archive_ != nullptr ? archive_error_string(archive_) : nullptr;
    return text != nullptr ? text : "unknown archive error";
  }

 private:
  archive* archive_;
};

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Creates the extraction folder and any missing parents, like mkdir -p.
Status MakeFolders(const std::string& path) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string prefix = path.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot create folder " + prefix, errno);
    }
  }
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
    return SystemFailure(UNLHA32_ERROR_WRITE, "cannot create folder " + path, errno);
  }
  return std::nullopt;
}

// Opens (creating when missing) the folder parts[0]/.../parts[count-1] below
// root. Links are never followed: a link where a folder should be is an error.
Status OpenSubfolder(int root, const std::vector<std::string>& parts, size_t count,
                     FileDescriptor& folder) {
  FileDescriptor current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
  if (!current.valid()) return SystemFailure(UNLHA32_ERROR_WRITE, "cannot open folder", errno);
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  for (size_t i = 0; i < count; ++i) {
    const char* name = parts[i].c_str();
    int fd = ::openat(current.get(), name, kFlags);
    if (fd < 0 && errno == ENOENT) {
      if (::mkdirat(current.get(), name, 0777) != 0 && errno != EEXIST) {
        return SystemFailure(UNLHA32_ERROR_WRITE, "cannot create folder " + parts[i], errno);
      }
      fd = ::openat(current.get(), name, kFlags);
    }
    if (fd < 0) {
      if (errno == ELOOP || errno == ENOTDIR) {
        return Failure{UNLHA32_ERROR_UNSAFE, parts[i] + " exists and is not a folder"};
      }
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot open folder " + parts[i], errno);
    }
    current = FileDescriptor(fd);
  }
  folder = std::move(current);
  return std::nullopt;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

class Extraction {
 public:
  explicit Extraction(std::string stem) : stem_(std::move(stem)), random_(std::random_device{}()) {}

  ExtractionResult Run() {
    ExtractionResult result;
    if (Status failure = RunSteps()) {
      result.code = failure->code;
      result.report = (archive_path_.empty() ? stem_ : archive_path_) + ": " + failure->message;
      if (files_ > 0) {
        result.report += " (" + std::to_string(files_) + " member(s) extracted before this)";
      }
    } else {
      result.code = UNLHA32_OK;
      result.report = archive_path_ + ": extracted " + std::to_string(files_) + " file(s) into " +
                      stem_ + "/" + listing_;
    }
    return result;
  }

 private:
  Status RunSteps() {
    for (const char* extension : {".lzh", ".LZH"}) {
      if (PathExists(stem_ + extension)) {
        archive_path_ = stem_ + extension;
        break;
      }
    }
    if (archive_path_.empty()) {
      archive_path_ = stem_ + ".lzh";
      return Failure{UNLHA32_ERROR_NOT_FOUND, "archive not found (nor " + stem_ + ".LZH)"};
    }
    if (Status failure = MakeFolders(stem_)) return failure;
    root_ = FileDescriptor(::open(stem_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_.valid()) {
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot open folder " + stem_, errno);
    }

    ArchiveReader reader;
    archive* a = reader.get();
    if (a == nullptr) return Failure{UNLHA32_ERROR_INTERNAL, "out of memory"};
    if (archive_read_support_format_lha(a) != ARCHIVE_OK ||
        archive_read_set_options(a, "lha:hdrcharset=CP932") != ARCHIVE_OK) {
      return Failure{UNLHA32_ERROR_INTERNAL, "cannot set up the LHA reader: " + reader.Error()};
    }
    if (archive_read_open_filename(a, archive_path_.c_str(), 64 * 1024) != ARCHIVE_OK) {
      return Failure{UNLHA32_ERROR_ARCHIVE, "cannot read archive: " + reader.Error()};
    }

    for (;;) {
      archive_entry* entry = nullptr;
      const int r = archive_read_next_header(a, &entry);
      if (r == ARCHIVE_EOF) break;
      if (r != ARCHIVE_OK) {
        return Failure{UNLHA32_ERROR_ARCHIVE, "bad member header: " + reader.Error()};
      }
      const char* name = archive_entry_pathname(entry);
      current_ = name != nullptr ? name : "?";
      if (Status failure = ExtractEntry(a, entry)) {
        failure->message = "member " + current_ + ": " + failure->message;
        return failure;
      }
    }
    if (archive_read_close(a) != ARCHIVE_OK) {
      return Failure{UNLHA32_ERROR_ARCHIVE, "error at end of archive: " + reader.Error()};
    }
    return std::nullopt;
  }

  Status ExtractEntry(archive* a, archive_entry* entry) {
    if (archive_entry_pathname(entry) == nullptr) {
      return Failure{UNLHA32_ERROR_ARCHIVE, "member name cannot be read"};
    }
    const MemberPath path = SplitMemberPath(current_);
    if (!path.refusal.empty()) return Failure{UNLHA32_ERROR_UNSAFE, path.refusal};

    if (archive_entry_symlink(entry) != nullptr || archive_entry_hardlink(entry) != nullptr) {
      return Failure{UNLHA32_ERROR_UNSAFE, "links are not extracted"};
    }
    switch (archive_entry_filetype(entry)) {
      case AE_IFDIR: {
        FileDescriptor folder;
        return OpenSubfolder(root_.get(), path.parts, path.parts.size(), folder);
      }
      case AE_IFREG:
        break;
      default:
        return Failure{UNLHA32_ERROR_UNSAFE, "special files are not extracted"};
    }

    if (path.parts.empty()) return Failure{UNLHA32_ERROR_UNSAFE, "file member without a name"};
    const bool size_known = archive_entry_size_is_set(entry) != 0;
    const int64_t declared = archive_entry_size(entry);
    if (size_known && (declared < 0 || declared > kMaxMemberSize)) {
      return Failure{UNLHA32_ERROR_UNSAFE,
                     "claims " + std::to_string(declared) + " bytes, more than is accepted"};
    }

    FileDescriptor folder;
    if (Status failure = OpenSubfolder(root_.get(), path.parts, path.parts.size() - 1, folder)) {
      return failure;
    }
    if (Status failure =
            WriteFile(a, entry, folder.get(), path.parts.back(), size_known, declared)) {
      return failure;
    }
    ++files_;
    listing_ += "\n  " + current_;
    return std::nullopt;
  }

  // Writes the member's data to a fresh temporary file next to its final
  // name and renames it into place only after libarchive has delivered all
  // data and the CRC check has passed.
  Status WriteFile(archive* a, archive_entry* entry, int folder, const std::string& leaf,
                   bool size_known, int64_t declared) {
    std::string temp_name;
    FileDescriptor out;
    for (int attempt = 0; attempt < 100 && !out.valid(); ++attempt) {
      char suffix[24];
      std::snprintf(suffix, sizeof suffix, "%016llx.tmp",
                    static_cast<unsigned long long>(random_()));
      temp_name = std::string(kTempPrefix) + suffix;
      const int fd = ::openat(folder, temp_name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd < 0 && errno != EEXIST) {
        return SystemFailure(UNLHA32_ERROR_WRITE, "cannot create a temporary file", errno);
      }
      out = FileDescriptor(fd);
    }
    if (!out.valid()) return Failure{UNLHA32_ERROR_WRITE, "no free temporary file name"};

    struct TempRemover {
      int folder;
      const std::string& name;
      bool keep = false;
      ~TempRemover() {
        if (!keep) ::unlinkat(folder, name.c_str(), 0);
      }
    } remover{folder, temp_name};

    int64_t written = 0;
    for (;;) {
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      const int r = archive_read_data_block(a, &block, &size, &offset);
      if (r == ARCHIVE_EOF) break;
      if (r != ARCHIVE_OK) {
        return Failure{UNLHA32_ERROR_ARCHIVE, archive_error_string(a) != nullptr
                                                  ? archive_error_string(a)
                                                  : "data cannot be read"};
      }
      if (offset != written) return Failure{UNLHA32_ERROR_ARCHIVE, "data out of sequence"};
      if (written + static_cast<int64_t>(size) > kMaxMemberSize) {
        return Failure{UNLHA32_ERROR_UNSAFE, "more data than is accepted"};
      }
      if (!WriteAll(out.get(), static_cast<const char*>(block), size)) {
        return SystemFailure(UNLHA32_ERROR_WRITE, "cannot write", errno);
      }
      written += static_cast<int64_t>(size);
    }
    if (size_known && written != declared) {
      return Failure{
          UNLHA32_ERROR_ARCHIVE,
          std::to_string(written) + " bytes of data, header says " + std::to_string(declared)};
    }
    if (archive_entry_mtime_is_set(entry)) {
      const struct timespec times[2] = {
          {0, UTIME_OMIT}, {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}};
      ::futimens(out.get(), times);  // a missing time stamp is no reason to fail
    }
    if (const int error = out.Close())
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot write", error);
    if (::renameat(folder, temp_name.c_str(), folder, leaf.c_str()) != 0) {
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot put file in place", errno);
    }
    remover.keep = true;
    return std::nullopt;
  }

  const std::string stem_;
  std::mt19937_64 random_;
  std::string archive_path_;
  FileDescriptor root_;
  std::string current_;
  std::string listing_;
  int files_ = 0;
};

}  // namespace

ExtractionResult ExtractArchive(const std::string& stem) {
  Utf8LocaleScope utf8;
  return Extraction(stem).Run();
}

void WriteReport(const std::string& text, char* output, uint32_t output_size) {
  if (output == nullptr || output_size == 0) return;
  size_t length = text.size();
  if (length > output_size - 1) {
    length = output_size - 1;
    // Do not leave half a UTF-8 sequence at the end.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(output, text.data(), length);
  output[length] = '\0';
}

}  // namespace quellmark::unlha32
