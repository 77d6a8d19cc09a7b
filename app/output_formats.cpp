#include "app/output_formats.h"

#include <array>

#include "export_gpkg/gpkg_format.h"
#include "export_shape/shapefile_format.h"
#include "export_tab/tab_format.h"

namespace quellmark {

std::span<const OutputFormat* const> OutputFormats() {
  // One line per format.
  static const std::array kFormats{
      &ShapefileFormat(),
      &TabFormat(),
      &GpkgFormat(),
  };
  return kFormats;
}

const OutputFormat& DefaultOutputFormat() { return TabFormat(); }

const OutputFormat* FindOutputFormat(std::string_view id) {
  for (const OutputFormat* format : OutputFormats()) {
    if (format->id() == id) return format;
  }
  return nullptr;
}

}  // namespace quellmark
