// Helpers shared by the test suites: a notifier that records, temporary
// folders, and file writing.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sal/notify.h"

namespace quellmark::testing {

// Records every notice; safe to call from several threads at once.
class RecordingNotifier : public Notifier {
 public:
  void Notify(const Notice& notice) override {
    std::lock_guard lock(mutex_);
    notices.push_back(notice);
  }
  std::vector<std::string> texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& n : notices) out.push_back(n.text);
    return out;
  }
  std::vector<Notice> notices;

 private:
  mutable std::mutex mutex_;
};

// A fresh folder under the system temporary folder (or `under`), removed
// with its content.
class TempDir {
 public:
  TempDir();
  explicit TempDir(const std::filesystem::path& under);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::string operator/(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::string& path, std::string_view bytes);
std::string ReadFile(const std::string& path);

// Every file below `folder` (relative path -> bytes; a link as "-> target"),
// to compare a folder before and after.
std::map<std::string, std::string> ReadTree(const std::string& folder);

// The files that differ between two trees, or that only one holds: what a
// failure names instead of every byte of both.
std::vector<std::string> Differing(const std::map<std::string, std::string>& got,
                                   const std::map<std::string, std::string>& want);

// UTF-8 test text as CP932 bytes.
std::string Sjis(std::string_view utf8);

// While it lives, no file of this process may grow past `bytes`: a write
// across the limit fails with EFBIG, as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(unsigned long bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  unsigned long saved_soft_;
  void (*saved_signal_)(int);
};

}  // namespace quellmark::testing
