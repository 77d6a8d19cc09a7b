#include "floor.h"

#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <iconv.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>
#include <shapefil.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <sstream>
#include <stdexcept>

#include "export_shape/buffered_hooks.h"
#include "export_tab/buffered_vsi.h"
#include "export_tab/tab_format.h"
#include "layers/catalogue.h"

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

// UTF-8 to CP932 through one converter (the texts GDAL decoded on reading).
class Cp932Encoder {
 public:
  Cp932Encoder() : cd_(iconv_open("CP932", "UTF-8")) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no CP932 converter");
  }
  ~Cp932Encoder() { iconv_close(cd_); }
  Cp932Encoder(const Cp932Encoder&) = delete;
  Cp932Encoder& operator=(const Cp932Encoder&) = delete;

  // Appends the encoding of `utf8` to `out`.
  void Append(const char* utf8, std::string& out) {
    const std::size_t length = std::strlen(utf8);
    bool ascii = true;
    for (std::size_t i = 0; i < length && ascii; ++i)
      ascii = static_cast<unsigned char>(utf8[i]) < 0x80;
    if (ascii) {
      out.append(utf8, length);
      return;
    }
    char* in = const_cast<char*>(utf8);
    std::size_t in_left = length;
    char buffer[1024];
    char* outp = buffer;
    std::size_t out_left = sizeof buffer;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd_, &in, &in_left, &outp, &out_left) == static_cast<std::size_t>(-1)) {
      throw std::runtime_error(std::string("text without a CP932 form: ") + utf8);
    }
    out.append(buffer, static_cast<std::size_t>(outp - buffer));
  }

 private:
  iconv_t cd_;
};

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
  Cp932Encoder encoder;
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
        encoder.Append(OGR_F_GetFieldAsString(feature, f), layer.values);
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

}  // namespace quellmark::bench
