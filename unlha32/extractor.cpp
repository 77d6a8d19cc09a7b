#include "extractor.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "folder_tree.h"
#include "member_header.h"
#include "member_path.h"
#include "unlha32.h"

namespace quellmark::unlha32 {
namespace {

// No file of a map sheet comes anywhere near this; a larger size is a forged
// or damaged header.
constexpr int64_t kMaxMemberSize = int64_t{1} << 30;

// All members together may hold at most kMaxExpansion times the archive's
// size, and never more than kMaxTotalSize. Map data packs to a fifth or so
// of its size; a small archive that unpacks to far more is a bomb.
constexpr int64_t kMaxTotalSize = int64_t{4} << 30;
constexpr int64_t kMaxExpansion = 1000;

// Staging folders are named ".FOLDER.unlha32-PID-RANDOM" beside FOLDER, with
// FOLDER cut to this many bytes so that the name stays a valid one.
constexpr size_t kMaxFolderNameInStaging = 200;
constexpr const char* kStagingMark = ".unlha32-";

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

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

// libarchive fills the CRC table of its LHA reader on the first header read
// in the process and marks it filled before filling it, without a lock: two
// archives extracted side by side (--jobs) at the start of a run could check
// a header against a table half made ("LHa header CRC error"). The first
// header reads take turns until one has read a header, which has filled the
// table; every later read goes straight through.
int ReadNextHeader(archive* a, archive_entry** entry) {
  static std::atomic<bool> table_filled{false};
  if (table_filled.load(std::memory_order_acquire)) return archive_read_next_header(a, entry);
  static std::mutex first_reads;
  const std::lock_guard lock(first_reads);
  const int r = archive_read_next_header(a, entry);
  if (r == ARCHIVE_OK || r == ARCHIVE_WARN) table_filled.store(true, std::memory_order_release);
  return r;
}

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

// The longest start of text of at most `size` bytes that does not end inside
// a UTF-8 sequence.
size_t Utf8Cut(const std::string& text, size_t size) {
  if (text.size() <= size) return text.size();
  while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
  return size;
}

// A folder's path, the folder that holds it and its name there.
struct FolderPath {
  std::string path;
  std::string parent;
  std::string name;
};

// Splits a folder path without a trailing '/'; nothing when the last part is
// not a name of its own ("", "." or "..").
std::optional<FolderPath> SplitFolderPath(const std::string& path) {
  FolderPath folder{path, ".", path};
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) {
    folder.parent = slash == 0 ? "/" : path.substr(0, slash);
    folder.name = path.substr(slash + 1);
  }
  if (folder.name.empty() || folder.name == "." || folder.name == "..") return std::nullopt;
  return folder;
}

bool ProcessIsGone(pid_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }

// The process id in a staging folder's name after its prefix ("PID-" and 16
// hex digits), or 0 when the rest is not of that form.
pid_t StagingOwner(std::string_view rest) {
  const size_t dash = rest.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 9 || rest.size() != dash + 17) {
    return 0;
  }
  pid_t pid = 0;
  for (size_t i = 0; i < dash; ++i) {
    if (rest[i] < '0' || rest[i] > '9') return 0;
    pid = pid * 10 + (rest[i] - '0');
  }
  for (size_t i = dash + 1; i < rest.size(); ++i) {
    const char c = rest[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
  }
  return pid;
}

// Removes the staging folders of extractions into the same folder whose
// process has ended without removing them (it was killed).
void RemoveDeadStagingFolders(int parent, const std::string& prefix) {
  std::vector<std::string> dead;
  const int copy = ::openat(parent, ".", kFolderFlags);
  if (copy < 0) return;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const pid_t owner = StagingOwner(name.substr(prefix.size()));
    struct stat st;
    if (owner > 0 && ProcessIsGone(owner) &&
        ::fstatat(parent, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
      dead.emplace_back(name);
    }
  }
  ::closedir(dir);
  for (const std::string& name : dead) RemoveTree(parent, name);
}

// Whether the folder `folder` (its device and inode) holds the file at `path`,
// however deep.
bool FolderHolds(const struct stat& folder, const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string holder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  FileDescriptor current(::open(holder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  while (current.valid() && ::fstat(current.get(), &st) == 0) {
    if (st.st_dev == folder.st_dev && st.st_ino == folder.st_ino) return true;
    FileDescriptor up(::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat above;
    if (!up.valid() || ::fstat(up.get(), &above) != 0) break;
    if (above.st_dev == st.st_dev && above.st_ino == st.st_ino) break;  // the root
    current = std::move(up);
  }
  return false;
}

// Opens (creating when missing) the folder parts[0]/.../parts[count-1] below
// root. Links are never followed: a link where a folder should be is an error.
Status OpenSubfolder(int root, const std::vector<std::string>& parts, size_t count,
                     FileDescriptor& folder) {
  FileDescriptor current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
  if (!current.valid()) return SystemFailure(UNLHA32_ERROR_WRITE, "cannot open folder", errno);
  for (size_t i = 0; i < count; ++i) {
    const char* name = parts[i].c_str();
    int fd = ::openat(current.get(), name, kFolderFlags);
    if (fd < 0 && errno == ENOENT) {
      if (::mkdirat(current.get(), name, 0777) != 0 && errno != EEXIST) {
        return SystemFailure(UNLHA32_ERROR_WRITE, "cannot create folder " + parts[i], errno);
      }
      fd = ::openat(current.get(), name, kFolderFlags);
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

// A device, FIFO or socket that a member header declares, or nothing.
std::optional<std::string> SpecialFileKind(uint16_t mode) {
  switch (mode & S_IFMT) {
    case 0:  // permission bits only
    case S_IFREG:
    case S_IFDIR:
    case S_IFLNK:  // libarchive reports these itself
      return std::nullopt;
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFIFO:
      return "a FIFO";
    case S_IFSOCK:
      return "a socket";
    default: {
      char text[48];
      std::snprintf(text, sizeof text, "a special file (mode %06o)", static_cast<unsigned>(mode));
      return text;
    }
  }
}

class Extraction {
 public:
  explicit Extraction(const Command& command)
      : command_(command), random_(std::random_device{}()) {}

  ExtractionResult Run() {
    ExtractionResult result;
    Status failure = RunSteps();
    // The staging folder of a failed run, or the earlier folder after a swap.
    const int removal_error = staging_.empty() ? 0 : RemoveTree(parent_.get(), staging_);
    if (failure) {
      result.code = failure->code;
      result.report =
          (archive_path_.empty() ? command_.archive : archive_path_) + ": " + failure->message;
      if (staging_made_) {
        result.report += folder_existed_ ? " (" + folder_.path + "/ is left as it was)"
                                         : " (nothing was extracted)";
      }
    } else {
      result.code = UNLHA32_OK;
      result.report = archive_path_ + ": extracted " + std::to_string(files_) + " file(s) into " +
                      folder_.path + "/" + listing_;
      if (removal_error != 0) {
        result.report += "\n" + SystemFailure(0,
                                              "the earlier folder, now " + folder_.parent + "/" +
                                                  staging_ + ", was not removed whole",
                                              removal_error)
                                    .message;
      }
    }
    return result;
  }

 private:
  Status RunSteps() {
    if (Status failure = OpenArchive()) return failure;
    if (Status failure = FindFolder()) return failure;
    if (Status failure = MakeStagingFolder()) return failure;
    if (Status failure = ReadMembers()) return failure;
    return PutInPlace();
  }

  // The archive is the name given when that is a file, else the name with
  // ".lzh" added; nothing else is tried.
  Status OpenArchive() {
    const std::string& name = command_.archive;
    struct stat st;
    if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      archive_path_ = name;
    } else {
      const std::string with_extension = name + ".lzh";
      if (::stat(with_extension.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return Failure{UNLHA32_ERROR_NOT_FOUND,
                       "archive not found: neither it nor " + with_extension + " is a file"};
      }
      archive_path_ = with_extension;
    }
    archive_fd_ = FileDescriptor(::open(archive_path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!archive_fd_.valid() || ::fstat(archive_fd_.get(), &st) != 0) {
      return SystemFailure(UNLHA32_ERROR_ARCHIVE, "cannot open archive", errno);
    }
    if (!S_ISREG(st.st_mode)) return Failure{UNLHA32_ERROR_NOT_FOUND, "archive is not a file"};
    archive_size_ = st.st_size;
    size_limit_ = archive_size_ >= kMaxTotalSize / kMaxExpansion ? kMaxTotalSize
                                                                 : archive_size_ * kMaxExpansion;
    return std::nullopt;
  }

  // The destination, else the archive's path without its extension.
  Status FindFolder() {
    std::optional<FolderPath> folder;
    if (command_.destination) {
      std::string path = *command_.destination;
      while (!path.empty() && path.back() == '/') path.pop_back();
      folder = SplitFolderPath(path);
      if (!folder) {
        return Failure{UNLHA32_ERROR_COMMAND, "the destination " + *command_.destination +
                                                  " does not name a folder of its own"};
      }
    } else {
      const size_t slash = archive_path_.rfind('/');
      const size_t dot = archive_path_.rfind('.');
      if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        folder = SplitFolderPath(archive_path_.substr(0, dot));
      }
      if (!folder) {
        return Failure{UNLHA32_ERROR_COMMAND,
                       "the archive's name has no extension, so it has no folder of its own to "
                       "extract into beside it; give a destination folder"};
      }
    }
    folder_ = std::move(*folder);

    parent_ = FileDescriptor(::open(folder_.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent_.valid()) {
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot open the folder " + folder_.parent, errno);
    }
    struct stat st;
    if (::fstatat(parent_.get(), folder_.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        return Failure{UNLHA32_ERROR_WRITE,
                       folder_.path + " exists and is not a folder (a link or a file): left alone"};
      }
      if (FolderHolds(st, archive_path_)) {
        return Failure{UNLHA32_ERROR_COMMAND, "the archive lies inside " + folder_.path +
                                                  ", which extraction would replace"};
      }
      folder_existed_ = true;
    } else if (errno != ENOENT) {
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot look at " + folder_.path, errno);
    }
    return std::nullopt;
  }

  // Clears what killed extractions into the same folder left, and makes a
  // fresh staging folder beside it.
  Status MakeStagingFolder() {
    staging_prefix_ =
        "." + folder_.name.substr(0, Utf8Cut(folder_.name, kMaxFolderNameInStaging)) + kStagingMark;
    RemoveDeadStagingFolders(parent_.get(), staging_prefix_);
    if (folder_existed_) RemoveOldTemporaryFiles(parent_.get(), folder_.name);

    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string name = NewStagingName();
      if (::mkdirat(parent_.get(), name.c_str(), 0777) == 0) {
        staging_ = name;
        staging_made_ = true;
        break;
      }
      if (errno != EEXIST) {
        return SystemFailure(UNLHA32_ERROR_WRITE,
                             "cannot create a staging folder in " + folder_.parent, errno);
      }
    }
    if (staging_.empty()) return Failure{UNLHA32_ERROR_WRITE, "no free staging folder name"};
    staging_fd_ = FileDescriptor(::openat(parent_.get(), staging_.c_str(), kFolderFlags));
    if (!staging_fd_.valid()) {
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot open the staging folder", errno);
    }
    return std::nullopt;
  }

  Status ReadMembers() {
    ArchiveReader reader;
    archive* a = reader.get();
    if (a == nullptr) return Failure{UNLHA32_ERROR_INTERNAL, "out of memory"};
    if (archive_read_support_format_lha(a) != ARCHIVE_OK ||
        archive_read_set_options(a, "lha:hdrcharset=CP932") != ARCHIVE_OK) {
      return Failure{UNLHA32_ERROR_INTERNAL, "cannot set up the LHA reader: " + reader.Error()};
    }
    if (archive_read_open_fd(a, archive_fd_.get(), 64 * 1024) != ARCHIVE_OK) {
      return Failure{UNLHA32_ERROR_ARCHIVE, "cannot read archive: " + reader.Error()};
    }

    for (;;) {
      archive_entry* entry = nullptr;
      const int r = ReadNextHeader(a, &entry);
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
      last_member_ = current_;
    }
    if (Status failure = CheckEndMark(a)) return failure;
    if (archive_read_close(a) != ARCHIVE_OK) {
      return Failure{UNLHA32_ERROR_ARCHIVE, "error at end of archive: " + reader.Error()};
    }
    return std::nullopt;
  }

  // libarchive's LHA reader ends the archive where the next member header
  // would start both when it finds the end-of-archive mark there (a 0 byte)
  // and when no byte is left at all, so an archive cut right after a member
  // reads as a whole one with fewer members. Only the mark tells them apart.
  Status CheckEndMark(archive* a) {
    const int64_t end = archive_read_header_position(a);
    unsigned char mark = 1;
    const ssize_t n = ::pread(archive_fd_.get(), &mark, 1, static_cast<off_t>(end));
    if (n < 0) return SystemFailure(UNLHA32_ERROR_ARCHIVE, "cannot read archive", errno);
    if (n == 1 && mark == 0) return std::nullopt;
    std::string where = last_member_.empty() ? "before any member" : "after member " + last_member_;
    return Failure{UNLHA32_ERROR_ARCHIVE, "the archive ends " + where +
                                              " without its end mark: it has been cut short or "
                                              "damaged"};
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
    const HeaderModes header = ReadHeaderModes(archive_fd_.get(), archive_read_header_position(a));
    if (!header.error.empty()) return Failure{UNLHA32_ERROR_ARCHIVE, header.error};
    for (uint16_t mode : header.modes) {
      if (const auto kind = SpecialFileKind(mode)) {
        return Failure{UNLHA32_ERROR_UNSAFE, "is " + *kind + "; special files are not extracted"};
      }
    }
    const auto type = archive_entry_filetype(entry);
    if (type != AE_IFDIR && type != AE_IFREG) {
      return Failure{UNLHA32_ERROR_UNSAFE, "special files are not extracted"};
    }

    // Names are compared as they land: "a\b", "a/b" and "./a//b" are one.
    std::string landing;
    for (const std::string& part : path.parts) landing += (landing.empty() ? "" : "/") + part;
    if (!landing.empty()) {
      const auto [earlier, added] = landed_.emplace(landing, current_);
      if (!added) {
        return Failure{UNLHA32_ERROR_UNSAFE, "lands on " + landing + " as member " +
                                                 earlier->second +
                                                 " did; members of the same name are refused"};
      }
    }

    if (type == AE_IFDIR) {
      FileDescriptor folder;
      return OpenSubfolder(staging_fd_.get(), path.parts, path.parts.size(), folder);
    }
    if (path.parts.empty()) return Failure{UNLHA32_ERROR_UNSAFE, "file member without a name"};
    const bool size_known = archive_entry_size_is_set(entry) != 0;
    const int64_t declared = archive_entry_size(entry);
    if (size_known) {
      if (declared < 0 || declared > kMaxMemberSize) {
        return Failure{UNLHA32_ERROR_UNSAFE, "claims " + std::to_string(declared) +
                                                 " bytes, more than a member may hold"};
      }
      if (declared > size_limit_ - total_) {
        return Failure{UNLHA32_ERROR_UNSAFE,
                       "claims " + std::to_string(declared) + " bytes, " + TotalLimitText()};
      }
    }

    FileDescriptor folder;
    if (Status failure =
            OpenSubfolder(staging_fd_.get(), path.parts, path.parts.size() - 1, folder)) {
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

  std::string TotalLimitText() const {
    return "which with the " + std::to_string(total_) +
           " bytes of the members before it is more than the " + std::to_string(size_limit_) +
           " bytes that this archive of " + std::to_string(archive_size_) +
           " bytes may unpack to (1000 times its size, at most 4 GiB)";
  }

  // Writes the member's data into the staging folder; nothing there is seen
  // under the folder's own name before every member has been checked.
  Status WriteFile(archive* a, archive_entry* entry, int folder, const std::string& leaf,
                   bool size_known, int64_t declared) {
    FileDescriptor out(
        ::openat(folder, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!out.valid()) {
      if (errno == EEXIST) {
        return Failure{UNLHA32_ERROR_UNSAFE,
                       "an earlier member already made a file or folder of that name"};
      }
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot create file", errno);
    }

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
      const int64_t after = written + static_cast<int64_t>(size);
      if (after > kMaxMemberSize) {
        return Failure{UNLHA32_ERROR_UNSAFE, "more data than a member may hold"};
      }
      if (after > size_limit_ - total_) {
        return Failure{UNLHA32_ERROR_UNSAFE, "holds more than " +
                                                 std::to_string(size_limit_ - total_) + " bytes, " +
                                                 TotalLimitText()};
      }
      if (!WriteAll(out.get(), static_cast<const char*>(block), size)) {
        return SystemFailure(UNLHA32_ERROR_WRITE, "cannot write", errno);
      }
      written = after;
    }
    if (size_known && written != declared) {
      return Failure{
          UNLHA32_ERROR_ARCHIVE,
          std::to_string(written) + " bytes of data, header says " + std::to_string(declared)};
    }
    total_ += written;
    if (archive_entry_mtime_is_set(entry)) {
      const struct timespec times[2] = {
          {0, UTIME_OMIT}, {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}};
      ::futimens(out.get(), times);  // a missing time stamp is no reason to fail
    }
    if (const int error = out.Close()) {
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot write", error);
    }
    return std::nullopt;
  }

  // Puts the staging folder in the extraction folder's place. An earlier
  // folder is exchanged with it in one step and then removed (Run() removes
  // what is left under the staging name).
  Status PutInPlace() {
    staging_fd_.Close();
    const int parent = parent_.get();
    const char* staging = staging_.c_str();
    const char* name = folder_.name.c_str();
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (::renameat2(parent, staging, parent, name, RENAME_NOREPLACE) == 0) {
        staging_.clear();
        return std::nullopt;
      }
      if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return PutInPlaceInTwoSteps();
      if (errno != EEXIST && errno != ENOTEMPTY) {
        return SystemFailure(UNLHA32_ERROR_WRITE, "cannot put " + folder_.path + " in place",
                             errno);
      }
      struct stat st;
      if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
      if (!S_ISDIR(st.st_mode)) {
        return Failure{UNLHA32_ERROR_WRITE, folder_.path + " exists and is not a folder"};
      }
      if (::renameat2(parent, staging, parent, name, RENAME_EXCHANGE) == 0) {
        return std::nullopt;  // the earlier folder is now at the staging name
      }
      if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return PutInPlaceInTwoSteps();
      if (errno != ENOENT) {
        return SystemFailure(UNLHA32_ERROR_WRITE, "cannot put " + folder_.path + " in place",
                             errno);
      }
    }
    return Failure{UNLHA32_ERROR_WRITE, folder_.path + " keeps changing; not replaced"};
  }

  // For file systems that cannot exchange two folders: the earlier folder is
  // moved aside under a second staging name (which a later run removes, should
  // this process be killed in between), then the new one takes its place.
  Status PutInPlaceInTwoSteps() {
    const int parent = parent_.get();
    const char* name = folder_.name.c_str();
    const std::string aside = NewStagingName();
    const bool had_earlier = ::renameat(parent, name, parent, aside.c_str()) == 0;
    if (!had_earlier && errno != ENOENT) {
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot move " + folder_.path + " aside", errno);
    }
    if (::renameat(parent, staging_.c_str(), parent, name) != 0) {
      const int error = errno;
      if (had_earlier) ::renameat(parent, aside.c_str(), parent, name);
      return SystemFailure(UNLHA32_ERROR_WRITE, "cannot put " + folder_.path + " in place", error);
    }
    staging_ = had_earlier ? aside : std::string();
    return std::nullopt;
  }

  std::string NewStagingName() {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, "%ld-%016llx", static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(random_()));
    return staging_prefix_ + suffix;
  }

  const Command& command_;
  std::mt19937_64 random_;
  std::string archive_path_;
  FileDescriptor archive_fd_;
  int64_t archive_size_ = 0;
  int64_t size_limit_ = 0;
  int64_t total_ = 0;  // bytes written by the members before the current one
  FolderPath folder_;
  FileDescriptor parent_;
  bool folder_existed_ = false;
  std::string staging_prefix_;
  std::string staging_;  // name in parent_ of what Run() removes at the end
  bool staging_made_ = false;
  FileDescriptor staging_fd_;
  std::map<std::string, std::string> landed_;  // path in the folder -> member name
  std::string current_;
  std::string last_member_;
  std::string listing_;
  int files_ = 0;
};

}  // namespace

ExtractionResult ExtractArchive(const Command& command) {
  Utf8LocaleScope utf8;
  return Extraction(command).Run();
}

void WriteReport(const std::string& text, char* output, uint32_t output_size) {
  if (output == nullptr || output_size == 0) return;
  const size_t length = Utf8Cut(text, output_size - 1);
  std::memcpy(output, text.data(), length);
  output[length] = '\0';
}

}  // namespace quellmark::unlha32
