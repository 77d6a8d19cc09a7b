// The seventeen TAB layers: one conversion pattern, and per layer the data
// that sets it apart (its schema, placement and style).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "export_tab/tab_writer.h"
#include "sal/geometry.h"
#include "sal/sal_record.h"
#include "sal/sheet.h"

namespace quellmark {

class SalLayerReader;

// 0xRRGGBB from components, in plain integer arithmetic: a component outside
// 0..255 carries into its neighbour.
constexpr std::int32_t RgbColor(std::int32_t r, std::int32_t g, std::int32_t b) {
  return r * 65536 + g * 256 + b;
}

// Where a field's value comes from.
enum class TabValue : std::uint8_t {
  kFeatureName,    // the "NM" value, carried over from earlier lines
  kText,           // the text of a record field
  kCodeName,       // the Japanese name of a record field's attribute code
  kKb,             // the kb number as decimal text
  kListReference,  // HA/TO/YO: the first reference set among the candidates, else the id
};

struct TabField {
  std::string_view name;
  TabFieldType type;
  int width;
  TabValue value;
  RecordField source = RecordField::kId;  // for kText and kCodeName
};

// Where a feature is placed.
enum class TabPlacement : std::uint8_t {
  kFirstPoint,    // first item of the point list; the rest waits for the next line
  kFirstMhPoint,  // the same, in the MH point table
  kStation,       // the first point of the railway line that names the station
  kLine,          // every item of the point list
  kRailway,       // kLine, and the line registers its first point for its station
};

enum class TabStyleRule : std::uint8_t {
  kNone,          // the driver's default pen or symbol
  kSymbol,        // the layer's fixed symbol
  kGradedSymbol,  // the layer's symbol, coloured by the hk value
  kPen,           // the layer's fixed pen
  kRailwayPen,    // by the railway kind
  kRoadPen,       // by width class, road kind and references
};

enum class TabInput : std::uint8_t {
  kLayerFile,  // sheet prefix + code + ".sal"
  kListFile,   // sheet prefix + "_" + code + ".txt", written by the road layer
};

struct TabLayer {
  std::string_view code;
  TabInput input;
  TabPlacement placement;
  std::span<const TabField> fields;
  TabStyleRule style;
  TabSymbol symbol{};
  TabPen pen{};
  bool writes_list_files = false;

  bool is_point_layer() const {
    return placement == TabPlacement::kFirstPoint || placement == TabPlacement::kFirstMhPoint ||
           placement == TabPlacement::kStation;
  }
};

// Symbol of the control points. They were designed with symbol 361, which is
// no MapInfo 3.0 symbol (those run from 31 to 67) and which the driver, keeping
// symbol numbers in one byte, would store as 105. The solid triangle, the
// usual mark of a survey point, stands in for it; size and colour are kept.
inline constexpr int kControlPointSymbol = 36;

// Every table's extent. MapInfo stores coordinates as integers over the
// table's bounds; the driver spreads the bounds over -1e9..1e9. Bounds
// 2e9 / 36e6 = 55.55...° wide make one integer step exactly 0.0001 arc second,
// the unit of the map data, so every point of the data is stored exactly.
// Centred on 130°E 35°N they reach from 102.2°E to 157.8°E and from 7.2°N to
// 62.8°N, all of Japan with room to spare.
inline constexpr double kTabHalfSpan = 1e9 / 36e6;
inline constexpr TabBounds kTabBounds{130.0 - kTabHalfSpan, 35.0 - kTabHalfSpan,
                                      130.0 + kTabHalfSpan, 35.0 + kTabHalfSpan};
inline constexpr char kTabCoordSys[] = "CoordSys Earth Projection 1, 33";

// The layer of a code ("CM" ... "YO"); nullptr for any other code.
const TabLayer* FindTabLayer(std::string_view code);

// The hk colour of a control point: 0xFF0000 divided by the height (at least
// 1), rounded half to even. False when the text is not a decimal number.
bool GradedColour(std::string_view hk, std::int32_t& colour);

// One sheet's TAB conversion: the converters and what they share.
class TabSheetConversion {
 public:
  explicit TabSheetConversion(ExportContext& context) : context_(context) {}

  void ConvertTabCM(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabKJ(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabKS(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabKK(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabSK(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabGK(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabGD(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabKO(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabMH(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabTS(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabTK(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabEK(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabDK(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabDS(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabHA(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabTO(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);
  void ConvertTabYO(const std::string& sheet_prefix, std::string_view layer_code,
                    const std::string& output_prefix);

 private:
  // The one pattern behind every converter. `layer_code` names the files.
  void Convert(const TabLayer& layer, const std::string& sheet_prefix, std::string_view layer_code,
               const std::string& output_prefix);
  // Writes the feature of the line just read; false when its style had to
  // be replaced by the nearest one the table holds.
  bool WriteLine(const TabLayer& layer, SalLayerReader& reader, TabTable& table);
  void Place(const TabLayer& layer, SalLayerReader& reader, TabFeature& feature);
  // Looks point n up; false (no vertex) when it has no coordinates or lies
  // outside the table's bounds.
  bool Resolve(std::int32_t n, PointSource source, const Reporter& reporter, double& x, double& y);
  // Gathers the whole point list into the vertex arrays and uses the list
  // up; false when the list held no item (else `first` is the first item).
  bool GatherVertices(std::string& point_list, const Reporter& reporter, std::int32_t& first);
  void StylePoint(const TabLayer& layer, const SalLayerReader& reader, TabFeature& feature);
  void StyleLine(const TabLayer& layer, const SalRecord& record, TabFeature& feature);

  ExportContext& context_;
  TabCoordSys coordsys_{kTabCoordSys};
  // The vertices of the line being written; the storage grows to the
  // longest line and is kept from line to line.
  std::vector<double> tab_vertex_x_;
  std::vector<double> tab_vertex_y_;
  bool reported_outside_ = false;  // once per layer
};

}  // namespace quellmark
