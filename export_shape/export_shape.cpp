#include "export_shape/export_shape.h"

#include <optional>

#include "export_shape/shape_export.h"
#include "export_shape/shapefile_output.h"
#include "sal/attribute_codes.h"
#include "sal/geometry.h"
#include "sal/list_files.h"
#include "sal/tokenizer.h"

namespace quellmark {

ShapeExport::ShapeExport(ExportContext& context) : context_(context), reader_(context.notifier) {}

void ShapeExport::ConvertShapeCM(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kCmLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeKJ(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kKjLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeKS(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kKsLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeSK(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kSkLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeGK(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kGkLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeGD(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kGdLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeKO(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kKoLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeMH(const std::string& sheet_prefix,
                                 const std::string& output_prefix) {
  ConvertLayer(kMhLayer, sheet_prefix, "MH", output_prefix);
}
void ShapeExport::ConvertShapeTS(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kTsLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeTK(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kTkLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeEK(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kEkLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeDK(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kRoadLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeDS(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kDsLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeHA(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kListLineLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeTO(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kListLineLayer, sheet_prefix, layer_code, output_prefix);
}
void ShapeExport::ConvertShapeYO(const std::string& sheet_prefix, std::string_view layer_code,
                                 const std::string& output_prefix) {
  ConvertLayer(kListLineLayer, sheet_prefix, layer_code, output_prefix);
}

void ShapeExport::ConvertLayer(const LayerDef& layer, const std::string& sheet_prefix,
                               std::string_view layer_code, const std::string& output_prefix) {
  std::string input = sheet_prefix;
  if (layer.input == LayerInput::kListFile) input += '_';
  input += layer_code;
  input += layer.input == LayerInput::kListFile ? ".txt" : ".sal";
  if (!reader_.Open(input)) return;
  struct ReaderCloser {
    SalLayerReader& reader;
    ~ReaderCloser() { reader.Close(); }
  } closer{reader_};

  std::optional<ListFileWriter> list_files;
  if (layer.writes_list_files) list_files.emplace(sheet_prefix);
  ShapefileOutput output(output_prefix + std::string(layer_code), layer.kind, layer.fields);

  for (int record = 0; reader_.Next(); ++record) {
    if (list_files) list_files->Copy(reader_.raw_line(), reader_.record());
    WriteShape(layer, output);
    WriteAttributes(layer, layer_code, record, output);
  }
  reader_.Close();
  if (list_files) list_files->Close();
  output.Close();
  if (context_.table_written) context_.table_written(layer_code);
}

void ShapeExport::GatherVertices(PointSource source) {
  std::string& list = reader_.point_list();
  GatherLine(list, context_.state.coordinates, source, reader_.reporter(), vertices_);
  if (vertex_zero_.size() < vertices_.x.size()) vertex_zero_.resize(vertices_.x.size(), 0.0);
  // The list is used up: a following line without a list of its own has no
  // position, not this one's.
  list.clear();
}

void ShapeExport::RegisterStation() {
  const std::string_view reference = reader_.record().erir;
  if (reference.empty() || vertices_.count == 0) return;
  // A number outside the table registers nothing.
  context_.state.er_point_table.Set(StationNumberOfReference(reference), vertices_.first_point);
}

void ShapeExport::WriteShape(const LayerDef& layer, ShapefileOutput& output) {
  if (layer.placement == Placement::kStationTable) {
    reader_.point_list().clear();
    std::int32_t n = 0;
    if (!context_.state.er_point_table.Get(StationNumberOfId(reader_.record().id), n)) {
      output.WriteNull();  // no railway line of this sheet names the station
      return;
    }
    double x = 0.0;
    double y = 0.0;
    context_.state.coordinates.LookupPoint(n, x, y, reader_.reporter());
    output.WritePoint(x, y);
    return;
  }

  GatherVertices(layer.points);
  if (layer.registers_stations) RegisterStation();
  if (layer.kind == ShapeKind::kArc) {
    output.WriteArc(static_cast<int>(vertices_.count), vertices_.x.data(), vertices_.y.data(),
                    vertex_zero_.data(), vertex_zero_.data());
  } else if (vertices_.count > 0) {
    // A point stands at the last number of its list.
    output.WritePoint(vertices_.x[vertices_.count - 1], vertices_.y[vertices_.count - 1]);
  } else {
    output.WriteNull();
  }
}

void ShapeExport::WriteAttributes(const LayerDef& layer, std::string_view layer_code, int record,
                                  ShapefileOutput& output) {
  const SalRecord& values = reader_.record();
  for (std::size_t i = 0; i < layer.fields.size(); ++i) {
    const FieldDef& field = layer.fields[i];
    const int index = static_cast<int>(i);
    switch (field.source) {
      case ValueSource::kRecordNumber:
        output.WriteInteger(record, index, record + 1, reader_.reporter());
        break;
      case ValueSource::kFeatureName:
        output.WriteText(record, index, reader_.feature_name());
        break;
      case ValueSource::kRecordText:
        output.WriteText(record, index, FieldText(values, field.field));
        break;
      case ValueSource::kCodeName:
        output.WriteText(record, index, AttributeCodeName(FieldText(values, field.field)));
        break;
      case ValueSource::kKb:
        output.WriteInteger(record, index, values.kb, reader_.reporter());
        break;
      case ValueSource::kListReference:
        output.WriteText(record, index, ListLayerReference(values, layer_code));
        break;
    }
  }
}

void ExportShapefiles(const std::string& sheet_prefix, const std::string& output_prefix,
                      ExportContext& context) {
  // Stations are placed only by railway lines of the same sheet.
  context.state.er_point_table.Clear();
  if (!context.state.coordinates.LoadCoordinates(sheet_prefix)) return;

  ShapeExport shapes(context);
  const std::string& in = sheet_prefix;
  const std::string& out = output_prefix;
  const auto started = [&context](std::string_view layer_code) {
    if (context.layer_started) context.layer_started(layer_code);
  };
  // The order carries data: TK fills the station table before EK reads it,
  // and the KK and DK runs write the list files HA, TO and YO read.
  started("CM");
  shapes.ConvertShapeCM(in, "CM", out);
  started("KJ");
  shapes.ConvertShapeKJ(in, "KJ", out);
  started("KS");
  shapes.ConvertShapeKS(in, "KS", out);
  started("KK");
  shapes.ConvertShapeDK(in, "KK", out);
  started("SK");
  shapes.ConvertShapeSK(in, "SK", out);
  started("GK");
  shapes.ConvertShapeGK(in, "GK", out);
  started("GD");
  shapes.ConvertShapeGD(in, "GD", out);
  started("KO");
  shapes.ConvertShapeKO(in, "KO", out);
  started("MH");
  shapes.ConvertShapeMH(in, out);
  started("TS");
  shapes.ConvertShapeTS(in, "TS", out);
  started("TK");
  shapes.ConvertShapeTK(in, "TK", out);
  started("EK");
  shapes.ConvertShapeEK(in, "EK", out);
  started("DK");
  shapes.ConvertShapeDK(in, "DK", out);
  started("DS");
  shapes.ConvertShapeDS(in, "DS", out);
  started("HA");
  shapes.ConvertShapeHA(in, "HA", out);
  started("TO");
  shapes.ConvertShapeTO(in, "TO", out);
  started("YO");
  shapes.ConvertShapeYO(in, "YO", out);
}

}  // namespace quellmark
