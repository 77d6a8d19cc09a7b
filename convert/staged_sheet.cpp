#include "convert/staged_sheet.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "convert/durable.h"
#include "sal/errors.h"

namespace quellmark {

namespace fs = std::filesystem;

namespace {

// Whether the process that named a staging folder "...-PID-N" is gone.
bool LeftByAnEndedRun(std::string_view rest) {
  int pid = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
  if (error != std::errc() || end == rest.data() || end == rest.data() + rest.size() ||
      *end != '-' || pid <= 0) {
    return false;
  }
  return kill(pid, 0) != 0 && errno == ESRCH;
}

// A table whose errors name the files where they will stand, and whose
// files start going to the disk once it is complete.
class StagedTable : public TableOutput {
 public:
  StagedTable(std::unique_ptr<TableOutput> table, const StagedSheet& sheet, std::string base,
              std::span<const std::string_view> extensions)
      : table_(std::move(table)), sheet_(sheet), base_(std::move(base)), extensions_(extensions) {}

  void Write(const Feature& feature) override {
    try {
      table_->Write(feature);
    } catch (const OutputError& error) {
      throw sheet_.AsFinal(error);
    }
  }
  void Close() override {
    try {
      table_->Close();
    } catch (const OutputError& error) {
      throw sheet_.AsFinal(error);
    }
    // The disk writes the table while the next layers are converted.
    for (std::string_view extension : extensions_) StartFlush(base_ + std::string(extension));
  }

 private:
  std::unique_ptr<TableOutput> table_;
  const StagedSheet& sheet_;
  std::string base_;
  std::span<const std::string_view> extensions_;
};

}  // namespace

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

OutputError StagedSheet::AsFinal(const OutputError& error) const {
  std::string file = error.file();
  std::string message = error.message();
  ReplaceAll(file, staging_ + "/", folder_);
  ReplaceAll(message, staging_ + "/", folder_);
  return OutputError(file, error.line(), message);
}

namespace {

// The folder part of `path`, with its "/"; empty for a name alone.
std::string FolderOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? std::string_view()
                                                     : path.substr(0, slash + 1));
}

}  // namespace

std::size_t LongestFileName(const std::string& folder) {
  const long longest = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  return longest > 0 ? static_cast<std::size_t>(longest) : std::size_t{NAME_MAX};
}

void CheckFileNameFits(const std::string& path, std::size_t longest) {
  const std::string folder = FolderOf(path);
  const std::size_t size = path.size() - folder.size();
  if (longest == 0) longest = LongestFileName(folder);
  if (size > longest) {
    throw OutputError(path, 0,
                      "the name is too long for the file system: " + std::to_string(size) +
                          " bytes, where it takes " + std::to_string(longest));
  }
}

std::string FitName(std::string_view name, std::size_t rest, std::size_t longest) {
  if (name.size() + rest <= longest) return std::string(name);
  // FNV-1a: the same name always gets the same working names.
  std::uint64_t hash = 14695981039346656037u;
  for (const char c : name) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  }
  char mark[18];
  std::snprintf(mark, sizeof mark, "~%016llx", static_cast<unsigned long long>(hash));
  const std::size_t room = sizeof mark - 1 + rest;
  std::size_t keep = longest > room ? std::min(longest - room, name.size()) : 0;
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return std::string(name.substr(0, keep)) + mark;
}

std::string WorkingPath(const std::string& path, std::string_view end, std::size_t more) {
  const std::string folder = FolderOf(path);
  return folder +
         FitName(std::string_view(path).substr(folder.size()), end.size() + more,
                 LongestFileName(folder)) +
         std::string(end);
}

std::string StagedSheet::StagingPrefix(const std::string& output_prefix) {
  constexpr std::string_view kMark = ".quellmark-";
  // What may follow the prefix: "PID-N.gpkg-journal", "PID-extract-N",
  // "lock".
  constexpr std::size_t kLongestEnd = 40;
  const std::string folder = FolderOf(output_prefix);
  const std::string_view name = std::string_view(output_prefix).substr(folder.size());
  return folder + "." + FitName(name, 1 + kMark.size() + kLongestEnd, LongestFileName(folder)) +
         std::string(kMark);
}

std::string StagedSheet::NewStagingName(const std::string& output_prefix) {
  const std::string prefix = StagingPrefix(output_prefix);
  const std::string folder = FolderOf(prefix);

  // Leftovers of runs that were killed.
  const std::string leftover = prefix.substr(folder.size());
  std::error_code ignored;
  for (fs::directory_iterator it(folder.empty() ? "." : folder, ignored), end;
       !ignored && it != end; it.increment(ignored)) {
    const std::string entry = it->path().filename().string();
    if (entry.size() > leftover.size() && entry.compare(0, leftover.size(), leftover) == 0 &&
        LeftByAnEndedRun(std::string_view(entry).substr(leftover.size()))) {
      std::error_code removal;
      fs::remove_all(it->path(), removal);
    }
  }

  static std::atomic<unsigned> counter{0};
  return prefix + std::to_string(getpid()) + "-" +
         std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

StagedSheet::StagedSheet(const SheetTarget& target, std::span<const std::string_view> extensions)
    : folder_(target.folder), name_(target.sheet), extensions_(extensions), layers_(target.layers) {
  const std::string output_prefix = target.prefix();
  // The tables' own names are never cut: one that does not fit is an error
  // naming it, a main file first.
  const std::size_t longest = LongestFileName(folder_);
  for (const LayerSpec& layer : Layers()) {
    for (auto it = extensions_.rbegin(); it != extensions_.rend(); ++it) {
      CheckFileNameFits(output_prefix + std::string(layer.code) + std::string(*it), longest);
    }
  }
  staging_ = NewStagingName(output_prefix);
  if (mkdir(staging_.c_str(), 0777) != 0) {
    throw OutputError(folder_.empty() ? "." : folder_, 0,
                      "cannot write the tables here: " + SystemMessage(errno));
  }
}

StagedSheet::~StagedSheet() {
  if (committed_) return;
  std::error_code ignored;
  fs::remove_all(staging_, ignored);
}

std::unique_ptr<TableOutput> StagedSheet::CreateTable(const LayerSpec& layer) {
  tables_.push_back(&layer);
  try {
    const std::string base = staging_ + "/" + name_ + std::string(layer.code);
    return std::make_unique<StagedTable>(CreateStagedTable(layer, base), *this, base, extensions_);
  } catch (const OutputError& error) {
    throw AsFinal(error);
  }
}

namespace {

// The last part of `path`.
std::string FileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// What stands at a table's name that is not a table of ours to replace, or
// nothing.
const char* NotATable(mode_t mode) {
  if (S_ISREG(mode) || S_ISLNK(mode)) return nullptr;
  if (S_ISDIR(mode)) return "a folder stands at this name";
  if (S_ISFIFO(mode)) return "a FIFO stands at this name";
  if (S_ISSOCK(mode)) return "a socket stands at this name";
  return "a device stands at this name";
}

}  // namespace

void StagedSheet::Commit() {
  // What the commit does to each name, in order: a staged file renamed onto
  // its target, or (no `from`) the target removed. The earlier file at the
  // target, if any, is kept aside until every new file is in place.
  struct Step {
    std::string from;
    std::string to;
    std::string aside;       // where the earlier file is kept meanwhile
    bool earlier = false;    // a file stands at `to`
    bool set_aside = false;  // it is (also) at `aside`
    bool placed = false;     // `from` is at `to`
  };
  std::vector<Step> steps;
  const std::string aside_folder = staging_ + "/earlier";
  const auto add = [&](std::string from, const std::string& target, std::string_view extension) {
    const std::string to = target + std::string(extension);
    steps.push_back({std::move(from), to, aside_folder + "/" + FileName(to)});
  };
  for (const LayerSpec& layer : Layers()) {
    // A layer the run does not write keeps its tables.
    if (!layers_.Has(layer)) continue;
    const std::string code(layer.code);
    const std::string target = folder_ + name_ + code;
    if (std::find(tables_.begin(), tables_.end(), &layer) == tables_.end()) {
      // A layer this run wrote no table for: its earlier table goes, main
      // file first, so that no table of another edition is left beside
      // this run's.
      for (auto it = extensions_.rbegin(); it != extensions_.rend(); ++it) add("", target, *it);
      continue;
    }
    for (std::string_view extension : extensions_) {
      const std::string from = staging_ + "/" + name_ + code + std::string(extension);
      struct stat info;
      // A file of the earlier table that this one does not have goes.
      add(lstat(from.c_str(), &info) == 0 ? from : "", target, extension);
    }
  }

  // Every name is looked at before the first change: what stands there and
  // is not a file or a link is not a table to replace, and the commit stops
  // with every table as it was.
  const std::string unchanged = "; the sheet's tables are left as they were";
  bool any_earlier = false;
  for (Step& step : steps) {
    const char* what =
        step.from.empty() ? "cannot remove the earlier table: " : "cannot put the table in place: ";
    struct stat info;
    if (lstat(step.to.c_str(), &info) == 0) {
      if (const char* other = NotATable(info.st_mode)) {
        throw OutputError(step.to, 0, what + std::string(other) + unchanged);
      }
      step.earlier = true;
      any_earlier = true;
    } else if (errno != ENOENT) {
      throw OutputError(step.to, 0, what + SystemMessage(errno) + unchanged);
    }
  }
  if (any_earlier && mkdir(aside_folder.c_str(), 0777) != 0) {
    throw OutputError(folder_.empty() ? "." : folder_, 0,
                      "cannot put the tables in place: " + SystemMessage(errno) + unchanged);
  }
  // Every file is on disk before the first rename, so that the renames
  // follow one another within milliseconds and none can put in place a file
  // whose data a power cut would lose.
  std::vector<FileToFlush> staged;
  for (const Step& step : steps) {
    if (!step.from.empty()) staged.push_back({step.from, step.to});
  }
  FlushFiles(staged);

  // An earlier file that a new one replaces gets a second name aside first,
  // so that its name never stands empty; where the file system has no such
  // names (FAT), and for a file that goes, it is moved aside.
  std::size_t done = 0;
  int error = 0;
  const char* what = nullptr;
  for (; done < steps.size(); ++done) {
    Step& step = steps[done];
    if (step.earlier) {
      if (!step.from.empty() && LinkFile(step.to, step.aside)) {
        step.set_aside = true;
      } else if (RenameFile(step.to, step.aside)) {
        step.set_aside = true;
      } else {
        error = errno;
        what = step.from.empty() ? "cannot remove the earlier table: "
                                 : "cannot put the table in place: ";
        break;
      }
    }
    if (step.from.empty()) continue;
    // rename replaces a file, or a link, standing at the target.
    if (!RenameFile(step.from, step.to)) {
      error = errno;
      what = "cannot put the table in place: ";
      break;
    }
    step.placed = true;
  }
  if (what != nullptr) {
    // Every name as it was, the last change first: the earlier file back
    // over the new one, a new file where none stood removed.
    std::string left_aside;
    for (std::size_t i = std::min(done + 1, steps.size()); i-- > 0;) {
      const Step& step = steps[i];
      if (step.set_aside) {
        if (!RenameFile(step.aside, step.to)) left_aside += " " + FileName(step.to);
      } else if (step.placed) {
        unlink(step.to.c_str());
      }
    }
    std::string message = what + SystemMessage(error);
    if (left_aside.empty()) {
      message += unchanged;
      // The names as they were, on disk.
      try {
        FlushFolderOf(folder_ + name_);
      } catch (const OutputError&) {
        // The commit's own failure is the one to report.
      }
    } else {
      // Kept until the next run of this sheet removes the staging folder.
      committed_ = true;
      message +=
          "; the earlier files" + left_aside + " could not be put back and are in " + aside_folder;
    }
    throw OutputError(steps[done].to, 0, message);
  }
  committed_ = true;
  std::error_code ignored;
  fs::remove_all(staging_, ignored);
  // The new names, and the staging folder's removal with the earlier files
  // kept aside, on disk.
  FlushFolderOf(folder_ + name_);
}

}  // namespace quellmark
