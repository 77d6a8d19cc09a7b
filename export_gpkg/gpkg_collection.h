// Every sheet of a batch in one GeoPackage: one table per layer, each row
// marked with its sheet in a "sheet" column.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "convert/output_format.h"

namespace quellmark {

// The GeoPackage at `request.path` (ending ".gpkg"), built under a hidden name
// beside it. Sheets are kept in memory until their position is written;
// the writer, a thread of its own, writes them one transaction per sheet,
// in position order. A job settling a position waits while the writer has
// another settled one to write besides the one it is writing, so at most
// one sheet per job and one more are held, however many sheets the batch
// has. Throws OutputError.
std::unique_ptr<CollectionOutput> OpenGpkgCollection(const CollectionRequest& request);

}  // namespace quellmark
