// What one sheet's conversion owns, and what a driver is given.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include "convert/datum.h"
#include "convert/er_point_table.h"
#include "convert/output_format.h"
#include "sal/coordinates.h"
#include "sal/notify.h"

namespace quellmark {

// One sheet's conversion state: the point tables and the station table. Each
// conversion owns one, so sheets converted side by side share nothing. Its
// storage is kept from sheet to sheet.
struct SheetState {
  CoordinateTables coordinates;
  ErPointTable er_point_table;
  // Made for the first sheet moved onto JGD2000, kept for the rest.
  std::unique_ptr<TokyoToJgd2000> to_jgd2000;
  // Made for the first sheet written in a projected system, kept for the
  // rest that are written in the same.
  std::unique_ptr<Projection> projection;
};

// Where the sheets of a run are written: unless the run gathers them into
// one file, each into the format's own tables.
class SheetDestination {
 public:
  virtual ~SheetDestination() = default;
  // Throws OutputError.
  virtual std::unique_ptr<SheetOutput> OpenSheet(const SheetTarget& target) = 0;
};

// A sheet's place in one file for every sheet of a batch: its tables go
// there, at `position`, marked with the target's sheet name.
class CollectionPlace : public SheetDestination {
 public:
  CollectionPlace(CollectionOutput& collection, std::size_t position)
      : collection_(collection), position_(position) {}
  std::unique_ptr<SheetOutput> OpenSheet(const SheetTarget& target) override {
    return collection_.OpenSheet(position_, target.sheet);
  }

 private:
  CollectionOutput& collection_;
  std::size_t position_;
};

// What the conversion of a sheet works with besides the sheet and where it
// goes.
struct ExportContext {
  SheetState& state;
  Notifier* notifier = nullptr;  // data problems; may be null
  // Called as each layer's conversion starts (progress); may be empty.
  std::function<void(std::string_view layer_code)> layer_started;
  // Called once a layer's table is put in place, with the target's prefix;
  // may be empty.
  std::function<void(std::string_view output_prefix, std::string_view layer_code)> table_written =
      {};
  // Set when the run is asked to stop; the conversion then ends at the next
  // line with Interrupted. May be null.
  const std::atomic<bool>* stop = nullptr;
  // With the target's datum.to_jgd2000, called for each sheet with the
  // operation that moved it ("Tokyo to JGD2000 (1), EPSG:15483, accuracy
  // 9 m"); may be empty.
  std::function<void(std::string_view operation)> datum_moved = {};
  // Where the sheet is written instead of the format's own tables (every
  // sheet of the batch into one file); null for the format's tables.
  SheetDestination* destination = nullptr;
};
}  // namespace quellmark
