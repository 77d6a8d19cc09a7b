#include "export_tab/tab_writer.h"

#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <tuple>
#include <utility>

#include "convert/gdal_errors.h"
#include "convert/staged_sheet.h"
#include "export_ogr/ogr_rows.h"
#include "export_tab/buffered_vsi.h"
#include "sal/cp932.h"
#include "sal/errors.h"

namespace quellmark {

namespace {

std::string GdalMessage(const char* what) {
  const char* detail = CPLGetLastErrorMsg();
  if (detail == nullptr || *detail == '\0') return what;
  return std::string(what) + ": " + LocalFileNames(detail);
}

class SpatialReference {
 public:
  SpatialReference() : handle_(OSRNewSpatialReference(nullptr)) {}
  ~SpatialReference() { OSRRelease(handle_); }
  SpatialReference(const SpatialReference&) = delete;
  SpatialReference& operator=(const SpatialReference&) = delete;
  OGRSpatialReferenceH get() const { return handle_; }

 private:
  OGRSpatialReferenceH handle_;
};

std::string FormatDouble(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string SymbolStyle(const TabSymbol& s) {
  char text[96];
  std::snprintf(text, sizeof text, "SYMBOL(id:\"mapinfo-sym-%d\",c:#%06X,s:%dpt)", s.number,
                static_cast<unsigned>(s.colour) & 0xFFFFFFu, s.size);
  return text;
}

std::string PenStyle(const TabPen& p) {
  char text[96];
  std::snprintf(text, sizeof text, "PEN(w:%dpx,c:#%06X,id:\"mapinfo-pen-%d\")", p.width,
                static_cast<unsigned>(p.colour) & 0xFFFFFFu, p.pattern);
  return text;
}

bool SameShape(const TabSymbol& a, const TabSymbol& b) {
  return a.number == b.number && a.size == b.size;
}
bool SameShape(const TabPen& a, const TabPen& b) {
  return a.width == b.width && a.pattern == b.pattern;
}

long ColourDistance(std::int32_t a, std::int32_t b) {
  long sum = 0;
  for (int shift = 0; shift <= 16; shift += 8) {
    const long d = static_cast<long>((a >> shift) & 0xFF) - static_cast<long>((b >> shift) & 0xFF);
    sum += d * d;
  }
  return sum;
}

// The table was written with its text bytes as they are, which the driver
// declares as the "Neutral" charset. The bytes are code page 932, which
// MapInfo calls "WindowsJapanese"; the header names the charset twice, and
// nothing else in the table's files depends on it.
void DeclareWindowsJapanese(const std::string& path) {
  std::string header;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw OutputError(path, 0, "cannot read the table header back");
    std::ostringstream content;
    content << in.rdbuf();
    header = content.str();
  }
  std::string out;
  out.reserve(header.size() + 32);
  int bang_lines = 0;
  int type_lines = 0;
  std::size_t start = 0;
  while (start < header.size()) {
    std::size_t end = header.find('\n', start);
    end = end == std::string::npos ? header.size() : end + 1;
    std::string line = header.substr(start, end - start);
    start = end;
    const std::string_view body = std::string_view(line).substr(0, line.find_first_of("\r\n"));
    if (body == "!charset Neutral") {
      line.replace(0, body.size(), "!charset WindowsJapanese");
      ++bang_lines;
    } else if (body.find("Type NATIVE Charset \"Neutral\"") != std::string_view::npos) {
      const std::size_t at = line.find("\"Neutral\"");
      line.replace(at, 9, "\"WindowsJapanese\"");
      ++type_lines;
    }
    out += line;
  }
  if (bang_lines != 1 || type_lines != 1) {
    throw OutputError(path, 0, "unexpected table header: the charset lines were not found");
  }
  const std::string part = WorkingPath(path, ".part");
  {
    std::ofstream file(part, std::ios::binary | std::ios::trunc);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    file.close();
    if (!file) {
      std::error_code ignored;
      std::filesystem::remove(part, ignored);
      throw OutputError(path, 0, "cannot rewrite the table header");
    }
  }
  std::error_code ec;
  std::filesystem::rename(part, path, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(part, ignored);
    throw OutputError(path, 0, "cannot replace the table header: " + ec.message());
  }
}

}  // namespace

struct TabCoordSys::Handle {
  SpatialReference srs;
};

TabCoordSys::TabCoordSys(std::string clause) : clause_(std::move(clause)) {}
TabCoordSys::~TabCoordSys() = default;

struct TabFeature::Handle {
  explicit Handle(OGRFeatureH f) : feature(f) {}
  ~Handle() {
    if (feature != nullptr) OGR_F_Destroy(feature);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  OGRFeatureH feature;
  bool has_geometry = false;
};

struct TabTable::Handle {
  Handle() = default;
  ~Handle() { Release(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void Release() {
    if (dataset == nullptr) return;
    QuietGdalErrors quiet;
    GDALClose(dataset);
    dataset = nullptr;
    layer = nullptr;
  }
  GDALDatasetH dataset = nullptr;
  OGRLayerH layer = nullptr;
};

// ---------------------------------------------------------------------------

TabFeature::TabFeature(std::unique_ptr<Handle> handle, TabFeatureType type, const TabTable* table)
    : handle_(std::move(handle)), type_(type), table_(table) {}
TabFeature::TabFeature(TabFeature&&) noexcept = default;
TabFeature& TabFeature::operator=(TabFeature&&) noexcept = default;
TabFeature::~TabFeature() = default;

void TabFeature::SetPoints(int /*part*/, std::size_t count, const double* x, const double* y) {
  if (count == 0) {
    OGR_F_SetGeometryDirectly(handle_->feature, nullptr);
    handle_->has_geometry = false;
    return;
  }
  OGRGeometryH geometry = nullptr;
  if (type_ == TabFeatureType::kPoint) {
    geometry = OGR_G_CreateGeometry(wkbPoint);
    OGR_G_SetPoint_2D(geometry, 0, x[0], y[0]);
  } else {
    geometry = OGR_G_CreateGeometry(wkbLineString);
    if (count == 1) {
      OGR_G_SetPoint_2D(geometry, 0, x[0], y[0]);
      OGR_G_SetPoint_2D(geometry, 1, x[0], y[0]);
    } else {
      OGR_G_SetPoints(geometry, static_cast<int>(count), x, sizeof(double), y, sizeof(double),
                      nullptr, 0);
    }
  }
  OGR_F_SetGeometryDirectly(handle_->feature, geometry);
  handle_->has_geometry = true;
}

void TabFeature::SetSymbol(int number, int size, std::int32_t colour) {
  symbol_ = TabSymbol{number, size, colour};
  has_symbol_ = true;
}

void TabFeature::SetPen(int width, int pattern, std::int32_t colour) {
  pen_ = TabPen{width, pattern, colour};
  has_pen_ = true;
}

void TabFeature::SetField(int index, std::string_view value) {
  const int width = table_->widths_.at(static_cast<std::size_t>(index));
  const std::string text(width > 0 ? CutToWidth(value, static_cast<std::size_t>(width)) : value);
  OGR_F_SetFieldString(handle_->feature, index, text.c_str());
}

// ---------------------------------------------------------------------------

TabTable::TabTable(std::string path, std::unique_ptr<Handle> handle)
    : path_(std::move(path)), handle_(std::move(handle)) {}

TabTable::~TabTable() = default;

TabTable TabTable::Create(const std::string& path, TabCoordSys& coordsys, const TabBounds& bounds) {
  QuietGdalErrors quiet;
  GDALDriverH driver = OgrDriver("MapInfo File");
  if (driver == nullptr) throw OutputError(path, 0, "GDAL has no \"MapInfo File\" driver");

  RemoveTabFiles(path);
  auto handle = std::make_unique<Handle>();
  // Written through BufferedFile (see buffered_vsi.h).
  handle->dataset =
      GDALCreate(driver, BufferedGdalName(path).c_str(), 0, 0, 0, GDT_Unknown, nullptr);
  if (handle->dataset == nullptr)
    throw OutputError(path, 0, GdalMessage("cannot create the table"));

  if (!coordsys.handle_) {
    auto read = std::make_unique<TabCoordSys::Handle>();
    if (OSRImportFromMICoordSys(read->srs.get(), coordsys.clause_.c_str()) != OGRERR_NONE) {
      throw OutputError(path, 0, GdalMessage("coordinate system not understood"));
    }
    OSRSetAxisMappingStrategy(read->srs.get(), OAMS_TRADITIONAL_GIS_ORDER);
    coordsys.handle_ = std::move(read);
  }
  // The layer keeps a copy of its own.
  const OGRSpatialReferenceH srs = coordsys.handle_->srs.get();

  CPLStringList options;
  options.SetNameValue("BOUNDS",
                       (FormatDouble(bounds.west) + "," + FormatDouble(bounds.south) + "," +
                        FormatDouble(bounds.east) + "," + FormatDouble(bounds.north))
                           .c_str());
  // No encoding: the driver stores the bytes it is given (see Close).
  options.SetNameValue("ENCODING", "");
  const std::string name = std::filesystem::path(path).stem().string();
  handle->layer =
      GDALDatasetCreateLayer(handle->dataset, name.c_str(), srs, wkbUnknown, options.List());
  if (handle->layer == nullptr) throw OutputError(path, 0, GdalMessage("cannot create the table"));
  return TabTable(path, std::move(handle));
}

void TabTable::AddField(std::string_view name, TabFieldType type, int width) {
  QuietGdalErrors quiet;
  const std::string field_name(name);
  OGRFieldDefnH field =
      OGR_Fld_Create(field_name.c_str(), type == TabFieldType::kInteger ? OFTInteger : OFTString);
  OGR_Fld_SetWidth(field, width);
  OGR_Fld_SetPrecision(field, 0);
  const OGRErr result = OGR_L_CreateField(handle_->layer, field, FALSE);
  OGR_Fld_Destroy(field);
  if (result != OGRERR_NONE) {
    throw OutputError(path_, 0, GdalMessage(("cannot add the field " + field_name).c_str()));
  }
  widths_.push_back(type == TabFieldType::kChar ? width : 0);
}

TabFeature TabTable::CreateFeature(TabFeatureType type) const {
  auto handle =
      std::make_unique<TabFeature::Handle>(OGR_F_Create(OGR_L_GetLayerDefn(handle_->layer)));
  return TabFeature(std::move(handle), type, this);
}

template <typename Style>
TabStyleFit TabTable::Register(std::vector<Style>& known, Style& style) {
  if (std::find(known.begin(), known.end(), style) != known.end()) return TabStyleFit::kExact;
  if (known.size() < kMaxStyles) {
    known.push_back(style);
    return TabStyleFit::kExact;
  }
  // Same shape first, then the nearest colour.
  const auto rank = [&style](const Style& s) {
    return std::make_tuple(SameShape(s, style) ? 0 : 1, ColourDistance(s.colour, style.colour));
  };
  style = *std::min_element(known.begin(), known.end(),
                            [&rank](const Style& a, const Style& b) { return rank(a) < rank(b); });
  return TabStyleFit::kNearest;
}

TabStyleFit TabTable::WriteFeature(TabFeature& feature) {
  QuietGdalErrors quiet;
  TabStyleFit fit = TabStyleFit::kExact;
  OGRFeatureH handle = feature.handle_->feature;
  // A feature without geometry carries no style in the table.
  if (feature.handle_->has_geometry) {
    if (feature.type_ == TabFeatureType::kPoint) {
      TabSymbol symbol = feature.has_symbol_ ? feature.symbol_ : kTabDefaultSymbol;
      fit = Register(symbols_, symbol);
      if (feature.has_symbol_ || fit != TabStyleFit::kExact) {
        OGR_F_SetStyleString(handle, SymbolStyle(symbol).c_str());
      }
    } else {
      TabPen pen = feature.has_pen_ ? feature.pen_ : kTabDefaultPen;
      fit = Register(pens_, pen);
      if (feature.has_pen_ || fit != TabStyleFit::kExact) {
        OGR_F_SetStyleString(handle, PenStyle(pen).c_str());
      }
    }
  }
  if (OGR_L_CreateFeature(handle_->layer, handle) != OGRERR_NONE) {
    throw OutputError(path_, 0, GdalMessage("cannot write a feature"));
  }
  return fit;
}

void TabTable::Close() {
  if (handle_->dataset == nullptr) return;
  {
    QuietGdalErrors quiet;
    GDALClose(handle_->dataset);
    handle_->dataset = nullptr;
    handle_->layer = nullptr;
    if (CPLGetLastErrorType() >= CE_Failure) {
      throw OutputError(path_, 0, GdalMessage("cannot close the table"));
    }
  }
  DeclareWindowsJapanese(path_);
}

void RemoveTabFiles(const std::string& tab_path) {
  std::filesystem::path path(tab_path);
  for (const char* extension : {".tab", ".map", ".dat", ".id", ".ind"}) {
    path.replace_extension(extension);
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
}

}  // namespace quellmark
