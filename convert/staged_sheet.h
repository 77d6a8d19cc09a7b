// The tables of one sheet for formats that write files per layer (output
// prefix + layer code + extension): written into a hidden staging folder
// beside the earlier tables and renamed into their place together, so a
// failed, full-disk or interrupted run, or a rename that fails, leaves the
// earlier tables as they were. The files are on disk before they are
// renamed, so a power cut leaves each file earlier or new, whole.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/output_format.h"
#include "sal/errors.h"

namespace quellmark {

// Every `from` in `text` becomes `to`: how a staged path is named as the
// final one in messages.
void ReplaceAll(std::string& text, const std::string& from, const std::string& to);

// The longest file name, in bytes, that the file system holding `folder`
// ("" for the working folder) takes (255 where it does not say).
std::size_t LongestFileName(const std::string& folder);

// Throws OutputError naming `path` when its last part is longer than
// `longest` bytes (0: than the file system of its folder takes).
void CheckFileNameFits(const std::string& path, std::size_t longest = 0);

// `name` as the start of a working file's name that `rest` more bytes
// complete, within `longest` bytes: whole where it fits; otherwise cut at a
// character boundary (UTF-8) and followed by "~" and a hash of the whole
// name, so that long names beginning alike keep working names of their own.
std::string FitName(std::string_view name, std::size_t rest, std::size_t longest);

// The path of a working file beside `path`: `path` + `end`, its last part
// fitted (FitName) so that `end` and `more` bytes after it still make a
// name the file system takes.
std::string WorkingPath(const std::string& path, std::string_view end, std::size_t more = 0);

class StagedSheet : public SheetOutput {
 public:
  // The tables at target.prefix() of the target's layers; `extensions`: the
  // files a table may have, its main file last (the one a GIS opens).
  // Creates the staging folder, first removing those that runs no longer
  // running left beside the same outputs. Throws OutputError, also when the
  // tables' names are longer than the file system takes.
  StagedSheet(const SheetTarget& target, std::span<const std::string_view> extensions);
  // Without Commit(), removes the staging folder and all it holds.
  ~StagedSheet() override;
  StagedSheet(const StagedSheet&) = delete;
  StagedSheet& operator=(const StagedSheet&) = delete;

  std::unique_ptr<TableOutput> CreateTable(const LayerSpec& layer) final;
  // Looks at every name the sheet's tables have and stops, changing
  // nothing, where something other than a file or a link stands; puts every
  // staged file on disk; then renames each table's files into place, the
  // main file last, and removes the files of layers that got no table this
  // time (of the target's layers; the others' stay), keeping the earlier
  // files aside (in the staging folder) until the
  // last rename is done; then puts the folder on disk. Where a rename
  // fails, every earlier file is put back and the new ones removed, so the
  // sheet's tables are all as they were. The tables must be closed.
  void Commit() final;

  // Where the hidden working names beside the outputs of `output_prefix`
  // begin: FOLDER/.NAME.quellmark-, with NAME fitted (FitName) so that up
  // to 40 more bytes still make a name the file system takes. The staging
  // folders are named this + pid + "-" + n; a GeoPackage adds ".gpkg", and
  // SQLite's "-journal" or an index spool's "-CODE" after it.
  static std::string StagingPrefix(const std::string& output_prefix);
  // A name for this run's staging beside the outputs of `output_prefix`,
  // StagingPrefix + pid + "-" + n, unique in the process; first removes
  // what runs no longer running left under that prefix, folders and files.
  static std::string NewStagingName(const std::string& output_prefix);

  // The error with the staging folder's paths named as the tables' own.
  OutputError AsFinal(const OutputError& error) const;

 protected:
  // Creates the layer's table with the files `base` + extensions.
  virtual std::unique_ptr<TableOutput> CreateStagedTable(const LayerSpec& layer,
                                                         const std::string& base) = 0;

 private:
  std::string folder_;   // where the tables go: the target's folder, with its "/", or ""
  std::string name_;     // the target's sheet name
  std::string staging_;  // the staging folder
  std::span<const std::string_view> extensions_;
  std::vector<const LayerSpec*> tables_;
  LayerSelection layers_;  // the layers whose earlier tables this sheet replaces
  bool committed_ = false;
};

}  // namespace quellmark
