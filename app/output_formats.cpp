#include "app/output_formats.h"

#include <array>

// The formats, in the order the window and the help list them: one line
// each, naming the function of the format's folder that returns it. The
// folder's library is linked in by its own CMakeLists.txt.
#define QUELLMARK_OUTPUT_FORMATS(FORMAT) \
  FORMAT(ShapefileFormat)                \
  FORMAT(TabFormat)                      \
  FORMAT(GpkgFormat)

namespace quellmark {

#define QUELLMARK_DECLARE_FORMAT(function) const OutputFormat& function();
QUELLMARK_OUTPUT_FORMATS(QUELLMARK_DECLARE_FORMAT)
#undef QUELLMARK_DECLARE_FORMAT

std::span<const OutputFormat* const> OutputFormats() {
#define QUELLMARK_LIST_FORMAT(function) &function(),
  static const std::array kFormats{QUELLMARK_OUTPUT_FORMATS(QUELLMARK_LIST_FORMAT)};
#undef QUELLMARK_LIST_FORMAT
  return kFormats;
}

const OutputFormat& DefaultOutputFormat() { return *FindOutputFormat(OutputFormats(), "tab"); }

}  // namespace quellmark
