// Shapefile export: one point or arc shapefile (.shp, .shx, .dbf, with .cpg
// and .prj) per layer of a sheet, written through shapelib.
#pragma once

#include <string>

#include "sal/sheet.h"

namespace quellmark {

// Converts the layer set `sheet_prefix` + suffix into the shapefiles
// `output_prefix` + layer code + extension, in the fixed layer order CM, KJ,
// KS, KK, SK, GK, GD, KO, MH, TS, TK, EK, DK, DS, HA, TO, YO.
//
// Clears the sheet's station table, then loads its coordinates; a sheet with
// neither point file yields nothing. A layer whose input does not open is
// skipped. Data problems go to `context.notifier`, each with its file and
// line. Throws InputError (the sheet cannot be read: a missing ".slm", a read
// error) and OutputError (an output cannot be created or written); the layer
// being written when that happens leaves no files behind, and the later layers
// are not converted.
void ExportShapefiles(const std::string& sheet_prefix, const std::string& output_prefix,
                      ExportContext& context);

}  // namespace quellmark
