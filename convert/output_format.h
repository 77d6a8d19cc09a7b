// What an output format is to the conversion loop: an id and a label, its
// choices where the formats' geometries differ, and the tables it writes.
// Each format lives in a folder of its own and is listed once in the
// program's registry of formats.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "convert/datum.h"
#include "layers/catalogue.h"
#include "sal/layer_reader.h"

namespace quellmark {

// A longitude/latitude extent, in degrees.
struct Bounds {
  double west;
  double south;
  double east;
  double north;
};

// Where the formats differ in how lines are read: how a line's point list
// becomes positions, and which layers feed the list files.
struct GeometryRules {
  // Which item of a point layer's list places its feature.
  enum class PointItem : std::uint8_t {
    kLast,   // every item is looked up, the last one places the point; the list is used up
    kFirst,  // the first item; the rest waits for the next line that has no list
  };
  PointItem point_item = PointItem::kLast;
  // A point number with no position (0, not a number, past the table) or
  // one outside `bounds`: kept at what the lookup gave (0,0), or left out
  // (a point whose number is left out has no position).
  bool keep_unplaced = true;
  // The extent a table of longitude and latitude can store; positions
  // outside it count as unplaced (see OutputFormat::TableBounds).
  std::optional<Bounds> bounds;
  // Whether the layers whose lines feed the list files only when asked
  // (KK) do so too: the sheet's list files are then rewritten by KK, and
  // again by DK when the sheet has a DK layer file.
  bool every_road_layer_feeds_lists = false;
};

// A text value as the shapefile and TAB tables keep it, and the length of
// the whole value it was cut from (for a code's name, the name's own).
struct LegacyValue {
  std::string_view text;
  std::size_t whole_size;
};

// One line of a layer, resolved: what a table writes.
struct Feature {
  const LayerSpec& layer;
  const SalLayerReader& reader;
  int index;  // 0 for the file's first line
  // The positions: a point feature has one or none, a line any number.
  std::size_t vertex_count;
  const double* x;
  const double* y;

  const SalRecord& record() const { return reader.record(); }
  const Reporter& reporter() const { return reader.reporter(); }
  // The value of a text field, whole; of an integer field (record number,
  // kb).
  std::string_view Text(const FieldSpec& field) const;
  std::int32_t Integer(const FieldSpec& field) const;
  // The values as the shapefile and TAB tables keep them: every record value
  // cut to its LegacyWidth at a character boundary (a code's name is the cut
  // code's, a list reference one of the cut references), kb in 16 bits. A
  // text field's value is looked up once, whole and cut.
  LegacyValue LegacyText(const FieldSpec& field) const;
  std::int32_t LegacyInteger(const FieldSpec& field) const;
  std::string_view LegacyRecordText(RecordField field) const;
};

// One layer's table. Destroying a table that was not closed removes what it
// wrote.
class TableOutput {
 public:
  virtual ~TableOutput() = default;
  // Throws OutputError when the table cannot be written.
  virtual void Write(const Feature& feature) = 0;
  // Completes the table. Throws OutputError.
  virtual void Close() = 0;
};

// Where one sheet's tables go, decided before the sheet is converted:
// each table is folder + sheet + layer code + the format's extensions.
struct SheetTarget {
  std::string folder;  // with its "/", or empty for the working folder
  std::string sheet;   // the sheet's name among others ("533945")
  DatumRule datum;     // what the tables declare
  // Set when the run is asked to stop: completing the tables then ends
  // with Interrupted. May be null. The conversion sets it to its context's.
  const std::atomic<bool>* stop = nullptr;
  // The layers whose tables are written; the sheet's other tables are left
  // as they are.
  LayerSelection layers = {};
  // In a projected system: the extent of the sheet's points, once they are
  // projected (a format whose tables have bounds keeps them inside).
  std::optional<Bounds> extent = {};

  // folder + sheet: the tables' names without layer code and extension.
  std::string prefix() const { return folder + sheet; }
  // The target whose prefix() is `prefix`.
  static SheetTarget AtPrefix(const std::string& prefix, const DatumRule& datum) {
    const std::size_t slash = prefix.find_last_of('/');
    const std::size_t cut = slash == std::string::npos ? 0 : slash + 1;
    return {prefix.substr(0, cut), prefix.substr(cut), datum, nullptr, {}, {}};
  }
};

// The tables of one sheet. They are put in place together: until Commit()
// the earlier tables of the sheet stay as they were, and a sheet output
// destroyed without Commit() leaves them so and removes what it wrote.
class SheetOutput {
 public:
  virtual ~SheetOutput() = default;
  // Creates the layer's table. Throws OutputError.
  virtual std::unique_ptr<TableOutput> CreateTable(const LayerSpec& layer) = 0;
  // Puts every closed table in place of the sheet's earlier ones; the
  // earlier tables of the target's layers this run wrote no table for are
  // removed, so that every table of those layers is of this run (the other
  // layers' tables stay). Throws OutputError, and then every earlier table
  // is as it was.
  virtual void Commit() = 0;
};

// One file holding every sheet of a batch, for formats that can: each row
// says which sheet it came from. Sheets are converted side by side into
// memory and written by one writer in the order of their positions (the
// batch's archive order), so the file does not depend on how many were
// converted at once. It is built under a hidden name and put in place by
// Commit(); destroyed without Commit(), it removes what it wrote and the
// earlier file stays.
class CollectionOutput {
 public:
  virtual ~CollectionOutput() = default;
  // The tables of a sheet at `position`, their rows marked `sheet`.
  // Committing it hands the sheet over, to be written once its position is
  // settled. Throws OutputError, that of the writer once it failed.
  virtual std::unique_ptr<SheetOutput> OpenSheet(std::size_t position,
                                                 const std::string& sheet) = 0;
  // Every sheet of the position has been handed over (`keep`) or is to be
  // left out (the archive failed). Each position is settled once. Waits
  // while the writer is behind by more sheets than the collection holds.
  virtual void Settle(std::size_t position, bool keep) = 0;
  // Whether writing failed; Commit() then throws that error.
  virtual bool failed() const = 0;
  // Writes what every settled position kept, completes the file and puts
  // it in place of the earlier one. Throws OutputError.
  virtual void Commit() = 0;
};

// Whether `path` is a name followed by `extension` (".gpkg"), the extension
// in any letter case: "x.gpkg", "x.GPKG" and "x.Gpkg" all are GeoPackages.
inline bool HasExtension(std::string_view path, std::string_view extension) {
  if (path.size() <= extension.size()) return false;
  const std::string_view end = path.substr(path.size() - extension.size());
  for (std::size_t i = 0; i < end.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(end[i]) != lower(extension[i])) return false;
  }
  return true;
}

// What stands at the path of a file holding every sheet of a batch.
enum class CollectionFile : std::uint8_t {
  kNone,   // nothing
  kOurs,   // a file of the format that Quellmark wrote
  kOther,  // anything else, which is not Quellmark's to replace or add to
};

// What one file holding every sheet of a batch is opened with.
struct CollectionRequest {
  std::string path;           // the file, ending in the format's collection_extension()
  std::size_t positions = 0;  // sheets come at positions 0 to positions - 1
  unsigned jobs = 1;          // converted by this many jobs side by side
  DatumRule datum;            // what the tables declare
  // Add the sheets to the file at `path` (one the format wrote) instead of
  // replacing it: a sheet the file holds already is replaced whole in the
  // tables of `layers`, the rest of the file is kept.
  bool append = false;
  // The layers whose tables the file gets (with `append`, whose tables get
  // the sheets).
  LayerSelection layers = {};
  // Set when the run is asked to stop: writing, index building and
  // completing the file end soon after with Interrupted, leaving the earlier
  // file. May be null.
  const std::atomic<bool>* stop = nullptr;
};

class OutputFormat {
 public:
  virtual ~OutputFormat() = default;
  // The command line's name for it ("tab").
  virtual std::string_view id() const = 0;
  // The window's name for it ("MapInfo TAB").
  virtual std::string_view label() const = 0;
  // Its name in a Japanese sentence ("シェープファイル"), UTF-8.
  virtual std::string_view label_ja() const { return label(); }
  virtual const GeometryRules& geometry_rules() const = 0;
  // The extent the tables at `target` can store, in the target's system:
  // geometry_rules().bounds for longitude and latitude, none for a
  // projected system unless the format says otherwise.
  virtual std::optional<Bounds> TableBounds(const SheetTarget& target) const {
    if (target.datum.projected_epsg != 0) return std::nullopt;
    return geometry_rules().bounds;
  }
  // The files of each layer's table (output prefix + layer code + each),
  // the one a GIS opens last; empty for a format that writes one file per
  // sheet (output prefix + collection_extension()).
  virtual std::span<const std::string_view> table_extensions() const { return {}; }
  // The sheet's tables, named target.prefix() + layer code + the format's
  // extensions. Throws OutputError.
  virtual std::unique_ptr<SheetOutput> OpenSheet(const SheetTarget& target) const = 0;
  // The extension (".gpkg") of one file holding every sheet of a batch, or
  // empty for a format that cannot gather sheets.
  virtual std::string_view collection_extension() const { return {}; }
  // Whether `path` names one file of this format for every sheet: it ends
  // in collection_extension(), in any letter case. The one test of it.
  bool NamesCollection(std::string_view path) const {
    return !collection_extension().empty() && HasExtension(path, collection_extension());
  }
  // What stands at `path`, for a format that gathers sheets.
  virtual CollectionFile FindCollectionFile(const std::string& /*path*/) const {
    return CollectionFile::kOther;
  }
  // That file, as `request` says. Throws OutputError; std::logic_error for
  // a format without collections.
  virtual std::unique_ptr<CollectionOutput> OpenCollection(const CollectionRequest& request) const;
};

// The formats' names in a sentence, in the order the window lists them:
// "ArcInfo shape, MapInfo TAB or GeoPackage"; in Japanese (UTF-8)
// "シェープファイル、MapInfo TAB、GeoPackage".
std::string FormatNames(std::span<const OutputFormat* const> formats);
std::string FormatNamesJa(std::span<const OutputFormat* const> formats);

// The format of `formats` with that id; nullptr for any other id.
const OutputFormat* FindOutputFormat(std::span<const OutputFormat* const> formats,
                                     std::string_view id);

}  // namespace quellmark
