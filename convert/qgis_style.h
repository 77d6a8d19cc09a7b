// A layer's QGIS style: a QML document that draws a table as the TAB tables
// are drawn (layers/styles.h), for formats whose readers do not take a
// style from each feature. QGIS applies it on opening the table: from a
// .qml file of the table's name beside it, or from a GeoPackage's
// layer_styles table.
#pragma once

#include <span>
#include <string>

#include "layers/catalogue.h"

namespace quellmark {

// The QML document (UTF-8) for the layer's table with these fields. The
// symbols and pens are the TAB tables': a point layer's symbol in its
// colour and size in points, the KJ colour computed from hk as GradedColour
// computes it, the pen rules as rules of QGIS's rule-based renderer, each
// rule drawing only where no earlier one does; the layers a map shows by
// name are labelled by the "name" field. A rule that tests a field the
// table does not have sees it empty.
std::string QgisStyle(const LayerSpec& layer, std::span<const FieldSpec> fields);

}  // namespace quellmark
