// How each layer is drawn on a map read at 1:25,000: what each kind of
// feature looks like (sizes in millimetres on the map, colours after the
// conventions of Japan's 1:25,000 topographic maps), which features are seen
// only when zoomed in, what is labelled and how, the Japanese names the
// legend and the layer tree show, and each layer's group and drawing order
// in a project. The QGIS styles and projects are generated from this data.
// The TAB tables keep the symbols and pens they carry on every feature
// (layers/styles.h).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "layers/catalogue.h"
#include "sal/attribute_codes.h"

namespace quellmark {

enum class Dash : std::uint8_t {
  kSolid,
  kDash,        // - - -
  kDot,         // · · ·
  kDashDot,     // — · —
  kDashDotDot,  // — · · —
  kTicks,       // short strokes across the line
};

// One line drawn along a feature; a line's look is up to three, drawn
// bottom first (a casing, a fill, a centre).
struct Stroke {
  double width = 0;  // mm; 0: not drawn
  std::int32_t colour = 0;
  Dash dash = Dash::kSolid;
};

enum class Mark : std::uint8_t {
  kNone,
  kCircle,
  kSquare,
  kTriangle,
  kGlyph,  // a character of the map's font
};

struct Marker {
  Mark mark = Mark::kNone;
  double size = 0;  // mm
  std::int32_t fill = 0;
  std::int32_t outline = 0;
  double outline_width = 0;     // mm
  std::string_view glyph = {};  // kGlyph: one character, UTF-8
  bool dot = false;             // a dot at the centre, as survey marks have
};

struct Look {
  Stroke strokes[3] = {};
  Marker marker = {};
};

// Draws the features whose `field` holds `code` that no earlier rule of the
// layer draws; a rule without a code draws all the rest.
struct MapRule {
  RecordField field = RecordField::kId;
  std::string_view code = {};
  // The legend's entry: this caption, then the code's name in the attribute
  // dictionary; without a code, the caption alone.
  std::string_view caption = {};
  Look look = {};
  int max_scale = 0;  // drawn at 1:max_scale and closer only; 0: at every scale
};

// The labels of the features whose `field` holds `code`; without a code,
// of the features no earlier label rule takes.
struct LabelRule {
  RecordField field = RecordField::kId;
  std::string_view code = {};
  double size = 0;  // points
  std::int32_t colour = 0;
  bool bold = false;
  bool italic = false;
  int priority = 5;   // 0 to 10: the higher is placed first where labels compete
  int max_scale = 0;  // shown at 1:max_scale and closer only; 0: at every scale
};

enum class MapGroup : std::uint8_t {
  kNames,
  kControl,
  kFacilities,
  kRailways,
  kRoads,
  kBoundaries,
  kWater,
};

// A code field whose values the rules tell apart. With `every_code`, each
// code of the family has a rule of its own; without, the rules single out
// some codes (roads under construction) and the rest are drawn by what the
// later rules test.
struct Distinction {
  RecordField field;
  CodeFamily family;
  bool every_code = true;
};

struct MapLayerStyle {
  std::string_view code;
  std::string_view title;  // UTF-8, e.g. 「道路」
  MapGroup group;
  bool shown = true;  // on when a project opens (the node layers are off)
  int max_scale = 0;  // the whole layer at 1:max_scale and closer only
  std::span<const MapRule> rules;
  std::span<const LabelRule> labels = {};
  std::string_view label_field = "name";  // the field the labels show
  std::span<const Distinction> distinguishes = {};
};

// The layer's style; every layer of the catalogue has one.
const MapLayerStyle& MapStyleOf(const LayerSpec& layer);

// Every style, one per layer, in the order of the layer tree: by group,
// and within a group from top to bottom.
std::span<const MapLayerStyle> MapStyles();

// The layers' codes in drawing order, the topmost first: points over
// lines, railways over roads over boundaries over water.
std::span<const std::string_view> DrawingOrder();

// The group's title in the layer tree, UTF-8 (「道路」).
std::string_view MapGroupTitle(MapGroup group);

// The font labels and glyphs are drawn in: a Japanese Gothic.
inline constexpr std::string_view kMapFont = "IPAGothic";

}  // namespace quellmark
