// GDAL file access through BufferedFile. The MapInfo driver writes each
// record of a table after a seek, marks the end of the .dat file after every
// record (to overwrite the mark with the next one) and flushes; through
// GDAL's own local files that costs several system calls per record, through
// this none: a flush leaves the bytes in the buffer, which only the same
// handle reads. A failed write is reported as a GDAL error (CE_Failure), at
// the latest when the file closes.
#pragma once

#include <string>

namespace quellmark {

// The name under which GDAL reaches the local file `path` through
// BufferedFile.
std::string BufferedGdalName(const std::string& path);

// `text` (a GDAL message) with every such name turned back into the local
// file name.
std::string LocalFileNames(std::string text);

}  // namespace quellmark
