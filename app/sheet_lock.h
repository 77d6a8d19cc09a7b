// The lock that keeps two runs, in one process or in several, from
// converting into the same outputs (and the same extraction folder) at once.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace quellmark {

class SheetLock {
 public:
  // Takes the lock of the outputs named `output_prefix` + ..., through the
  // hidden file `.NAME.quellmark-lock` beside them (NAME fitted to the file
  // system's longest name, as the staging folders' are). While another run holds
  // it, calls `waiting` once and waits, ending with Interrupted (naming
  // `archive`) when `stop` is set. Where the lock file cannot be created (a
  // folder that does not exist or admits no file), there is nothing to
  // protect and no lock is taken.
  static std::unique_ptr<SheetLock> Acquire(const std::string& output_prefix,
                                            const std::string& archive,
                                            const std::function<void()>& waiting,
                                            const std::atomic<bool>* stop);
  // Removes the lock file and releases the lock.
  ~SheetLock();
  SheetLock(const SheetLock&) = delete;
  SheetLock& operator=(const SheetLock&) = delete;

  static std::string PathFor(const std::string& output_prefix);

 private:
  SheetLock(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  int fd_;
};

}  // namespace quellmark
