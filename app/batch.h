// The conversion batch: for each listed archive, extract it through the
// archive library and run the chosen export driver on its layer set. The
// window and the command line both run their work through RunBatch.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/archive_names.h"
#include "convert/output_format.h"
#include "convert/sheet.h"
#include "sal/errors.h"
#include "sal/layer_set.h"

namespace quellmark {

class Notifier;
class ArchiveLibrary;

// An archive once extracted: where its members stand and where its tables go.
struct ExtractedArchive {
  std::string archive;    // as listed
  std::string folder;     // the extraction folder
  std::string base_name;  // the archive's name without folder and extension
  // Its one sheet's tables: named after the archive. Of several sheets,
  // each's: the same folder, named after the sheet.
  SheetTarget target;
};

// Converts the sheets of an extracted archive.
using SheetConverter =
    std::function<void(const ExtractedArchive&, const OutputFormat&, ExportContext&)>;

// Finds the archive's layer sets (FindLayerSets) and converts each: one
// sheet into the archive's output prefix, several each under its own name.
// Throws InputError naming the archive when it holds no sheet header.
void ConvertArchive(const ExtractedArchive& archive, const OutputFormat& format,
                    ExportContext& context);

// The library's output buffer: 6001 bytes, of which the library is told 6000.
inline constexpr std::size_t kLibraryOutputAllocated = 6001;
inline constexpr std::uint32_t kLibraryOutputSize = 6000;

struct BatchOptions {
  std::vector<std::string> archives;
  const OutputFormat* format = nullptr;  // required
  // Where the tables go; empty: beside each archive. With a folder, nothing
  // is written beside the archives: each is extracted into a hidden
  // temporary folder there, removed after its conversion unless
  // keep_extracted (then into the folder + "/" + its base name).
  std::string output_dir;
  bool keep_extracted = false;
  // One file for every sheet of the batch (ending in the format's
  // collection_extension, ".gpkg"), instead of tables per sheet: each
  // archive is extracted into a hidden temporary folder beside it (with
  // keep_extracted, into its folder + "/" + the archive's base name). The
  // file is put in place when the batch ends: without keep_going only when
  // every archive was converted, with it when any was. Not with output_dir.
  std::string output_file;
  // With output_file: add the sheets to the file there (a sheet it holds
  // already is replaced whole) instead of replacing it.
  bool append = false;
  // Go on with the next archive after one fails (the failure is reported to
  // the observer); otherwise the first failure ends the batch.
  bool keep_going = false;
  // Archives converted side by side. Each conversion owns its state. With
  // more than one job the observer and notifier are called from several
  // threads.
  unsigned jobs = 1;
  // What the tables declare; whether positions are moved from the Tokyo
  // datum onto JGD2000 (which then is declared).
  DatumRule datum;
  // The layers whose tables are written; the others' earlier tables stay.
  // A layer not chosen is still read where a chosen one needs it (TK for
  // EK's stations, the road layers for HA, TO and YO).
  LayerSelection layers;
};

// Progress of a batch. Archive indexes are positions in BatchOptions::archives.
class BatchObserver {
 public:
  virtual ~BatchObserver() = default;
  virtual void ArchiveStarted(std::size_t /*index*/, const ArchiveNames& /*names*/) {}
  virtual void LayerStarted(std::size_t /*index*/, std::string_view /*layer_code*/) {}
  // A layer's table was put in place. `where` names the file or files that
  // hold it: the output prefix of the sheet's tables, or the one output
  // file. A table written twice (two archives with the same outputs) has
  // the same `where` and code both times.
  virtual void TableWritten(std::size_t /*index*/, std::string_view /*where*/,
                            std::string_view /*layer_code*/) {}
  // A sheet of the archive was moved from the Tokyo datum onto JGD2000 by
  // `operation` (datum.to_jgd2000), as each sheet is.
  virtual void DatumMoved(std::size_t /*index*/, std::string_view /*operation*/) {}
  // The archive was extracted and converted: its check mark.
  virtual void ArchiveDone(std::size_t /*index*/) {}
  // A later place in the list of an archive listed earlier (by any path):
  // it is not converted again. `converted`: whether its earlier place was.
  // Unless overridden, a place whose archive was converted gets its check
  // mark as well.
  virtual void ArchiveRepeated(std::size_t index, bool converted) {
    if (converted) ArchiveDone(index);
  }
  // The archive failed and the batch goes on (keep_going), or the run was
  // interrupted while the archive was under way (Interrupted).
  virtual void ArchiveFailed(std::size_t /*index*/, const QuellmarkError& /*error*/) {}
};

struct BatchServices {
  const ArchiveLibrary& archive_library;
  Notifier* notifier = nullptr;
  BatchObserver* observer = nullptr;
  void* window = nullptr;  // handed to the archive library
  // The conversion of an extracted archive; ConvertArchive unless a test
  // stands in.
  SheetConverter convert_sheet;
  // Set to stop the batch (SIGINT, SIGTERM): no archive is started after
  // it, and those under way end at their next line, leaving their tables as
  // they were. May be null.
  const std::atomic<bool>* stop = nullptr;
};

struct BatchResult {
  std::size_t converted = 0;
  std::size_t failed = 0;  // interrupted archives included
  // The stop flag ended the batch before every output was put in place:
  // the archives cut short or never started (with output_file, the one
  // file) keep their earlier outputs.
  bool interrupted = false;
  // The stop flag was set, but only once every output the batch was to
  // write had been put in place: nothing was cut short.
  bool stopped_after_outputs = false;
};

// Throws std::invalid_argument, saying why, when the options cannot make a
// batch: no format chosen, positions to be moved onto JGD2000 and declared
// Tokyo datum, a projected system PROJ does not know or one that is not
// projected, an output file the format cannot write or one given with an
// output folder. The one check of them, for every caller.
void CheckBatchOptions(const BatchOptions& options);

// Runs the batch. Throws std::invalid_argument as CheckBatchOptions does;
// OutputError when the output file cannot be created or completed.
// Without keep_going the first failure (an extraction that fails, or an
// error raised while converting) ends it with that error; the archives
// before it stay converted (with several jobs, archives already under way
// finish too). A stop ends it without an error: no archive is started
// after it, the one file is not completed or put in place once it is set,
// the result says whether it cut anything short and the observer was told
// of each archive it did.
//
// The archive named is the one extracted. An archive listed more than once
// (by any path) is converted once; its later places get a notice and
// ArchiveRepeated. One archive's outputs are converted by
// one run at a time, across processes too: a run finding another at work
// on them says so and waits. Notices reach the notifier stamped with the
// archive and layer they came from. With one job everything runs on the
// calling thread.
BatchResult RunBatch(const BatchOptions& options, const BatchServices& services);

}  // namespace quellmark
