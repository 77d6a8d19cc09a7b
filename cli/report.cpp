#include "cli/report.h"

#include <filesystem>
#include <system_error>

namespace quellmark {

namespace {

std::string Count(std::size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

// "4:05", or "1:02:03" from an hour on.
std::string Clock(long long seconds) {
  const auto two = [](long long n) { return (n < 10 ? "0" : "") + std::to_string(n); };
  const long long hours = seconds / 3600;
  const long long minutes = seconds / 60 % 60;
  if (hours > 0) return std::to_string(hours) + ":" + two(minutes) + ":" + two(seconds % 60);
  return std::to_string(minutes) + ":" + two(seconds % 60);
}

}  // namespace

std::string SummaryLine(std::string_view program, const RunTally& tally) {
  const std::size_t failed = tally.started - tally.converted;
  // Converted for a file that was not put in place: nothing of theirs was kept.
  const std::size_t not_kept = tally.file_left.empty() ? 0 : tally.converted;
  std::string line = std::string(program) + ": " +
                     Count(tally.converted - not_kept, "archive", "archives") + " converted, ";
  if (!tally.file_left.empty()) line += std::to_string(not_kept) + " not kept, ";
  line += std::to_string(failed) + " failed, ";
  if (tally.duplicates > 0) {
    line += std::to_string(tally.duplicates) + " skipped as " +
            (tally.duplicates == 1 ? "a duplicate" : "duplicates") + ", ";
  }
  const std::size_t not_tried = tally.archives - tally.started - tally.duplicates;
  if (not_tried > 0) line += std::to_string(not_tried) + " not tried, ";
  line += Count(tally.file_left.empty() ? tally.tables : 0, "table", "tables") + ", " +
          Count(tally.warnings, "warning", "warnings");
  if (!tally.file_left.empty()) {
    line += "; " + tally.file_left + " left as it was";
  } else if (!tally.file.empty()) {
    line += "; all in " + tally.file;
  } else if (tally.table_folders.size() == 1) {
    line += "; tables in " + *tally.table_folders.begin();
  } else if (tally.table_folders.size() > 1) {
    line += "; tables beside each archive";
  }
  return line;
}

std::string TableFolder(std::string_view output_prefix) {
  namespace fs = std::filesystem;
  fs::path folder = fs::path(output_prefix).parent_path();
  if (folder.empty()) folder = ".";
  std::error_code error;
  const fs::path absolute = fs::absolute(folder, error);
  if (!error) folder = absolute;
  folder = folder.lexically_normal();
  // "/data/" names the same folder as "/data"; "/" stays.
  if (folder.has_relative_path() && folder.filename().empty()) folder = folder.parent_path();
  return folder.string();
}

std::string ProgressHead(std::size_t position, std::size_t total, std::size_t finished,
                         std::chrono::steady_clock::duration elapsed) {
  std::string head = "[" + std::to_string(position) + "/" + std::to_string(total);
  if (total > kFewArchives) {
    head += " " + std::to_string(finished * 100 / total) + "%";
    if (finished > 0 && finished < total) {
      using std::chrono::duration_cast;
      using std::chrono::milliseconds;
      const long long spent = duration_cast<milliseconds>(elapsed).count();
      const long long done = static_cast<long long>(finished);
      const long long left_ms =
          (spent * static_cast<long long>(total - finished) + done - 1) / done;
      // Rounded up: while work is left, so is a second.
      head += ", " + Clock((left_ms + 999) / 1000) + " left";
    }
  }
  return head + "]";
}

}  // namespace quellmark
