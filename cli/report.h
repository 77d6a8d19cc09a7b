// What quellmark-convert says about a run besides warnings and errors: the
// progress line it redraws on a terminal, and the summary line at the end.
#pragma once

#include <chrono>
#include <cstddef>
#include <set>
#include <string>
#include <string_view>

namespace quellmark {

// A run's counts, gathered as it goes. Every place in the list of archives
// is started (and then converted or failed), skipped as a duplicate of an
// earlier place, or never tried.
struct RunTally {
  std::size_t archives = 0;             // places in the list
  std::size_t started = 0;              // taken up; each one ends converted or failed
  std::size_t converted = 0;            // extracted and converted
  std::size_t duplicates = 0;           // places of an archive listed earlier, not converted again
  std::size_t tables = 0;               // distinct tables put in place, as the files hold them
  std::size_t warnings = 0;             // printed
  std::set<std::string> table_folders;  // where the tables went, absolute
  std::string file;                     // the one file every sheet went into, if any
  // The one file every sheet was to go into, when it was not put in place
  // (the run failed or was stopped): it stays as it was, and the archives
  // converted for it are counted here, not as converted.
  std::string file_left;
};

// One line, e.g. "quellmark-convert: 2 archives converted, 1 failed, 34
// tables, 3 warnings; tables in /data/maps". Places of an archive listed
// earlier are counted as "skipped as duplicates", archives never taken up
// (the batch stopped at a failure or a signal) as "not tried"; the tables are
// said to be "beside each archive" when they went to several folders, and
// "all in FILE" when every sheet went into one file. When that file was not
// put in place, the archives converted for it are "not kept" and the line
// ends "FILE left as it was".
std::string SummaryLine(std::string_view program, const RunTally& tally);

// The absolute folder a table of this output prefix lands in.
std::string TableFolder(std::string_view output_prefix);

// Batches of more archives than this show the share done and the time left.
inline constexpr std::size_t kFewArchives = 3;

// The head of the progress line: "[3/40 5%, 2:10 left]" (position of the
// archive under way, share of the batch finished, time left at the pace so
// far), or just "[2/3]" for a few archives. No estimate before the first
// archive is finished.
std::string ProgressHead(std::size_t position, std::size_t total, std::size_t finished,
                         std::chrono::steady_clock::duration elapsed);

}  // namespace quellmark
