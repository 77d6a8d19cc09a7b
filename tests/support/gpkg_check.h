// What every GeoPackage the program writes must pass, checked by programs
// other than ours.
#pragma once

#include <string>

namespace quellmark::testing {

// The file passes GDAL's GeoPackage validator (validate_gpkg.py), and
// SQLite finds each spatial index the file declares whole (rtreecheck:
// every node within its parent, every row and node recorded once). Adds
// GoogleTest failures naming the file.
void ExpectValidGpkg(const std::string& path);

}  // namespace quellmark::testing
