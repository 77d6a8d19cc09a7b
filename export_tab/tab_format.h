// MapInfo TAB tables (.tab with .map, .dat and .id), written through GDAL's
// MapInfo driver behind the MITAB-shaped writer of tab_writer.h: per layer
// one table of points or polylines, each feature with the layer's symbol or
// pen.
#pragma once

#include <span>
#include <string_view>

#include "convert/datum.h"
#include "convert/output_format.h"
#include "export_tab/tab_writer.h"

namespace quellmark {

// "tab", "MapInfo TAB".
const OutputFormat& TabFormat();

// The fields of a layer's TAB table.
std::span<const FieldSpec> TabFields(const LayerSpec& layer);

// Whether the layer's features carry a symbol or pen of their own.
bool TabLayerStyled(const LayerSpec& layer);

// Every table's extent. MapInfo stores coordinates as integers over the
// table's bounds; the driver spreads the bounds over -1e9..1e9. Bounds
// 2e9 / 36e6 = 55.55...° wide make one integer step exactly 0.0001 arc second,
// the unit of the map data, so every point of the data is stored exactly.
// Centred on 130°E 35°N they reach from 102.2°E to 157.8°E and from 7.2°N to
// 62.8°N, all of Japan with room to spare.
inline constexpr double kTabHalfSpan = 1e9 / 36e6;
inline constexpr TabBounds kTabBounds{130.0 - kTabHalfSpan, 35.0 - kTabHalfSpan,
                                      130.0 + kTabHalfSpan, 35.0 + kTabHalfSpan};
// The coordinate system tables declare unless a datum is chosen.
inline constexpr const char* kTabCoordSys = kAsBeforeTabCoordSys;

}  // namespace quellmark
