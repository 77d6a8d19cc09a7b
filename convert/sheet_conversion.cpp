#include "convert/sheet_conversion.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <vector>

#include "convert/list_files.h"
#include "sal/attribute_codes.h"
#include "sal/errors.h"
#include "sal/geometry.h"

namespace quellmark {

std::string_view Feature::Text(const FieldSpec& field) const {
  switch (field.source) {
    case ValueSource::kFeatureName:
      return reader.feature_name();
    case ValueSource::kRecordText:
      return FieldText(record(), field.field);
    case ValueSource::kCodeName:
      return AttributeCodeName(FieldText(record(), field.field));
    case ValueSource::kListReference:
      return ListReference(layer, record());
    case ValueSource::kRecordNumber:
    case ValueSource::kKb:
      break;
  }
  return {};
}

std::unique_ptr<CollectionOutput> OutputFormat::OpenCollection(const CollectionRequest&) const {
  throw std::logic_error(std::string(label()) + " cannot hold several sheets in one file");
}

std::int32_t Feature::Integer(const FieldSpec& field) const {
  switch (field.source) {
    case ValueSource::kRecordNumber:
      return index + 1;
    case ValueSource::kKb:
      return record().kb;
    default:
      return 0;
  }
}

std::string_view Feature::LegacyRecordText(RecordField field) const {
  return LegacyFieldText(record(), field);
}

namespace {

LegacyValue Whole(std::string_view text) { return {text, text.size()}; }

LegacyValue LegacyRecordValue(const SalRecord& record, RecordField field) {
  const std::string_view whole = FieldText(record, field);
  return {LegacyCut(whole, field), whole.size()};
}

}  // namespace

LegacyValue Feature::LegacyText(const FieldSpec& field) const {
  switch (field.source) {
    case ValueSource::kRecordText:
      return LegacyRecordValue(record(), field.field);
    case ValueSource::kCodeName:
      return Whole(AttributeCodeName(LegacyRecordText(field.field)));
    case ValueSource::kListReference:
      return LegacyRecordValue(record(), ListReferenceField(layer, record()));
    default:
      return Whole(Text(field));
  }
}

std::int32_t Feature::LegacyInteger(const FieldSpec& field) const {
  const std::int32_t value = Integer(field);
  return field.source == ValueSource::kKb ? LegacyKb(value) : value;
}

namespace {

// One sheet's conversion: the reader, the vertex buffers it reuses from line
// to line and layer to layer, and the sheet's state.
class SheetConversion {
 public:
  SheetConversion(const OutputFormat& format, const SheetTarget& target, ExportContext& context)
      : format_(format),
        rules_(format.geometry_rules()),
        bounds_(format.TableBounds(target)),
        context_(context),
        reader_(context.notifier) {}

  // False when the layer has no input (and so no table). Without a sheet
  // the layer is read for what it feeds (stations, list files) only.
  bool ConvertLayer(const LayerSpec& layer, const LayerSet& layer_set, SheetOutput* sheet);

  // Throws Interrupted when the run was asked to stop.
  void CheckStop() const {
    if (context_.stop != nullptr && context_.stop->load(std::memory_order_relaxed)) {
      throw Interrupted(reader_.path(), reader_.line_number(), "interrupted");
    }
  }

 private:
  // Turns the current line's point list (or station) into x_, y_; returns
  // the number of positions.
  std::size_t Resolve(const LayerSpec& layer);
  // Looks point n up and adds it as a position, unless the format leaves
  // unplaced points out; false when it was left out. `placed`, when given,
  // is set to whether n had a position the table can hold.
  bool Add(std::int32_t n, PointSource source, bool* placed = nullptr);

  const OutputFormat& format_;
  const GeometryRules& rules_;
  std::optional<Bounds> bounds_;  // of the tables at the target
  ExportContext& context_;
  SalLayerReader reader_;
  std::vector<double> x_;
  std::vector<double> y_;
  bool reported_outside_ = false;  // once per layer
};

bool SheetConversion::ConvertLayer(const LayerSpec& layer, const LayerSet& layer_set,
                                   SheetOutput* sheet) {
  const std::string code(layer.code);
  const std::string input = layer.input == LayerInput::kListFile
                                ? ListFilePath(layer_set.prefix(), layer)
                                : layer_set.Path(code + ".sal");
  if (!reader_.Open(input)) return false;
  struct ReaderCloser {
    SalLayerReader& reader;
    ~ReaderCloser() { reader.Close(); }
  } closer{reader_};

  std::optional<ListFileWriter> list_files;
  if (FeedsListFiles(layer, rules_.every_road_layer_feeds_lists)) {
    list_files.emplace(layer_set.prefix());
  }
  const std::unique_ptr<TableOutput> table = sheet != nullptr ? sheet->CreateTable(layer) : nullptr;
  reported_outside_ = false;
  for (int index = 0; reader_.Next(); ++index) {
    CheckStop();
    const std::size_t count = Resolve(layer);
    if (table) table->Write(Feature{layer, reader_, index, count, x_.data(), y_.data()});
    if (list_files) list_files->Copy(reader_.raw_line(), reader_.record());
  }
  reader_.Close();
  if (list_files) list_files->Close();
  if (table) table->Close();
  return true;
}

bool SheetConversion::Add(std::int32_t n, PointSource source, bool* placed_out) {
  double x = 0.0;
  double y = 0.0;
  bool placed = ResolvePoint(context_.state.coordinates, source, n, x, y, reader_.reporter());
  if (placed && bounds_) {
    const Bounds& b = *bounds_;
    if (x < b.west || x > b.east || y < b.south || y > b.north) {
      if (!reported_outside_) {
        reader_.reporter().Report("point " + std::to_string(n) +
                                  " lies outside the bounds the table can hold; left out");
        reported_outside_ = true;
      }
      placed = false;
    }
  }
  if (placed_out != nullptr) *placed_out = placed;
  if (!placed && !rules_.keep_unplaced) return false;
  x_.push_back(x);
  y_.push_back(y);
  return true;
}

std::size_t SheetConversion::Resolve(const LayerSpec& layer) {
  x_.clear();
  y_.clear();
  const SalRecord& record = reader_.record();
  if (layer.placement == Placement::kStation) {
    // A station stands on the first point of the railway line that named it;
    // one no line of this sheet named has no position.
    std::int32_t n = 0;
    // Station numbers are read from the ID and the ER reference as the
    // legacy tables keep them, in every format, so a station stands at the
    // same place in every format.
    const std::string_view id = LegacyFieldText(record, RecordField::kId);
    // A station takes its position from another layer's line, so nothing
    // on its own line shows why it has none: each one left without is
    // named, with the reason.
    const auto unplaced = [this, &record](const std::string& why) {
      reader_.reporter().Report((record.id.empty() ? std::string("a station without an id")
                                                   : "station " + std::string(record.id)) +
                                " has no position: " + why);
    };
    if (!context_.state.er_point_table.Get(StationNumberOfId(id), n)) {
      unplaced("no railway line (TK) of this sheet names it");
    } else if (bool placed = false; !Add(n, PointSource::kPointTable, &placed) || !placed) {
      unplaced("point " + std::to_string(n) +
               ", where the railway line naming it starts, has none");
    }
    return x_.size();
  }

  const PointSource source = layer.placement == Placement::kMhPointList ? PointSource::kMhPointTable
                                                                        : PointSource::kPointTable;
  std::string& list = reader_.point_list();
  std::string_view rest = list;
  std::int32_t n = 0;
  if (layer.geometry == LayerGeometry::kPoint &&
      rules_.point_item == GeometryRules::PointItem::kFirst) {
    if (TakePointNumber(rest, n)) {
      list.erase(0, list.size() - rest.size());
      Add(n, source);
    }
    return x_.size();
  }

  std::optional<std::int32_t> first;
  bool last_added = false;
  while (TakePointNumber(rest, n)) {
    if (!first) first = n;
    last_added = Add(n, source);
  }
  // The list is used up: a following line without a list of its own has no
  // position, not this one's.
  list.clear();
  if (layer.geometry == LayerGeometry::kPoint && !last_added) {
    // A point stands at the last number of its list: where the format left
    // that number out, nowhere.
    x_.clear();
    y_.clear();
  } else if (layer.geometry == LayerGeometry::kPoint && x_.size() > 1) {
    x_.front() = x_.back();
    y_.front() = y_.back();
    x_.resize(1);
    y_.resize(1);
  }
  if (layer.registers_stations && first && !record.erir.empty()) {
    // A number outside the table registers nothing.
    context_.state.er_point_table.Set(
        StationNumberOfReference(LegacyFieldText(record, RecordField::kErir)), *first);
  }
  return x_.size();
}

// The extent of every point of the sheet; none without a point.
std::optional<Bounds> ExtentOf(CoordinateTables& coordinates) {
  std::optional<Bounds> extent;
  for (PointTable* table : {&coordinates.point_table(), &coordinates.mh_point_table()}) {
    for (const CoordPoint& point : table->points()) {
      if (!extent)
        extent = Bounds{point.longitude, point.latitude, point.longitude, point.latitude};
      extent->west = std::min(extent->west, point.longitude);
      extent->east = std::max(extent->east, point.longitude);
      extent->south = std::min(extent->south, point.latitude);
      extent->north = std::max(extent->north, point.latitude);
    }
  }
  return extent;
}

}  // namespace

void ConvertSheet(const std::string& sheet_prefix, const std::string& output_prefix,
                  const OutputFormat& format, ExportContext& context, const DatumRule& datum) {
  ConvertSheet(LayerSet::AtPrefix(sheet_prefix), SheetTarget::AtPrefix(output_prefix, datum),
               format, context);
}

void ConvertSheet(const LayerSet& layer_set, const SheetTarget& where, const OutputFormat& format,
                  ExportContext& context) {
  SheetTarget target = where;
  target.stop = context.stop;
  // Stations are placed only by railway lines of the same sheet.
  context.state.er_point_table.Clear();
  if (!context.state.coordinates.LoadCoordinates(layer_set)) return;
  if (target.datum.to_jgd2000) {
    SheetState& state = context.state;
    if (!state.to_jgd2000) state.to_jgd2000 = std::make_unique<TokyoToJgd2000>();
    const std::string operation = state.to_jgd2000->Apply(state.coordinates, layer_set.Path(".slp"),
                                                          layer_set.Path("MH.slp"), context.stop);
    if (context.datum_moved && !operation.empty()) context.datum_moved(operation);
  }
  if (target.datum.projected_epsg != 0) {
    SheetState& state = context.state;
    const int from = GeographicEpsg(target.datum);
    if (!state.projection || state.projection->from() != from ||
        state.projection->to() != target.datum.projected_epsg) {
      state.projection = std::make_unique<Projection>(from, target.datum.projected_epsg);
    }
    state.projection->Apply(state.coordinates, layer_set.Path(".slp"), layer_set.Path("MH.slp"),
                            context.stop);
    target.extent = ExtentOf(state.coordinates);
  }

  const std::unique_ptr<SheetOutput> sheet = context.destination != nullptr
                                                 ? context.destination->OpenSheet(target)
                                                 : format.OpenSheet(target);
  SheetConversion conversion(format, target, context);
  std::vector<std::string_view> tables;
  const bool when_asked = format.geometry_rules().every_road_layer_feeds_lists;
  for (const LayerSpec& layer : Layers()) {
    // A layer not asked for is still read when a layer asked for needs it
    // (EK's stations stand on TK's lines), but gets no table.
    const bool asked = target.layers.Has(layer);
    bool needed = asked;
    for (const LayerSpec& later : Layers()) {
      needed = needed || (target.layers.Has(later) && Feeds(layer, later, when_asked));
    }
    if (!needed) continue;
    if (context.layer_started) context.layer_started(layer.code);
    if (conversion.ConvertLayer(layer, layer_set, asked ? sheet.get() : nullptr) && asked) {
      tables.push_back(layer.code);
    }
  }
  conversion.CheckStop();
  sheet->Commit();
  if (context.table_written) {
    const std::string prefix = target.prefix();
    for (std::string_view code : tables) context.table_written(prefix, code);
  }
}

}  // namespace quellmark
