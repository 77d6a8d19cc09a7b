// What the formats written through GDAL share: the driver registered once,
// how a feature becomes a row of a table, and the rules of tables that keep
// every value whole.
#pragma once

#include <gdal.h>
#include <ogr_api.h>

#include <span>
#include <string>
#include <string_view>

#include "convert/output_format.h"
#include "sal/cp932.h"

class OGRFeatureDefn;

namespace quellmark {

// GDAL's driver of that short name ("GPKG", "MapInfo File", "GeoJSON"),
// registered on first use, alone: registering every driver would load
// GDAL's plugins, which takes tens of milliseconds and megabytes of memory.
// Throws std::logic_error for a driver not listed here.
GDALDriverH OgrDriver(std::string_view name);

// Where tables that keep every value whole depart from the catalogue: no
// width, heights as numbers.
std::span<const FieldChange> WholeValueChanges();

// Every feature has the position its own line gives, or none: a point
// stands at the last number of its list and the list is used up; a number
// without a position is left out, so no vertex stands at a made-up 0,0, and
// a feature left without any has no geometry. Any position is stored
// exactly: no bounds.
const GeometryRules& WholeValueGeometryRules();

// Turns the features of one layer into rows of its table.
class OgrRows {
 public:
  // `fields`: the table's, from the field at `first_field` of the row on.
  // `utf8` converts the texts; it is used from one thread at a time.
  OgrRows(std::span<const FieldSpec> fields, Cp932ToUtf8& utf8, int first_field);

  // Sets the row's fields to the feature's values: texts whole, as UTF-8
  // (bytes that are not code page 932 reported), numbers as numbers (a
  // height that is not one reported and left NULL), empty texts NULL.
  void SetFields(const Feature& feature, OGRFeatureH row);
  // The feature's positions into `geometry` (a point or a line string of
  // the layer's kind); false, untouched, for a feature without a position.
  static bool SetGeometry(const Feature& feature, OGRGeometryH geometry);
  // The columns of the layer's table with `fields`, after a text field
  // "sheet" when `sheet_column`, its geometry column named
  // `geometry_column` (empty: the driver's own name): what the table is
  // created with, and what its rows can be made from on any thread before
  // the table exists. Referenced once: the caller releases it.
  static OGRFeatureDefn* Layout(const LayerSpec& layer, std::span<const FieldSpec> fields,
                                bool sheet_column, const char* geometry_column = "");
  // The geometry type of the layer's table.
  static OGRwkbGeometryType GeometryType(const LayerSpec& layer);

 private:
  void SetText(const Feature& feature, const FieldSpec& field, int index, std::string_view text,
               OGRFeatureH row);

  std::span<const FieldSpec> fields_;
  Cp932ToUtf8& utf8_;
  int first_field_;
  std::string text_;
  // A feature name carries over from line to line: it is converted, and
  // reported, once.
  std::string name_cp932_;
  std::string name_utf8_;
  bool name_known_ = false;
};

}  // namespace quellmark
