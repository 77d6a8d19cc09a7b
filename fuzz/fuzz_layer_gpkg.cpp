// Fuzzes the GeoPackage export: one layer file of a small sheet holds the fuzzed
// bytes (the first byte picks the layer), and the whole sheet is converted.
#include <cstddef>
#include <cstdint>

#include "export_gpkg/gpkg_format.h"
#include "layer_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quellmark::SheetState state;
  return quellmark::fuzz::ConvertFuzzSheet(data, size, state, quellmark::GpkgFormat());
}
