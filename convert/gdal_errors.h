// Keeping GDAL's own error reports quiet while the outputs read them back.
#pragma once

#include <cpl_error.h>

namespace quellmark {

// GDAL reports through a per-thread handler stack; while one of these lives,
// its messages stay quiet and are read back with CPLGetLastErrorMsg.
class QuietGdalErrors {
 public:
  QuietGdalErrors() {
    CPLPushErrorHandler(CPLQuietErrorHandler);
    CPLErrorReset();
  }
  ~QuietGdalErrors() { CPLPopErrorHandler(); }
  QuietGdalErrors(const QuietGdalErrors&) = delete;
  QuietGdalErrors& operator=(const QuietGdalErrors&) = delete;
};

}  // namespace quellmark
