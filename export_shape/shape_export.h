// One sheet's shapefile conversion: the layer converters, the one pattern
// they share, and the buffers they reuse from line to line and layer to
// layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "export_shape/layer_schemas.h"
#include "sal/geometry.h"
#include "sal/layer_reader.h"
#include "sal/sheet.h"

namespace quellmark {

class ShapefileOutput;

class ShapeExport {
 public:
  // The sheet's coordinates must be loaded in `context.state`.
  explicit ShapeExport(ExportContext& context);

  // Each converts sheet_prefix + layer_code + ".sal" into
  // output_prefix + layer_code + ".shp" / ".dbf" (HA, TO and YO read
  // sheet_prefix + "_" + layer_code + ".txt"). A missing input skips the
  // layer.
  void ConvertShapeCM(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  void ConvertShapeKJ(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  void ConvertShapeKS(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  void ConvertShapeSK(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  void ConvertShapeGK(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  void ConvertShapeGD(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  void ConvertShapeKO(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  void ConvertShapeMH(const std::string& sheet_prefix, const std::string& output_prefix);
  void ConvertShapeTS(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  // Also registers each railway line's first point under its ER number.
  void ConvertShapeTK(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  // Places each station on the point registered for its number.
  void ConvertShapeEK(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  // Serves "KK" and "DK"; also rewrites the sheet's list files.
  void ConvertShapeDK(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  void ConvertShapeDS(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  void ConvertShapeHA(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  void ConvertShapeTO(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);
  void ConvertShapeYO(const std::string& sheet_prefix, std::string_view layer_code,
                      const std::string& output_prefix);

 private:
  void ConvertLayer(const LayerDef& layer, const std::string& sheet_prefix,
                    std::string_view layer_code, const std::string& output_prefix);
  void WriteShape(const LayerDef& layer, ShapefileOutput& output);
  void WriteAttributes(const LayerDef& layer, std::string_view layer_code, int record,
                       ShapefileOutput& output);
  void GatherVertices(PointSource source);
  void RegisterStation();

  ExportContext& context_;
  SalLayerReader reader_;
  // The vertices of the current line (longitude, latitude, the point number
  // of the first), and zeros for their z and m; both keep their storage and
  // grow for longer lines.
  LineVertices vertices_;
  std::vector<double> vertex_zero_;
};

}  // namespace quellmark
