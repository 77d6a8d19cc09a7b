// What one sheet's conversion owns, and what a driver is given.
#pragma once

#include <functional>
#include <string_view>

#include "sal/coordinates.h"
#include "sal/er_point_table.h"
#include "sal/notify.h"

namespace quellmark {

// One sheet's conversion state: the point tables and the station table. Each
// conversion owns one, so sheets converted side by side share nothing. Its
// storage is kept from sheet to sheet.
struct SheetState {
  CoordinateTables coordinates;
  ErPointTable er_point_table;
};

// What an export driver works with besides its two prefixes.
struct ExportContext {
  SheetState& state;
  Notifier* notifier = nullptr;  // data problems; may be null
  // Called as each layer's conversion starts (progress); may be empty.
  std::function<void(std::string_view layer_code)> layer_started;
  // Called once a layer's table is written and closed; may be empty.
  std::function<void(std::string_view layer_code)> table_written = {};
};

}  // namespace quellmark
