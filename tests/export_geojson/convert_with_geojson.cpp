// quellmark-convert with the test-only GeoJSON format added to the
// program's registry: the one line a new format takes.
#include <vector>

#include "app/output_formats.h"
#include "cli/convert_main.h"

namespace quellmark {
const OutputFormat& GeoJsonFormat();
}

int main(int argc, char** argv) {
  using namespace quellmark;
  std::vector<const OutputFormat*> formats(OutputFormats().begin(), OutputFormats().end());
  formats.push_back(&GeoJsonFormat());
  return ConvertMain(argc, argv, formats, DefaultOutputFormat());
}
