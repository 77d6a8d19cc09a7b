// The seventeen shapefile layers as data: each layer's attribute table (field
// name, type, width, decimals and where its value comes from) and the few
// ways a layer differs from the common pattern.
#pragma once

#include <shapefil.h>

#include <cstdint>
#include <span>

#include "sal/geometry.h"
#include "sal/sal_record.h"

namespace quellmark {

enum class ValueSource : std::uint8_t {
  kRecordNumber,   // 1 for the first line of the input
  kFeatureName,    // the "NM" value, carried over from line to line
  kRecordText,     // a SalRecord text field as stored
  kCodeName,       // the decoded name of a SalRecord code field
  kKb,             // the SalRecord's kb integer
  kListReference,  // the "ir" choice of the HA, TO and YO layers
};

struct FieldDef {
  const char* name;
  DBFFieldType type;
  int width;
  int decimals;
  ValueSource source;
  RecordField field;  // for kRecordText and kCodeName
};

enum class ShapeKind : std::uint8_t { kPoint, kArc };

// Where a feature's position comes from.
enum class Placement : std::uint8_t {
  kPointList,     // points: the last number of the list; arcs: every number
  kStationTable,  // EK: the station table entry named by the record's id
};

enum class LayerInput : std::uint8_t {
  kLayerFile,  // sheet prefix + code + ".sal"
  kListFile,   // sheet prefix + "_" + code + ".txt"
};

struct LayerDef {
  ShapeKind kind = ShapeKind::kPoint;
  std::span<const FieldDef> fields;  // in table order; the first is "no"
  LayerInput input = LayerInput::kLayerFile;
  PointSource points = PointSource::kPointTable;
  Placement placement = Placement::kPointList;
  bool registers_stations = false;  // TK: fills the station table
  bool writes_list_files = false;   // KK, DK: copy referencing lines to the list files
};

extern const LayerDef kCmLayer;
extern const LayerDef kKjLayer;
extern const LayerDef kKoLayer;
extern const LayerDef kGdLayer;
extern const LayerDef kEkLayer;
extern const LayerDef kKsLayer;
extern const LayerDef kTsLayer;
extern const LayerDef kDsLayer;
extern const LayerDef kMhLayer;
extern const LayerDef kSkLayer;
extern const LayerDef kGkLayer;
extern const LayerDef kTkLayer;
extern const LayerDef kRoadLayer;      // KK and DK
extern const LayerDef kListLineLayer;  // HA, TO and YO

}  // namespace quellmark
