// A layer's QGIS style: a QML document that draws a table as a map read at
// 1:25,000 is drawn (layers/map_styles.h), for formats whose readers do not
// take a style from each feature. QGIS applies it on opening the table:
// from a .qml file of the table's name beside it, or from a GeoPackage's
// layer_styles table.
#pragma once

#include <span>
#include <string>

#include "layers/catalogue.h"

namespace quellmark {

// The QML document (UTF-8) for the layer's table with these fields: the
// layer's rules as rules of QGIS's rule-based renderer (each drawing only
// where no earlier one does, legend entries in Japanese from the attribute
// dictionary), its labels as rule-based labels, and the scales it is seen
// at. A rule that tests a field the table does not have is left out.
std::string QgisStyle(const LayerSpec& layer, std::span<const FieldSpec> fields);

}  // namespace quellmark
