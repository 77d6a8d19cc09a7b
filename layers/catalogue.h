// The seventeen layers of a map sheet as data: for each, where its lines come
// from, what geometry they give, what passes between layers, and its fields.
// This is the one place where the layers and their order stand; the
// conversion loop walks it, and every output format takes its tables from it,
// saying only where it departs (see FieldChange).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sal/sal_record.h"

namespace quellmark {

enum class LayerInput : std::uint8_t {
  kLayerFile,  // sheet prefix + code + ".sal"
  kListFile,   // sheet prefix + "_" + code + ".txt", fed by the road layers
};

// Whether a layer's lines feed the list files: each line carrying a list
// layer's reference is copied, as read, into that layer's list file.
enum class ListFeed : std::uint8_t {
  kNever,
  kAlways,
  // Where the format's rules ask for it (GeometryRules::
  // every_road_layer_feeds_lists).
  kWhenAsked,
};

enum class LayerGeometry : std::uint8_t { kPoint, kLine };

// Where a layer's positions come from.
enum class Placement : std::uint8_t {
  kPointList,    // the line's point list, in the sheet's point table
  kMhPointList,  // the line's point list, in the MH point table
  kStation,      // the first point of the railway line whose ER reference names the station
};

enum class FieldType : std::uint8_t {
  kText,
  kInteger,
  kReal,  // a text field's value read as a decimal number (StrToDecimal)
};

// Where a field's value comes from.
enum class ValueSource : std::uint8_t {
  kRecordNumber,   // the line's number in its file, 1 for the first
  kFeatureName,    // the "NM" value, carried over from earlier lines
  kRecordText,     // a record field as stored
  kCodeName,       // the Japanese name of a record field's attribute code
  kKb,             // the record's kb number
  kListReference,  // the first of the layer's list candidates that is set, else the id
};

struct FieldSpec {
  std::string_view name;
  FieldType type;
  int width;
  ValueSource source;
  RecordField field = RecordField::kId;  // for kRecordText and kCodeName
  int decimals = 0;
};

struct LayerSpec {
  std::string_view code;
  LayerInput input;
  LayerGeometry geometry;
  Placement placement;
  std::span<const FieldSpec> fields;
  bool registers_stations = false;        // TK: each line's first point, under its ER number
  ListFeed list_feed = ListFeed::kNever;  // DK always, KK when asked
  // A list layer (HA, TO, YO): the reference a road line carries to stand
  // in its list file, and the record fields its "ir" value comes from.
  RecordField list_reference = RecordField::kId;
  std::span<const RecordField> list_candidates = {};
};

// The layers in conversion order. The order carries data: TK fills the
// station table before EK reads it, and DK writes the list files before HA,
// TO and YO read them.
std::span<const LayerSpec> Layers();

// The layer of a code; nullptr for any other code.
const LayerSpec* FindLayer(std::string_view code);

// Whether the layer's lines feed the list files: always (DK), or with
// `when_asked` (KK, where the format's rules ask for it).
bool FeedsListFiles(const LayerSpec& layer, bool when_asked);

// Whether converting `layer` needs `feeder` converted before it: a station
// layer (EK) stands on the lines of the layer that registers stations (TK);
// a list layer (HA, TO, YO) reads the list files the road layers feed (DK;
// KK too with `when_asked`).
bool Feeds(const LayerSpec& feeder, const LayerSpec& layer, bool when_asked);

// Some of the catalogue's layers: the tables a run writes.
class LayerSelection {
 public:
  // Every layer.
  LayerSelection();
  // "DK,TK,EK": those layers; "-MH,-KS": every layer but those. Codes in
  // any letter case, separated by commas. Throws std::invalid_argument
  // saying why, listing the codes, for an unknown code, an empty list, a
  // list that mixes codes with -codes, or one that leaves no layer.
  static LayerSelection Parse(std::string_view list);
  static LayerSelection None();

  bool Has(const LayerSpec& layer) const;
  void Set(const LayerSpec& layer, bool chosen);
  bool all() const;
  bool empty() const { return bits_ == 0; }
  // "DK,TK,EK", in catalogue order; "" for every layer.
  std::string ToString() const;
  bool operator==(const LayerSelection&) const = default;

 private:
  explicit LayerSelection(std::uint32_t bits) : bits_(bits) {}
  std::uint32_t bits_;
};

// The list file of a list layer: sheet prefix + "_" + code + ".txt".
std::string ListFilePath(std::string_view sheet_prefix, const LayerSpec& layer);

// The value of a kListReference field, and the record field it comes from.
std::string_view ListReference(const LayerSpec& layer, const SalRecord& record);
RecordField ListReferenceField(const LayerSpec& layer, const SalRecord& record);

// How an output format's table departs from the catalogue's: for the layers
// named (codes separated by blanks, "*" for all) and the fields named (names
// separated by blanks, "*" for all), drop the field, give it another width or
// number of decimals, or declare it a real number.
struct FieldChange {
  enum Kind : std::uint8_t { kDrop, kWidth, kDecimals, kReal };
  std::string_view layers;
  std::string_view fields;
  Kind kind;
  int value = 0;
};

// A format's tables: every layer's fields with the format's changes applied,
// in catalogue order, made once.
class AdaptedSchemas {
 public:
  // Throws std::logic_error when a change names a layer the catalogue does
  // not have, or a field none of its layers has: a mistyped name fails the
  // format as it is made, never silently changes nothing.
  explicit AdaptedSchemas(std::span<const FieldChange> changes);
  // `layer` must be an entry of Layers().
  std::span<const FieldSpec> Fields(const LayerSpec& layer) const;

 private:
  std::vector<std::vector<FieldSpec>> fields_;
};

}  // namespace quellmark
