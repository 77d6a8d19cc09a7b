// ESRI shapefiles: per layer a point or arc shape file (.shp with its .shx),
// a dBASE table (.dbf) and beside them the code page (.cpg) and coordinate
// system (.prj) files, written through shapelib.
#pragma once

#include "convert/output_format.h"

namespace quellmark {

// "shape", "ArcInfo shape".
const OutputFormat& ShapefileFormat();

}  // namespace quellmark
