#include "layers/map_styles.h"

#include <stdexcept>

namespace quellmark {

namespace {

using enum RecordField;
using F = CodeFamily;
using G = MapGroup;

// Colours, 0xRRGGBB.
constexpr std::int32_t kInk = 0x222222;
constexpr std::int32_t kWhite = 0xFFFFFF;
constexpr std::int32_t kWater = 0x1F78C8;
constexpr std::int32_t kWaterLight = 0x8CBDE6;
constexpr std::int32_t kBoundary = 0x8A3C8F;
constexpr std::int32_t kBoundaryLight = 0xB58AB8;
constexpr std::int32_t kRoadCasing = 0x555555;
constexpr std::int32_t kNode = 0x9A9A9A;
constexpr std::int32_t kHeight = 0x7A4A24;

constexpr Look Line(Stroke a, Stroke b = {}, Stroke c = {}) { return {{a, b, c}, {}}; }
constexpr Look Point(Marker marker) { return {{}, marker}; }
constexpr Marker Glyph(std::string_view glyph) {
  return {Mark::kGlyph, 3.0, kInk, kWhite, 0.4, glyph};
}

// Roads, after the map's own symbols: expressways green, wide roads orange
// and yellow between dark casings, roads of 3 to 5.5 m white between grey
// ones, narrower roads a single line, paths dashed. Roads under
// construction are dashed whatever their class; the narrowest classes are
// left out when the map is zoomed out past 1:40,000.
constexpr int kDetail = 40000;
constexpr MapRule kRoadRules[] = {
    {kJt, "12", "道路 ", Line({0.8, 0x8C8C8C, Dash::kDash}, {0.45, kWhite})},
    {kSb, "16", "", Line({1.2, 0x1E5A28}, {0.85, 0x58B55E})},
    {kSb, "1E", "道路 ", Line({0.8, kInk}, {0.5, kWhite})},
    {kSb, "13", "道路 ", Line({0.25, 0x808080, Dash::kDot}), kDetail},
    {kSb, "14", "道路 ", Line({0.35, kInk, Dash::kTicks}), kDetail},
    {kFi, "1B", "道路 幅員", Line({1.1, 0x6B4A2B}, {0.8, 0xF08C3C})},
    {kFi, "1A", "道路 幅員", Line({0.85, 0x6B5B3B}, {0.6, 0xFFD966})},
    {kFi, "19", "道路 幅員", Line({0.55, kRoadCasing}, {0.33, kWhite})},
    {kFi, "18", "道路 幅員", Line({0.15, 0x6E6E6E}), kDetail},
    {kFi, "17", "道路 幅員", Line({0.12, 0x7E7E7E, Dash::kDash}), kDetail},
    {kId, {}, "道路（その他）", Line({0.2, 0x6E6E6E}), kDetail},
};
// Ordinary roads (sb 15) and those in service (jt 11) are drawn by their
// width class.
constexpr Distinction kRoadDistinctions[] = {
    {kSb, F::kRoadKind, false}, {kFi, F::kRoadWidth}, {kJt, F::kRoadState, false}};

// Railways: JR lines black with white dashes, other lines black with
// ticks, trams thin, underground lines dashed grey.
constexpr MapRule kRailwayRules[] = {
    {kJt, "42", "鉄道 ", Line({0.5, kInk, Dash::kDash})},
    {kSb, "43", "", Line({0.8, kInk}, {0.45, kWhite, Dash::kDash})},
    {kSb, "44", "", Line({0.4, kInk}, {1.0, kInk, Dash::kTicks})},
    {kSb, "45", "", Line({0.35, kInk})},
    {kSb, "46", "", Line({0.5, 0x6E6E6E, Dash::kDash})},
    {kSb, "47", "鉄道 ", Line({0.4, 0x4A4A4A, Dash::kDashDot})},
    {kId, {}, "鉄道（その他）", Line({0.45, kInk})},
};
constexpr Distinction kRailwayDistinctions[] = {{kSb, F::kRailwayKind},
                                                {kJt, F::kRailwayState, false}};

// Water lines by kind: coasts and one-line rivers wider, dry rivers
// dashed, the lines that only close an area (river mouths, lake and river
// meeting, centre lines in lakes) light and dotted.
constexpr MapRule kWaterRules[] = {
    {kSr, "52", "", Line({0.3, kWater})},
    {kSr, "51", "", Line({0.2, kWater})},
    {kSr, "50", "", Line({0.2, kWater, Dash::kDash})},
    {kSr, "55", "", Line({0.35, kWater})},
    {kSr, "56", "", Line({0.2, kWater})},
    {kSr, "57", "", Line({0.3, kWater, Dash::kDash})},
    {kSr, "58", "", Line({0.2, kWater, Dash::kDash})},
    {kSr, "53", "", Line({0.15, kWaterLight, Dash::kDot})},
    {kSr, "54", "", Line({0.15, kWaterLight, Dash::kDot})},
    {kSr, "59", "", Line({0.15, kWaterLight, Dash::kDot})},
    {kId, {}, "水涯線（その他）", Line({0.2, kWater})},
};
constexpr Distinction kWaterDistinctions[] = {{kSr, F::kWater}};

constexpr MapRule kRiverRules[] = {{kId, {}, "河川中心線", Line({0.2, kWater})}};

// Boundaries: the higher the rank, the wider, in the map's dash-and-dot
// patterns; undetermined boundaries dashed and light.
constexpr MapRule kBoundaryRules[] = {
    {kSr, "29", "", Line({0.6, kBoundary, Dash::kDashDotDot})},
    {kSr, "2A", "", Line({0.5, kBoundary, Dash::kDashDotDot})},
    {kSr, "2B", "", Line({0.45, kBoundary, Dash::kDashDot})},
    {kSr, "2C", "", Line({0.35, kBoundary, Dash::kDashDotDot})},
    {kSr, "27", "", Line({0.3, kBoundary, Dash::kDashDot})},
    {kSr, "28", "", Line({0.3, kBoundaryLight, Dash::kDash})},
    {kId, {}, "行政界（その他）", Line({0.3, kBoundary, Dash::kDashDot})},
};
constexpr Distinction kBoundaryDistinctions[] = {{kSr, F::kBoundary}};

// Bridges: a dark edge on each side of the road drawn over them; tunnels:
// the road hidden under a white band with a dashed edge; snow sheds: ticks
// across the road.
constexpr MapRule kBridgeRules[] = {
    {kId, {}, "橋", Line({1.1, kInk}, {0.85, kWhite})},
};
constexpr MapRule kTunnelRules[] = {
    {kId, {}, "トンネル", Line({0.8, kWhite}, {0.2, 0x6E6E6E, Dash::kDash})},
};
constexpr MapRule kSnowShedRules[] = {
    {kId, {}, "雪覆い", Line({1.0, 0x4A4A4A, Dash::kTicks})},
};

// Control points: benchmarks a square, triangulation points a triangle,
// both white with a centre dot; GNSS stations a dark triangle.
constexpr MapRule kControlRules[] = {
    {kSr, "61", "", Point({Mark::kSquare, 1.6, kWhite, kInk, 0.25, {}, true})},
    {kSr, "62", "", Point({Mark::kTriangle, 2.1, kWhite, kInk, 0.25, {}, true})},
    {kSr, "63", "", Point({Mark::kTriangle, 2.1, 0x3A3A3A, kInk, 0.25})},
    {kId, {}, "基準点（その他）", Point({Mark::kCircle, 1.2, kWhite, kInk, 0.25, {}, true})},
};
constexpr Distinction kControlDistinctions[] = {{kSr, F::kControlPoint}};
constexpr LabelRule kControlLabels[] = {{kId, {}, 6.5, kInk, false, false, 6, 15000}};

// Height points: 80,000 to a sheet, a grid of heights more than marks to
// read; small brown dots from 1:5,000 on, their heights from 1:2,500 on.
constexpr MapRule kHeightRules[] = {
    {kId, {}, "標高点", Point({Mark::kCircle, 0.5, kHeight, kHeight, 0})},
};
constexpr LabelRule kHeightLabels[] = {{kId, {}, 6.0, kHeight, false, false, 1, 2500}};

// Public facilities, by the map's own signs where a character draws them:
// ◎ local government, ⊗ police, Y fire station, 文 school, ⊕ hospital,
// 〒 post office.
constexpr MapRule kFacilityRules[] = {
    {kSr, "81", "", Point(Glyph("⊙"))},
    {kSr, "82", "", Point(Glyph("◎"))},
    {kSr, "83", "", Point(Glyph("✚"))},
    {kSr, "84", "", Point(Glyph("⊗"))},
    {kSr, "85", "", Point(Glyph("Y"))},
    {kSr, "86", "", Point(Glyph("文"))},
    {kSr, "87", "", Point(Glyph("⊕"))},
    {kSr, "88", "", Point(Glyph("〒"))},
    {kId, {}, "公共施設（その他）", Point({Mark::kCircle, 1.4, kWhite, kInk, 0.3})},
};
constexpr Distinction kFacilityDistinctions[] = {{kSr, F::kFacility}};
constexpr LabelRule kFacilityLabels[] = {{kId, {}, 7.0, 0x333333, false, false, 5, 15000}};

// Stations: a white box with a dark edge, named in bold.
constexpr MapRule kStationRules[] = {
    {kId, {}, "駅", Point({Mark::kSquare, 2.2, kWhite, kInk, 0.45})},
};
constexpr LabelRule kStationLabels[] = {{kId, {}, 8.5, kInk, true, false, 9}};

// Names only: the places and offices a name stands for are not drawn.
constexpr MapRule kNameOnly[] = {{kId, {}, "", {}}};

// Administrative names by rank: offices and municipalities large and bold,
// districts smaller and from 1:30,000 on, sub-districts from 1:15,000 on.
// GD keeps the rank in sb, CM in sr.
constexpr LabelRule Rank(RecordField field, std::string_view code) {
  if (code == "21") return {field, code, 13.0, kInk, true, false, 10};
  if (code == "22" || code == "23") return {field, code, 12.0, kInk, true, false, 10};
  if (code == "24") return {field, code, 11.0, kInk, true, false, 9};
  if (code == "25") return {field, code, 8.5, kInk, false, false, 7, 30000};
  return {field, code, 7.5, 0x444444, false, false, 4, 15000};
}
constexpr LabelRule kAdministrationLabels[] = {
    Rank(kSb, "21"),
    Rank(kSb, "22"),
    Rank(kSb, "23"),
    Rank(kSb, "24"),
    Rank(kSb, "25"),
    Rank(kSb, "26"),
    {kId, {}, 7.5, kInk, false, false, 5, 30000},
};
constexpr Distinction kAdministrationDistinctions[] = {{kSb, F::kAdministration}};

// Place names: settlements upright, natural names slanted in blue-grey,
// land-use names grey and from 1:15,000 on; the offices and districts CM
// also names, by rank.
constexpr LabelRule kPlaceLabels[] = {
    Rank(kSr, "21"),
    Rank(kSr, "22"),
    Rank(kSr, "23"),
    Rank(kSr, "24"),
    Rank(kSr, "25"),
    Rank(kSr, "26"),
    {kSr, "93", 8.0, kInk, false, false, 7},
    {kSr, "91", 7.5, 0x2F4F8F, false, true, 6, 30000},
    {kSr, "92", 7.5, 0x555555, false, false, 4, 15000},
    {kId, {}, 7.5, kInk, false, false, 5, 30000},
};
constexpr Distinction kPlaceDistinctions[] = {{kSr, F::kPlaceName}, {kSr, F::kAdministration}};

// Nodes of the networks: references only, seen from 1:5,000 on.
constexpr MapRule kNodeRules[] = {
    {kId, {}, "節点", Point({Mark::kCircle, 0.6, kNode, kNode, 0})},
};

constexpr MapLayerStyle kStyles[] = {
    {"CM", "地名", G::kNames, true, 0, kNameOnly, kPlaceLabels, "name", kPlaceDistinctions},
    {"GD", "行政代表点", G::kNames, true, 0, kNameOnly, kAdministrationLabels, "name",
     kAdministrationDistinctions},
    {"KJ", "基準点", G::kControl, true, 0, kControlRules, kControlLabels, "hk",
     kControlDistinctions},
    {"MH", "標高点", G::kControl, true, 5000, kHeightRules, kHeightLabels, "hk"},
    {"KO", "公共施設", G::kFacilities, true, 0, kFacilityRules, kFacilityLabels, "name",
     kFacilityDistinctions},
    {"EK", "駅", G::kRailways, true, 0, kStationRules, kStationLabels},
    {"TK", "鉄道", G::kRailways, true, 0, kRailwayRules, {}, "name", kRailwayDistinctions},
    {"TS", "鉄道節点", G::kRailways, false, 5000, kNodeRules},
    {"YO", "雪覆い", G::kRoads, true, 0, kSnowShedRules},
    {"TO", "トンネル", G::kRoads, true, 0, kTunnelRules},
    {"DK", "道路", G::kRoads, true, 0, kRoadRules, {}, "name", kRoadDistinctions},
    {"HA", "橋", G::kRoads, true, 0, kBridgeRules},
    {"DS", "道路節点", G::kRoads, false, 5000, kNodeRules},
    {"GK", "行政界", G::kBoundaries, true, 0, kBoundaryRules, {}, "name", kBoundaryDistinctions},
    {"KK", "河川中心線", G::kWater, true, 0, kRiverRules},
    {"SK", "水涯線", G::kWater, true, 0, kWaterRules, {}, "name", kWaterDistinctions},
    {"KS", "河川節点", G::kWater, false, 5000, kNodeRules},
};

constexpr std::string_view kDrawingOrder[] = {
    "EK", "KJ", "KO", "MH", "CM", "GD", "DS", "TS", "KS",
    "TK", "YO", "TO", "DK", "HA", "GK", "KK", "SK",
};

}  // namespace

const MapLayerStyle& MapStyleOf(const LayerSpec& layer) {
  for (const MapLayerStyle& style : kStyles) {
    if (style.code == layer.code) return style;
  }
  throw std::logic_error("no map style for the layer " + std::string(layer.code));
}

std::span<const MapLayerStyle> MapStyles() { return kStyles; }

std::span<const std::string_view> DrawingOrder() { return kDrawingOrder; }

std::string_view MapGroupTitle(MapGroup group) {
  switch (group) {
    case G::kNames:
      return "注記";
    case G::kControl:
      return "基準点・標高";
    case G::kFacilities:
      return "公共施設";
    case G::kRailways:
      return "鉄道";
    case G::kRoads:
      return "道路";
    case G::kBoundaries:
      return "境界";
    case G::kWater:
      return "水部";
  }
  return {};
}

}  // namespace quellmark
