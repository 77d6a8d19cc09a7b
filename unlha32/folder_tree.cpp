#include "folder_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string_view>
#include <vector>

namespace quellmark::unlha32 {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Reads the names in the folder open as fd, folders apart from the rest.
int ListFolder(int fd, std::vector<std::string>& folders, std::vector<std::string>& others) {
  const int copy = ::openat(fd, ".", kFolderFlags);
  if (copy < 0) return errno;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    const int error = errno;
    ::close(copy);
    return error;
  }
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool is_folder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      is_folder =
          ::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    (is_folder ? folders : others).emplace_back(name);
  }
  ::closedir(dir);
  return error;
}

// Visits the tree of the folder `name` in `parent` depth first, holding one
// folder open at a time however deep the tree is: file(folder, name) for
// everything but folders, done(folder, name) for each folder after all that
// is below it, `folder` being the one that holds the name. Returns the first
// failure to open or read a folder.
int WalkTree(int parent, const std::string& name, const std::function<void(int, const char*)>& file,
             const std::function<void(int, const char*)>& done) {
  struct Level {
    std::string name;
    std::vector<std::string> folders;  // not yet visited
  };
  int first_error = 0;
  const auto note = [&first_error](int error) {
    if (first_error == 0) first_error = error;
  };
  int current = ::openat(parent, name.c_str(), kFolderFlags);
  if (current < 0) return errno;
  std::vector<Level> levels;
  const auto enter = [&](std::string folder_name) {
    Level level{std::move(folder_name), {}};
    std::vector<std::string> others;
    if (const int error = ListFolder(current, level.folders, others)) note(error);
    for (const std::string& other : others) file(current, other.c_str());
    levels.push_back(std::move(level));
  };
  enter(name);
  while (!levels.empty()) {
    Level& level = levels.back();
    if (!level.folders.empty()) {
      const std::string child = std::move(level.folders.back());
      level.folders.pop_back();
      const int fd = ::openat(current, child.c_str(), kFolderFlags);
      if (fd < 0) {
        // Replaced by something else since it was listed: not a folder.
        if (errno == ENOTDIR || errno == ELOOP) {
          file(current, child.c_str());
        } else {
          note(errno);
        }
        continue;
      }
      ::close(current);
      current = fd;
      enter(child);
      continue;
    }
    const std::string finished = std::move(level.name);
    levels.pop_back();
    if (levels.empty()) {
      ::close(current);
      done(parent, finished.c_str());
      break;
    }
    const int up = ::openat(current, "..", kFolderFlags);
    ::close(current);
    if (up < 0) return first_error != 0 ? first_error : errno;
    current = up;
    done(current, finished.c_str());
  }
  return first_error;
}

}  // namespace

int RemoveTree(int parent, const std::string& name) {
  int first_error = 0;
  const auto remove = [&first_error](int folder, const char* entry, int flags) {
    if (::unlinkat(folder, entry, flags) != 0 && errno != ENOENT && first_error == 0) {
      first_error = errno;
    }
  };
  const int walk_error = WalkTree(
      parent, name, [&](int folder, const char* entry) { remove(folder, entry, 0); },
      [&](int folder, const char* entry) { remove(folder, entry, AT_REMOVEDIR); });
  if (walk_error == ENOTDIR || walk_error == ELOOP) {  // not a folder at all
    remove(parent, name.c_str(), 0);
  } else if (walk_error != 0 && walk_error != ENOENT && first_error == 0) {
    first_error = walk_error;
  }
  return first_error;
}

bool IsOldTemporaryName(const std::string& name) {
  constexpr std::string_view kPrefix = ".unlha32-";
  constexpr std::string_view kSuffix = ".tmp";
  if (name.size() != kPrefix.size() + 16 + kSuffix.size()) return false;
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  if (name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) return false;
  for (size_t i = kPrefix.size(); i < kPrefix.size() + 16; ++i) {
    if (!IsHexDigit(name[i])) return false;
  }
  return true;
}

void RemoveOldTemporaryFiles(int parent, const std::string& name) {
  WalkTree(
      parent, name,
      [](int folder, const char* entry) {
        if (!IsOldTemporaryName(entry)) return;
        struct stat st;
        if (::fstatat(folder, entry, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
          ::unlinkat(folder, entry, 0);
        }
      },
      [](int, const char*) {});
}

}  // namespace quellmark::unlha32
