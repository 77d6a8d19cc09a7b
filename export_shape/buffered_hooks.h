// shapelib's file hooks over BufferedFile: the library writes each shape and
// each table record after a seek, which through the C library's streams
// costs several system calls per record; through these it costs none.
#pragma once

#include <shapefil.h>

namespace quellmark {

// Default hooks (error reporting, number parsing) with file access through
// BufferedFile. A failed write surfaces at the latest when the file closes:
// FClose then returns EOF with errno set.
SAHooks BufferedFileHooks();

}  // namespace quellmark
