// What one sheet's conversion owns, and what a driver is given.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include "convert/datum.h"
#include "convert/er_point_table.h"
#include "sal/coordinates.h"
#include "sal/notify.h"

namespace quellmark {

class CollectionOutput;

// One sheet's conversion state: the point tables and the station table. Each
// conversion owns one, so sheets converted side by side share nothing. Its
// storage is kept from sheet to sheet.
struct SheetState {
  CoordinateTables coordinates;
  ErPointTable er_point_table;
  // Made for the first sheet moved onto JGD2000, kept for the rest.
  std::unique_ptr<TokyoToJgd2000> to_jgd2000;
};

// What an export driver works with besides its two prefixes.
struct ExportContext {
  SheetState& state;
  Notifier* notifier = nullptr;  // data problems; may be null
  // Called as each layer's conversion starts (progress); may be empty.
  std::function<void(std::string_view layer_code)> layer_started;
  // Called once a layer's table is put in place, with the output prefix the
  // sheet was converted into; may be empty.
  std::function<void(std::string_view output_prefix, std::string_view layer_code)> table_written =
      {};
  // Set when the run is asked to stop; the conversion then ends at the next
  // line with Interrupted. May be null.
  const std::atomic<bool>* stop = nullptr;
  // What the tables declare, and whether positions are moved from the Tokyo
  // datum onto JGD2000.
  DatumRule datum = {};
  // With datum.to_jgd2000, called for each sheet with the operation that
  // moved it ("Tokyo to JGD2000 (1), EPSG:15483, accuracy 9 m"); may be empty.
  std::function<void(std::string_view operation)> datum_moved = {};
  // Where every sheet of the batch goes into one file: the sheets are
  // handed to it, at this position, instead of being written as tables of
  // their own. May be null.
  CollectionOutput* collection = nullptr;
  std::size_t position = 0;
};

}  // namespace quellmark
