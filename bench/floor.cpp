#include "floor.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>
#include <ogrsf_frmts.h>
#include <shapefil.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "export_shape/buffered_hooks.h"
#include "export_tab/buffered_vsi.h"
#include "export_tab/tab_format.h"
#include "layers/catalogue.h"
#include "sal/cp932.h"

namespace quellmark::bench {

const std::vector<std::string>& LayerCodes() {
  static const std::vector<std::string> codes = [] {
    std::vector<std::string> list;
    for (const LayerSpec& layer : Layers()) list.emplace_back(layer.code);
    return list;
  }();
  return codes;
}

namespace {

namespace fs = std::filesystem;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

// Appends the CP932 encoding of `utf8` (a text GDAL decoded on reading).
void AppendCp932(const char* utf8, std::string& out) {
  const std::size_t length = std::strlen(utf8);
  bool ascii = true;
  for (std::size_t i = 0; i < length && ascii; ++i)
    ascii = static_cast<unsigned char>(utf8[i]) < 0x80;
  if (ascii) {
    out.append(utf8, length);
  } else {
    out += EncodeCp932(std::string_view(utf8, length));
  }
}

// The map's coordinates are whole multiples of 0.0001 arc second; a table
// read back gives them with a rounding error, which is taken off again.
double OnDataGrid(double degrees) {
  constexpr double kUnitsPerDegree = 36000000.0;
  return std::round(degrees * kUnitsPerDegree) / kUnitsPerDegree;
}

}  // namespace

// ---------------------------------------------------------------------------
// Shapefiles

std::vector<ShapeLayerData> LoadShapeLayers(const std::string& prefix) {
  std::vector<ShapeLayerData> layers;
  for (const std::string& code : LayerCodes()) {
    const std::string base = prefix + code;
    if (!fs::exists(base + ".shp")) continue;
    ShapeLayerData layer;
    layer.code = code;
    SHPHandle shp = SHPOpen((base + ".shp").c_str(), "rb");
    DBFHandle dbf = DBFOpen((base + ".dbf").c_str(), "rb");
    if (shp == nullptr || dbf == nullptr) throw std::runtime_error("cannot open " + base);
    int count = 0;
    SHPGetInfo(shp, &count, &layer.shape_type, nullptr, nullptr);
    const int field_count = DBFGetFieldCount(dbf);
    std::vector<int> offsets;
    int offset = 1;  // after the deletion flag
    for (int f = 0; f < field_count; ++f) {
      char name[XBASE_FLDNAME_LEN_READ + 1] = {};
      int width = 0;
      int decimals = 0;
      DBFGetFieldInfo(dbf, f, name, &width, &decimals);
      layer.fields.push_back({name, DBFGetNativeFieldType(dbf, f), width, decimals});
      offsets.push_back(offset);
      offset += width;
    }
    for (int i = 0; i < count; ++i) {
      SHPObject* object = SHPReadObject(shp, i);
      if (object == nullptr) throw std::runtime_error("cannot read a shape of " + base);
      if (object->nSHPType == SHPT_NULL) {
        layer.vertex_counts.push_back(-1);
      } else {
        layer.vertex_counts.push_back(object->nVertices);
        layer.x.insert(layer.x.end(), object->padfX, object->padfX + object->nVertices);
        layer.y.insert(layer.y.end(), object->padfY, object->padfY + object->nVertices);
      }
      SHPDestroyObject(object);
      const char* record = DBFReadTuple(dbf, i);
      for (int f = 0; f < field_count; ++f) {
        const ShapeLayerData::Field& field = layer.fields[static_cast<std::size_t>(f)];
        const std::string raw(record + offsets[static_cast<std::size_t>(f)],
                              static_cast<std::size_t>(field.width));
        layer.null.push_back(field.type == 'N' && raw.find_first_not_of(" *") == std::string::npos);
        layer.text_at.push_back(static_cast<std::uint32_t>(layer.text.size()));
        layer.text += raw;
        layer.text += '\0';
      }
    }
    SHPClose(shp);
    DBFClose(dbf);
    layer.prj = ReadWhole(base + ".prj");
    layer.cpg = ReadWhole(base + ".cpg");
    layer.qml = ReadWhole(base + ".qml");
    layers.push_back(std::move(layer));
  }
  return layers;
}

void WriteShapeLayers(std::vector<ShapeLayerData>& layers, const std::string& prefix,
                      FileAccess access) {
  SAHooks hooks;
  if (access == FileAccess::kBuffered) {
    hooks = BufferedFileHooks();
  } else {
    SASetupDefaultHooks(&hooks);
  }
  std::vector<double> zeros;
  for (ShapeLayerData& layer : layers) {
    const std::string base = prefix + layer.code;
    SHPHandle shp = SHPCreateLL((base + ".shp").c_str(), layer.shape_type, &hooks);
    if (shp == nullptr) throw std::runtime_error("cannot create " + base + ".shp");
    WriteWhole(base + ".prj", layer.prj);
    DBFHandle dbf = DBFCreateLL((base + ".dbf").c_str(), "LDID/19", &hooks);
    if (dbf == nullptr) throw std::runtime_error("cannot create " + base + ".dbf");
    WriteWhole(base + ".cpg", layer.cpg);
    WriteWhole(base + ".qml", layer.qml);
    for (const ShapeLayerData::Field& field : layer.fields) {
      DBFAddNativeFieldType(dbf, field.name.c_str(), field.type, field.width, field.decimals);
    }
    std::size_t vertex = 0;
    std::size_t value = 0;
    const int count = static_cast<int>(layer.vertex_counts.size());
    for (int i = 0; i < count; ++i) {
      const int n = layer.vertex_counts[static_cast<std::size_t>(i)];
      SHPObject* object;
      if (n < 0) {
        object = SHPCreateObject(SHPT_NULL, -1, 0, nullptr, nullptr, 0, nullptr, nullptr, nullptr,
                                 nullptr);
      } else {
        if (zeros.size() < static_cast<std::size_t>(n)) zeros.resize(static_cast<std::size_t>(n));
        object = SHPCreateObject(layer.shape_type, -1, 0, nullptr, nullptr, n, &layer.x[vertex],
                                 &layer.y[vertex], zeros.data(), zeros.data());
        vertex += static_cast<std::size_t>(n);
      }
      SHPWriteObject(shp, -1, object);
      SHPDestroyObject(object);
      // Texts as texts; numbers as the bytes they are stored as, the
      // cheapest way through the library.
      for (std::size_t f = 0; f < layer.fields.size(); ++f, ++value) {
        const int field = static_cast<int>(f);
        char* bytes = layer.text.data() + layer.text_at[value];
        if (layer.fields[f].type != 'N') {
          DBFWriteStringAttribute(dbf, i, field, bytes);
        } else if (layer.null[value]) {
          DBFWriteNULLAttribute(dbf, i, field);
        } else {
          DBFWriteAttributeDirectly(dbf, i, field, bytes);
        }
      }
    }
    SHPClose(shp);
    DBFClose(dbf);
  }
}

// ---------------------------------------------------------------------------
// TAB tables

std::vector<TabLayerData> LoadTabLayers(const std::string& prefix) {
  GDALAllRegister();
  std::vector<TabLayerData> layers;
  for (const std::string& code : LayerCodes()) {
    const std::string path = prefix + code + ".tab";
    if (!fs::exists(path)) continue;
    const LayerSpec& spec = *FindLayer(code);
    TabLayerData layer;
    layer.code = code;
    layer.points = spec.geometry == LayerGeometry::kPoint;
    const bool styled = TabLayerStyled(spec);
    GDALDatasetH ds =
        GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
    if (ds == nullptr) throw std::runtime_error("cannot open " + path);
    OGRLayerH ogr_layer = GDALDatasetGetLayer(ds, 0);
    const int field_count = static_cast<int>(TabFields(spec).size());
    std::map<std::string, int> style_index;
    OGR_L_ResetReading(ogr_layer);
    while (OGRFeatureH feature = OGR_L_GetNextFeature(ogr_layer)) {
      OGRGeometryH geometry = OGR_F_GetGeometryRef(feature);
      const int n = geometry == nullptr ? 0 : OGR_G_GetPointCount(geometry);
      layer.vertex_counts.push_back(n);
      for (int v = 0; v < n; ++v) {
        layer.x.push_back(OnDataGrid(OGR_G_GetX(geometry, v)));
        layer.y.push_back(OnDataGrid(OGR_G_GetY(geometry, v)));
      }
      for (int f = 0; f < field_count; ++f) {
        layer.value_at.push_back(static_cast<std::uint32_t>(layer.values.size()));
        AppendCp932(OGR_F_GetFieldAsString(feature, f), layer.values);
        layer.values += '\0';
      }
      const char* style = OGR_F_GetStyleString(feature);
      if (styled && n > 0 && style != nullptr) {
        auto [at, added] = style_index.emplace(style, static_cast<int>(layer.styles.size()));
        if (added) layer.styles.emplace_back(style);
        layer.style_of.push_back(at->second);
      } else {
        layer.style_of.push_back(-1);
      }
      OGR_F_Destroy(feature);
    }
    GDALClose(ds);
    layers.push_back(std::move(layer));
  }
  return layers;
}

namespace {

// The charset declaration the program's tables carry: the driver writes the
// bytes as given under "Neutral", the header then names code page 932.
void DeclareWindowsJapanese(const std::string& path) {
  std::string header = ReadWhole(path);
  for (const auto& [from, to] :
       {std::pair<std::string, std::string>{"!charset Neutral", "!charset WindowsJapanese"},
        {"Charset \"Neutral\"", "Charset \"WindowsJapanese\""}}) {
    const std::size_t at = header.find(from);
    if (at == std::string::npos) throw std::runtime_error("unexpected header in " + path);
    header.replace(at, from.size(), to);
  }
  WriteWhole(path + ".part", header);
  fs::rename(path + ".part", path);
}

std::string Bounds() {
  char text[160];
  std::snprintf(text, sizeof text, "%.17g,%.17g,%.17g,%.17g", kTabBounds.west, kTabBounds.south,
                kTabBounds.east, kTabBounds.north);
  return text;
}

}  // namespace

void WriteTabLayers(const std::vector<TabLayerData>& layers, const std::string& prefix,
                    FileAccess access) {
  GDALDriverH driver = GDALGetDriverByName("MapInfo File");
  if (driver == nullptr) throw std::runtime_error("GDAL has no MapInfo driver");
  const std::string bounds = Bounds();
  for (const TabLayerData& layer : layers) {
    const std::string path = prefix + layer.code + ".tab";
    for (const char* ext : {".tab", ".map", ".dat", ".id", ".ind"}) {
      std::error_code ignored;
      fs::remove(prefix + layer.code + ext, ignored);
    }
    const std::string name = access == FileAccess::kBuffered ? BufferedGdalName(path) : path;
    GDALDatasetH ds = GDALCreate(driver, name.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    if (ds == nullptr) throw std::runtime_error("cannot create " + path);
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromMICoordSys(srs, kTabCoordSys);
    OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
    CPLStringList options;
    options.SetNameValue("BOUNDS", bounds.c_str());
    options.SetNameValue("ENCODING", "");
    OGRLayerH ogr_layer =
        GDALDatasetCreateLayer(ds, fs::path(path).stem().c_str(), srs, wkbUnknown, options.List());
    OSRRelease(srs);
    if (ogr_layer == nullptr) throw std::runtime_error("cannot create the layer of " + path);
    const std::span<const FieldSpec> fields = TabFields(*FindLayer(layer.code));
    for (const FieldSpec& field : fields) {
      const std::string name(field.name);
      OGRFieldDefnH defn =
          OGR_Fld_Create(name.c_str(), field.type == FieldType::kInteger ? OFTInteger : OFTString);
      OGR_Fld_SetWidth(defn, field.width);
      OGR_Fld_SetPrecision(defn, 0);
      OGR_L_CreateField(ogr_layer, defn, FALSE);
      OGR_Fld_Destroy(defn);
    }
    const int field_count = static_cast<int>(fields.size());
    OGRFeatureDefnH defn = OGR_L_GetLayerDefn(ogr_layer);
    std::size_t vertex = 0;
    std::size_t value = 0;
    for (std::size_t i = 0; i < layer.vertex_counts.size(); ++i) {
      OGRFeatureH feature = OGR_F_Create(defn);
      const int n = layer.vertex_counts[i];
      if (n > 0) {
        OGRGeometryH geometry;
        if (layer.points) {
          geometry = OGR_G_CreateGeometry(wkbPoint);
          OGR_G_SetPoint_2D(geometry, 0, layer.x[vertex], layer.y[vertex]);
        } else {
          geometry = OGR_G_CreateGeometry(wkbLineString);
          OGR_G_SetPoints(geometry, n, &layer.x[vertex], sizeof(double), &layer.y[vertex],
                          sizeof(double), nullptr, 0);
        }
        OGR_F_SetGeometryDirectly(feature, geometry);
        vertex += static_cast<std::size_t>(n);
      }
      for (int f = 0; f < field_count; ++f) {
        OGR_F_SetFieldString(feature, f, layer.values.data() + layer.value_at[value++]);
      }
      if (layer.style_of[i] >= 0) {
        OGR_F_SetStyleString(feature,
                             layer.styles[static_cast<std::size_t>(layer.style_of[i])].c_str());
      }
      if (OGR_L_CreateFeature(ogr_layer, feature) != OGRERR_NONE) {
        throw std::runtime_error("cannot write a feature of " + path);
      }
      OGR_F_Destroy(feature);
    }
    GDALClose(ds);
    DeclareWindowsJapanese(path);
  }
}

// ---------------------------------------------------------------------------
// GeoPackage

namespace {

constexpr char kStylesTable[] = "layer_styles";

struct DatasetCloser {
  void operator()(void* dataset) const { GDALClose(dataset); }
};
using Dataset = std::unique_ptr<void, DatasetCloser>;

Dataset OpenGpkg(const std::string& path) {
  RegisterOGRGeoPackage();
  const char* const drivers[] = {"GPKG", nullptr};
  Dataset dataset(
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, drivers, nullptr, nullptr));
  if (!dataset) throw std::runtime_error("cannot open " + path);
  return dataset;
}

// A column filled by its default, the time of writing: no two files agree
// on it, and neither writer sets it.
bool WrittenByDefault(OGRFieldDefnH field) {
  const char* value = OGR_Fld_GetDefault(field);
  return value != nullptr && std::strcmp(value, "CURRENT_TIMESTAMP") == 0;
}

int EpsgOf(OGRSpatialReferenceH srs) {
  if (srs == nullptr) return 0;
  const char* authority = OSRGetAuthorityName(srs, nullptr);
  const char* code = OSRGetAuthorityCode(srs, nullptr);
  if (authority == nullptr || code == nullptr || std::strcmp(authority, "EPSG") != 0) {
    throw std::runtime_error("a GeoPackage table whose SRS is not an EPSG one");
  }
  return std::atoi(code);
}

GpkgTableData LoadGpkgTable(OGRLayerH layer) {
  GpkgTableData table;
  table.name = OGR_L_GetName(layer);
  table.geometry_type = OGR_L_GetGeomType(layer);
  table.fid_column = OGR_L_GetFIDColumn(layer);
  table.geometry_column = OGR_L_GetGeometryColumn(layer);
  table.epsg = EpsgOf(OGR_L_GetSpatialRef(layer));
  OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
  const int field_count = OGR_FD_GetFieldCount(defn);
  for (int f = 0; f < field_count; ++f) {
    OGRFieldDefnH field = OGR_FD_GetFieldDefn(defn, f);
    const char* default_value = OGR_Fld_GetDefault(field);
    table.fields.push_back({OGR_Fld_GetNameRef(field), OGR_Fld_GetType(field),
                            OGR_Fld_GetSubType(field), OGR_Fld_GetWidth(field),
                            OGR_Fld_IsNullable(field) != 0,
                            default_value != nullptr ? default_value : ""});
  }
  OGR_L_ResetReading(layer);
  while (OGRFeatureH feature = OGR_L_GetNextFeature(layer)) {
    for (int f = 0; f < field_count; ++f) {
      GpkgTableData::Value value{};
      const bool null = OGR_F_IsFieldSetAndNotNull(feature, f) == 0;
      if (!null) {
        switch (OGR_Fld_GetType(OGR_FD_GetFieldDefn(defn, f))) {
          case OFTInteger:
          case OFTInteger64:
            value.integer = OGR_F_GetFieldAsInteger64(feature, f);
            break;
          case OFTReal:
            value.real = OGR_F_GetFieldAsDouble(feature, f);
            break;
          default:
            value.text_at = table.text.size();
            table.text += OGR_F_GetFieldAsString(feature, f);
            table.text += '\0';
        }
      }
      table.null.push_back(null ? 1 : 0);
      table.values.push_back(value);
    }
    OGRGeometryH geometry = OGR_F_GetGeometryRef(feature);
    const int n = geometry == nullptr ? -1 : OGR_G_GetPointCount(geometry);
    table.vertex_counts.push_back(n);
    for (int v = 0; v < n; ++v) {
      table.x.push_back(OGR_G_GetX(geometry, v));
      table.y.push_back(OGR_G_GetY(geometry, v));
    }
    OGR_F_Destroy(feature);
  }
  return table;
}

int FieldIndex(const GpkgTableData& table, std::string_view name) {
  for (std::size_t f = 0; f < table.fields.size(); ++f) {
    if (table.fields[f].name == name) return static_cast<int>(f);
  }
  return -1;
}

// The text of a row's field, "" when null.
const char* TextOf(const GpkgTableData& table, std::size_t row, int field) {
  const std::size_t at = row * table.fields.size() + static_cast<std::size_t>(field);
  return table.null[at] ? "" : table.text.data() + table.values[at].text_at;
}

struct SrsReleaser {
  void operator()(void* srs) const { OSRRelease(srs); }
};
using Srs = std::unique_ptr<void, SrsReleaser>;

Srs EpsgSrs(int epsg) {
  Srs srs(OSRNewSpatialReference(nullptr));
  if (OSRImportFromEPSG(srs.get(), epsg) != OGRERR_NONE) {
    throw std::runtime_error("no EPSG:" + std::to_string(epsg));
  }
  OSRSetAxisMappingStrategy(srs.get(), OAMS_TRADITIONAL_GIS_ORDER);
  return srs;
}

}  // namespace

std::vector<GpkgTableData> LoadGpkgTables(const std::string& path) {
  Dataset dataset = OpenGpkg(path);
  std::vector<GpkgTableData> loaded;
  const int count = GDALDatasetGetLayerCount(dataset.get());
  for (int i = 0; i < count; ++i) {
    loaded.push_back(LoadGpkgTable(GDALDatasetGetLayer(dataset.get(), i)));
  }
  // layer_styles, then the tables in the order of their styles.
  std::vector<GpkgTableData> tables;
  const auto take = [&](std::string_view name) {
    for (GpkgTableData& table : loaded) {
      if (!table.name.empty() && table.name == name) {
        tables.push_back(std::move(table));
        table.name.clear();
        return;
      }
    }
  };
  take(kStylesTable);
  if (!tables.empty()) {
    const GpkgTableData styles = tables.front();
    const int column = FieldIndex(styles, "f_table_name");
    for (std::size_t row = 0; row < styles.vertex_counts.size() && column >= 0; ++row) {
      take(TextOf(styles, row, column));
    }
  }
  for (GpkgTableData& table : loaded) {
    if (!table.name.empty()) tables.push_back(std::move(table));
  }
  // Opens the coordinate system database before anything is timed, as a
  // process converting many sheets has it open.
  for (const GpkgTableData& table : tables) {
    if (table.epsg != 0) EpsgSrs(table.epsg);
  }
  return tables;
}

namespace {

OGRLayerH CreateGpkgTable(GDALDatasetH dataset, const GpkgTableData& table,
                          std::vector<std::pair<int, Srs>>& srs_cache) {
  OGRSpatialReferenceH srs = nullptr;
  if (table.epsg != 0) {
    auto cached = std::find_if(srs_cache.begin(), srs_cache.end(),
                               [&](const auto& entry) { return entry.first == table.epsg; });
    if (cached == srs_cache.end()) {
      srs_cache.emplace_back(table.epsg, EpsgSrs(table.epsg));
      cached = srs_cache.end() - 1;
    }
    srs = cached->second.get();
  }
  CPLStringList options;
  if (!table.fid_column.empty()) options.SetNameValue("FID", table.fid_column.c_str());
  const auto geometry_type = static_cast<OGRwkbGeometryType>(table.geometry_type);
  if (geometry_type != wkbNone) {
    options.SetNameValue("GEOMETRY_NAME", table.geometry_column.c_str());
    options.SetNameValue("SPATIAL_INDEX", "YES");
  }
  OGRLayerH layer =
      GDALDatasetCreateLayer(dataset, table.name.c_str(), srs, geometry_type, options.List());
  if (layer == nullptr) throw std::runtime_error("cannot create the table " + table.name);
  for (const GpkgTableData::Field& field : table.fields) {
    OGRFieldDefnH defn = OGR_Fld_Create(field.name.c_str(), static_cast<OGRFieldType>(field.type));
    OGR_Fld_SetSubType(defn, static_cast<OGRFieldSubType>(field.subtype));
    OGR_Fld_SetWidth(defn, field.width);
    OGR_Fld_SetNullable(defn, field.nullable ? TRUE : FALSE);
    if (!field.default_value.empty()) OGR_Fld_SetDefault(defn, field.default_value.c_str());
    const OGRErr result = OGR_L_CreateField(layer, defn, TRUE);
    OGR_Fld_Destroy(defn);
    if (result != OGRERR_NONE) throw std::runtime_error("cannot add " + field.name);
  }
  return layer;
}

// Writes rows [first, last) of `table` into `layer`, through one feature
// and one geometry reused from row to row.
void WriteGpkgRows(OGRLayerH layer, const GpkgTableData& table, std::size_t first,
                   std::size_t last) {
  OGRFeatureH feature = OGR_F_Create(OGR_L_GetLayerDefn(layer));
  const auto geometry_type = static_cast<OGRwkbGeometryType>(table.geometry_type);
  const bool points = wkbFlatten(geometry_type) == wkbPoint;
  OGRGeometryH geometry =
      geometry_type == wkbNone ? nullptr : OGR_G_CreateGeometry(wkbFlatten(geometry_type));
  std::vector<char> by_default;
  for (const GpkgTableData::Field& field : table.fields) {
    by_default.push_back(field.default_value == "CURRENT_TIMESTAMP" ? 1 : 0);
  }
  const std::size_t field_count = table.fields.size();
  std::size_t vertex = 0;
  for (std::size_t row = 0; row < first; ++row) {
    vertex += static_cast<std::size_t>(std::max(0, table.vertex_counts[row]));
  }
  for (std::size_t row = first; row < last; ++row) {
    OGR_F_SetFID(feature, OGRNullFID);
    for (std::size_t f = 0; f < field_count; ++f) {
      if (by_default[f]) continue;
      const std::size_t at = row * field_count + f;
      const int index = static_cast<int>(f);
      if (table.null[at]) {
        OGR_F_SetFieldNull(feature, index);
        continue;
      }
      const GpkgTableData::Value& value = table.values[at];
      switch (table.fields[f].type) {
        case OFTInteger:
          OGR_F_SetFieldInteger(feature, index, static_cast<int>(value.integer));
          break;
        case OFTInteger64:
          OGR_F_SetFieldInteger64(feature, index, value.integer);
          break;
        case OFTReal:
          OGR_F_SetFieldDouble(feature, index, value.real);
          break;
        default:
          OGR_F_SetFieldString(feature, index, table.text.data() + value.text_at);
      }
    }
    const int n = table.vertex_counts[row];
    OGRGeometryH lent = n >= 0 ? geometry : nullptr;
    if (lent != nullptr && points) {
      OGR_G_SetPoint_2D(lent, 0, table.x[vertex], table.y[vertex]);
    } else if (lent != nullptr) {
      OGR_G_SetPoints(lent, n, &table.x[vertex], sizeof(double), &table.y[vertex], sizeof(double),
                      nullptr, 0);
    }
    vertex += static_cast<std::size_t>(std::max(0, n));
    OGR_F_SetGeometryDirectly(feature, lent);
    const OGRErr result = OGR_L_CreateFeature(layer, feature);
    if (lent != nullptr) geometry = OGR_F_StealGeometry(feature);
    if (result != OGRERR_NONE) throw std::runtime_error("cannot write a row of " + table.name);
  }
  if (geometry != nullptr) OGR_G_DestroyGeometry(geometry);
  OGR_F_Destroy(feature);
}

}  // namespace

void WriteGpkgTables(const std::vector<GpkgTableData>& tables, const std::string& path) {
  RegisterOGRGeoPackage();
  CPLErrorReset();
  GDALDriverH driver = GDALGetDriverByName("GPKG");
  if (driver == nullptr) throw std::runtime_error("GDAL has no GeoPackage driver");
  // The page cache the conversion gives SQLite.
  CPLSetThreadLocalConfigOption("OGR_SQLITE_CACHE", "64");
  GDALDatasetH dataset = GDALCreate(driver, path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
  CPLSetThreadLocalConfigOption("OGR_SQLITE_CACHE", nullptr);
  if (dataset == nullptr) throw std::runtime_error("cannot create " + path);
  std::vector<std::pair<int, Srs>> srs_cache;
  const GpkgTableData* styles = nullptr;
  OGRLayerH styles_layer = nullptr;
  int styles_table_column = -1;
  if (!tables.empty() && tables.front().name == kStylesTable) {
    styles = &tables.front();
    styles_layer = CreateGpkgTable(dataset, *styles, srs_cache);
    styles_table_column = FieldIndex(*styles, "f_table_name");
  }
  for (const GpkgTableData& table : tables) {
    if (&table == styles) continue;
    OGRLayerH layer = CreateGpkgTable(dataset, table, srs_cache);
    if (GDALDatasetStartTransaction(dataset, FALSE) != OGRERR_NONE) {
      throw std::runtime_error("cannot start a transaction");
    }
    WriteGpkgRows(layer, table, 0, table.vertex_counts.size());
    for (std::size_t row = 0; styles != nullptr && row < styles->vertex_counts.size(); ++row) {
      if (table.name == TextOf(*styles, row, styles_table_column)) {
        WriteGpkgRows(styles_layer, *styles, row, row + 1);
      }
    }
    if (GDALDatasetCommitTransaction(dataset) != OGRERR_NONE) {
      throw std::runtime_error("cannot commit the table " + table.name);
    }
  }
  GDALClose(dataset);
  if (CPLGetLastErrorType() >= CE_Failure) {
    throw std::runtime_error("cannot complete " + path + ": " + CPLGetLastErrorMsg());
  }
}

namespace {

// Appends a difference to `out`, the first few only.
void Differ(std::string& out, int& count, const std::string& what) {
  if (++count <= 8) {
    out += what + "; ";
  } else if (count == 9) {
    out += "...; ";
  }
}

std::string Wkb(OGRGeometryH geometry) {
  std::string bytes(static_cast<std::size_t>(OGR_G_WkbSize(geometry)), '\0');
  OGR_G_ExportToIsoWkb(geometry, wkbNDR, reinterpret_cast<unsigned char*>(bytes.data()));
  return bytes;
}

void CompareGpkgTable(OGRLayerH a, OGRLayerH b, std::string& out, int& count) {
  const std::string name = OGR_L_GetName(a);
  const auto differ = [&](const std::string& what) { Differ(out, count, name + ": " + what); };
  if (OGR_L_GetGeomType(a) != OGR_L_GetGeomType(b)) differ("geometry type");
  if (std::strcmp(OGR_L_GetFIDColumn(a), OGR_L_GetFIDColumn(b)) != 0) differ("FID column");
  if (std::strcmp(OGR_L_GetGeometryColumn(a), OGR_L_GetGeometryColumn(b)) != 0) {
    differ("geometry column");
  }
  OGRSpatialReferenceH srs_a = OGR_L_GetSpatialRef(a);
  OGRSpatialReferenceH srs_b = OGR_L_GetSpatialRef(b);
  if ((srs_a == nullptr) != (srs_b == nullptr) ||
      (srs_a != nullptr && (!OSRIsSame(srs_a, srs_b) || EpsgOf(srs_a) != EpsgOf(srs_b)))) {
    differ("SRS");
  }
  if (OGR_L_TestCapability(a, OLCFastSpatialFilter) !=
      OGR_L_TestCapability(b, OLCFastSpatialFilter)) {
    differ("spatial index");
  }
  if (OGR_L_GetGeomType(a) != wkbNone) {
    OGREnvelope ea{};
    OGREnvelope eb{};
    OGR_L_GetExtent(a, &ea, FALSE);
    OGR_L_GetExtent(b, &eb, FALSE);
    if (ea.MinX != eb.MinX || ea.MinY != eb.MinY || ea.MaxX != eb.MaxX || ea.MaxY != eb.MaxY) {
      differ("extent");
    }
  }
  OGRFeatureDefnH da = OGR_L_GetLayerDefn(a);
  OGRFeatureDefnH db = OGR_L_GetLayerDefn(b);
  const int fields = OGR_FD_GetFieldCount(da);
  if (fields != OGR_FD_GetFieldCount(db)) {
    differ("number of fields");
    return;
  }
  std::vector<char> compared;
  for (int f = 0; f < fields; ++f) {
    OGRFieldDefnH fa = OGR_FD_GetFieldDefn(da, f);
    OGRFieldDefnH fb = OGR_FD_GetFieldDefn(db, f);
    const char* default_a = OGR_Fld_GetDefault(fa);
    const char* default_b = OGR_Fld_GetDefault(fb);
    if (std::strcmp(OGR_Fld_GetNameRef(fa), OGR_Fld_GetNameRef(fb)) != 0 ||
        OGR_Fld_GetType(fa) != OGR_Fld_GetType(fb) ||
        OGR_Fld_GetSubType(fa) != OGR_Fld_GetSubType(fb) ||
        OGR_Fld_GetWidth(fa) != OGR_Fld_GetWidth(fb) ||
        OGR_Fld_IsNullable(fa) != OGR_Fld_IsNullable(fb) ||
        std::string(default_a != nullptr ? default_a : "") !=
            std::string(default_b != nullptr ? default_b : "")) {
      differ(std::string("field ") + OGR_Fld_GetNameRef(fa));
    }
    compared.push_back(WrittenByDefault(fa) ? 0 : 1);
  }
  const GIntBig rows = OGR_L_GetFeatureCount(a, TRUE);
  if (rows != OGR_L_GetFeatureCount(b, TRUE)) {
    differ("number of rows");
    return;
  }
  OGR_L_ResetReading(a);
  OGR_L_ResetReading(b);
  for (GIntBig row = 0; row < rows; ++row) {
    OGRFeatureH ra = OGR_L_GetNextFeature(a);
    OGRFeatureH rb = OGR_L_GetNextFeature(b);
    if (ra == nullptr || rb == nullptr) {
      differ("rows not read");
      if (ra != nullptr) OGR_F_Destroy(ra);
      if (rb != nullptr) OGR_F_Destroy(rb);
      return;
    }
    const std::string at = "row " + std::to_string(row + 1);
    if (OGR_F_GetFID(ra) != OGR_F_GetFID(rb)) differ(at + " FID");
    for (int f = 0; f < fields; ++f) {
      if (!compared[static_cast<std::size_t>(f)]) continue;
      const bool set_a = OGR_F_IsFieldSetAndNotNull(ra, f) != 0;
      const bool set_b = OGR_F_IsFieldSetAndNotNull(rb, f) != 0;
      bool same = set_a == set_b;
      if (same && set_a) {
        switch (OGR_Fld_GetType(OGR_FD_GetFieldDefn(da, f))) {
          case OFTInteger:
          case OFTInteger64:
            same = OGR_F_GetFieldAsInteger64(ra, f) == OGR_F_GetFieldAsInteger64(rb, f);
            break;
          case OFTReal:
            same = OGR_F_GetFieldAsDouble(ra, f) == OGR_F_GetFieldAsDouble(rb, f);
            break;
          default:
            same = std::strcmp(OGR_F_GetFieldAsString(ra, f), OGR_F_GetFieldAsString(rb, f)) == 0;
        }
      }
      if (!same) differ(at + " " + OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(da, f)));
    }
    OGRGeometryH ga = OGR_F_GetGeometryRef(ra);
    OGRGeometryH gb = OGR_F_GetGeometryRef(rb);
    if ((ga == nullptr) != (gb == nullptr) || (ga != nullptr && Wkb(ga) != Wkb(gb))) {
      differ(at + " geometry");
    }
    OGR_F_Destroy(ra);
    OGR_F_Destroy(rb);
  }
}

}  // namespace

std::string GpkgDifferences(const std::string& a, const std::string& b) {
  Dataset da = OpenGpkg(a);
  Dataset db = OpenGpkg(b);
  std::string out;
  int count = 0;
  const int layers = GDALDatasetGetLayerCount(da.get());
  if (layers != GDALDatasetGetLayerCount(db.get())) Differ(out, count, "number of tables");
  for (int i = 0; i < layers; ++i) {
    OGRLayerH la = GDALDatasetGetLayer(da.get(), i);
    OGRLayerH lb = GDALDatasetGetLayerByName(db.get(), OGR_L_GetName(la));
    if (lb == nullptr) {
      Differ(out, count, std::string("no table ") + OGR_L_GetName(la));
    } else {
      CompareGpkgTable(la, lb, out, count);
    }
  }
  return out;
}

template <typename Layer>
Counts CountOf(const std::vector<Layer>& layers) {
  Counts counts;
  for (const Layer& layer : layers) {
    counts.features += layer.vertex_counts.size();
    counts.largest_table = std::max(counts.largest_table, layer.vertex_counts.size());
  }
  return counts;
}

Counts CountFeatures(const std::vector<ShapeLayerData>& layers) { return CountOf(layers); }
Counts CountFeatures(const std::vector<TabLayerData>& layers) { return CountOf(layers); }

Counts CountFeatures(const std::vector<GpkgTableData>& tables) {
  Counts counts;
  for (const GpkgTableData& table : tables) {
    if (table.name == kStylesTable) continue;
    counts.features += table.vertex_counts.size();
    counts.largest_table = std::max(counts.largest_table, table.vertex_counts.size());
  }
  return counts;
}

}  // namespace quellmark::bench
