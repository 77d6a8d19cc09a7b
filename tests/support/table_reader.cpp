#include "support/table_reader.h"

#include <cpl_conv.h>
#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace quellmark::testing {

namespace {

// The number right after `key` in the style text ("mapinfo-sym-", "s:"),
// read in `base`; -1 when the key is missing.
int NumberAfter(const std::string& text, const std::string& key, int base = 10) {
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return -1;
  const char* first = text.c_str() + at + key.size();
  char* end = nullptr;
  const long value = std::strtol(first, &end, base);
  return end == first ? -1 : static_cast<int>(value);
}

ReadStyle ParseStyle(const char* style_string) {
  ReadStyle style;
  if (style_string == nullptr) return style;
  const std::string text = style_string;
  style.text = text;
  if (text.rfind("SYMBOL(", 0) == 0) {
    style.tool = "SYMBOL";
    style.number = NumberAfter(text, "mapinfo-sym-");
    style.size = NumberAfter(text, "s:");
  } else if (text.rfind("PEN(", 0) == 0) {
    style.tool = "PEN";
    style.number = NumberAfter(text, "mapinfo-pen-");
    style.size = NumberAfter(text, "w:");
  } else {
    style.tool = text;
  }
  style.colour = NumberAfter(text, "c:#", 16);
  return style;
}

struct DatasetCloser {
  void operator()(void* dataset) const { GDALClose(dataset); }
};

// What a GIS identifies the coordinate system as (QGIS asks PROJ the same).
std::string RecognisedCrs(OGRSpatialReferenceH srs) {
  const char* authority = OSRGetAuthorityName(srs, nullptr);
  const char* code = OSRGetAuthorityCode(srs, nullptr);
  if (authority != nullptr && code != nullptr) return std::string(authority) + ":" + code;
  int count = 0;
  int* confidence = nullptr;
  OGRSpatialReferenceH* matches = OSRFindMatches(srs, nullptr, &count, &confidence);
  std::string best;
  int best_confidence = 0;
  bool tied = false;
  for (int i = 0; i < count; ++i) {
    const char* match_authority = OSRGetAuthorityName(matches[i], nullptr);
    const char* match_code = OSRGetAuthorityCode(matches[i], nullptr);
    const std::string name = match_authority != nullptr && match_code != nullptr
                                 ? std::string(match_authority) + ":" + match_code
                                 : std::string();
    if (confidence[i] > best_confidence) {
      best = name;
      best_confidence = confidence[i];
      tied = false;
    } else if (confidence[i] == best_confidence && name != best) {
      tied = true;
    }
  }
  OSRFreeSRSArray(matches);
  CPLFree(confidence);
  return tied || best_confidence < 70 ? std::string() : best;
}

}  // namespace

std::string ReadTable::Schema() const {
  std::string out;
  for (const ReadField& field : fields) {
    if (!out.empty()) out += ' ';
    out += field.name + ":" +
           (field.type == "Integer"  ? "I"
            : field.type == "String" ? "C"
                                     : "?") +
           std::to_string(field.width);
  }
  return out;
}

ReadTable ReadTableBack(const std::string& path) {
  GDALAllRegister();
  std::unique_ptr<void, DatasetCloser> dataset(
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
  if (!dataset) throw std::runtime_error("GDAL cannot open " + path);
  OGRLayerH layer = GDALDatasetGetLayer(dataset.get(), 0);
  OGRFeatureDefnH definition = OGR_L_GetLayerDefn(layer);

  ReadTable table;
  for (int i = 0; i < OGR_FD_GetFieldCount(definition); ++i) {
    OGRFieldDefnH field = OGR_FD_GetFieldDefn(definition, i);
    table.fields.push_back({OGR_Fld_GetNameRef(field), OGR_GetFieldTypeName(OGR_Fld_GetType(field)),
                            OGR_Fld_GetWidth(field)});
  }
  if (OGRSpatialReferenceH srs = OGR_L_GetSpatialRef(layer)) {
    char* clause = nullptr;
    if (OSRExportToMICoordSys(srs, &clause) == OGRERR_NONE && clause != nullptr) {
      table.coordsys = clause;
    }
    CPLFree(clause);
    table.crs = RecognisedCrs(srs);
  }
  OGR_L_ResetReading(layer);
  while (OGRFeatureH feature = OGR_L_GetNextFeature(layer)) {
    ReadFeature read;
    for (int i = 0; i < OGR_F_GetFieldCount(feature); ++i) {
      read.text.push_back(OGR_F_GetFieldAsString(feature, i));
      read.integer.push_back(OGR_F_GetFieldAsInteger64(feature, i));
    }
    if (OGRGeometryH geometry = OGR_F_GetGeometryRef(feature)) {
      read.geometry_type = OGR_G_GetGeometryName(geometry);
      for (int i = 0; i < OGR_G_GetPointCount(geometry); ++i) {
        read.x.push_back(OGR_G_GetX(geometry, i));
        read.y.push_back(OGR_G_GetY(geometry, i));
      }
    }
    read.style = ParseStyle(OGR_F_GetStyleString(feature));
    table.features.push_back(std::move(read));
    OGR_F_Destroy(feature);
  }
  return table;
}

long FeatureCount(const std::string& path) {
  GDALAllRegister();
  std::unique_ptr<void, DatasetCloser> dataset(
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
  if (!dataset) return -1;
  return static_cast<long>(OGR_L_GetFeatureCount(GDALDatasetGetLayer(dataset.get(), 0), TRUE));
}

}  // namespace quellmark::testing
