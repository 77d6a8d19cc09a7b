// Fuzzes the shapefile export: every layer file of a small sheet holds the
// fuzzed bytes, and the whole sheet is converted.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "export_shape/export_shape.h"
#include "layer_fixture.h"
#include "sal/sheet.h"

using namespace quellmark;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto folder =
      fuzz::WriteFuzzSheet(std::string_view(reinterpret_cast<const char*>(data), size));
  static SheetState state;  // reused from sheet to sheet, as a batch does
  ExportContext context{state, nullptr, {}};
  ExportShapefiles((folder / "s").string(), (folder / "out").string(), context);
  return 0;
}
