#include "read_back.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>
#include <shapefil.h>

#include <memory>
#include <stdexcept>

namespace quellmark::testing {

std::vector<Shape> ReadShapes(const std::string& shp_path) {
  SHPHandle shp = SHPOpen(shp_path.c_str(), "rb");
  if (shp == nullptr) throw std::runtime_error("cannot open " + shp_path);
  int count = 0;
  SHPGetInfo(shp, &count, nullptr, nullptr, nullptr);
  std::vector<Shape> shapes(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    SHPObject* object = SHPReadObject(shp, i);
    shapes[i].type = object->nSHPType;
    for (int v = 0; v < object->nVertices; ++v) {
      shapes[i].vertices.emplace_back(object->padfX[v], object->padfY[v]);
    }
    SHPDestroyObject(object);
  }
  SHPClose(shp);
  return shapes;
}

std::string ReadSchema(const std::string& dbf_path) {
  DBFHandle dbf = DBFOpen(dbf_path.c_str(), "rb");
  if (dbf == nullptr) throw std::runtime_error("cannot open " + dbf_path);
  std::string schema;
  for (int i = 0; i < DBFGetFieldCount(dbf); ++i) {
    char name[XBASE_FLDNAME_LEN_READ + 1] = {};
    int width = 0;
    int decimals = 0;
    DBFGetFieldInfo(dbf, i, name, &width, &decimals);
    if (i > 0) schema += ' ';
    schema += std::string(name) + ':' + DBFGetNativeFieldType(dbf, i) + std::to_string(width);
    if (decimals > 0) schema += '.' + std::to_string(decimals);
  }
  DBFClose(dbf);
  return schema;
}

namespace {
std::unique_ptr<GDALDataset> OpenVector(const std::string& path) {
  GDALAllRegister();
  auto* dataset = static_cast<GDALDataset*>(
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
  if (dataset == nullptr) throw std::runtime_error("GDAL cannot open " + path);
  return std::unique_ptr<GDALDataset>(dataset);
}
}  // namespace

std::vector<std::string> ReadRows(const std::string& shp_path) {
  auto dataset = OpenVector(shp_path);
  std::vector<std::string> rows;
  for (auto& feature : *dataset->GetLayer(0)) {
    std::string row;
    for (int i = 0; i < feature->GetFieldCount(); ++i) {
      if (i > 0) row += '|';
      row += feature->GetFieldAsString(i);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string ReadCrs(const std::string& shp_path) {
  auto dataset = OpenVector(shp_path);
  const OGRSpatialReference* crs = dataset->GetLayer(0)->GetSpatialRef();
  if (crs == nullptr) return "";
  OGRSpatialReference identified(*crs);
  identified.AutoIdentifyEPSG();
  const char* authority = identified.GetAuthorityName(nullptr);
  const char* code = identified.GetAuthorityCode(nullptr);
  return std::string(authority ? authority : "?") + ":" + (code ? code : "?");
}

}  // namespace quellmark::testing
