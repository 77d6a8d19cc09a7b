#include "export_gpkg/qgis_project.h"

#include <archive.h>
#include <archive_entry.h>
#include <cpl_conv.h>
#include <cpl_minixml.h>
#include <ogr_spatialref.h>
#include <pwd.h>
#include <unistd.h>

#include <charconv>
#include <ctime>
#include <memory>
#include <set>
#include <string_view>

#include "convert/gdal_errors.h"
#include "sal/errors.h"

namespace quellmark {

namespace {

struct NodeDeleter {
  void operator()(CPLXMLNode* node) const { CPLDestroyXMLNode(node); }
};
using Node = std::unique_ptr<CPLXMLNode, NodeDeleter>;

CPLXMLNode* Element(CPLXMLNode* parent, const char* name) {
  return CPLCreateXMLNode(parent, CXT_Element, name);
}
void Attribute(CPLXMLNode* element, const char* name, const std::string& value) {
  CPLAddXMLAttributeAndValue(element, name, value.c_str());
}
void Text(CPLXMLNode* parent, const char* name, const std::string& value) {
  CPLCreateXMLElementAndValue(parent, name, value.c_str());
}

// The shortest decimal that reads back as `value`.
std::string Number(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

// A coordinate system as QGIS reads it back: an internal id (srsid) in
// QGIS's own range makes QGIS take the system from its authority code
// alone; without one it looks for a WKT definition. The ids are those of
// QGIS 3.22's srs.db.
void SpatialRefSys(CPLXMLNode* parent, int epsg) {
  struct Known {
    int epsg;
    int srsid;
    const char* description;
  };
  constexpr Known kKnown[] = {{4612, 3465, "JGD2000"}, {4301, 3432, "Tokyo"}};
  const Known* known = nullptr;
  for (const Known& k : kKnown) {
    if (k.epsg == epsg) known = &k;
  }
  CPLXMLNode* srs = Element(parent, "spatialrefsys");
  // Any id in the range will do for the systems not listed: QGIS looks
  // the system up by its code, not by this id.
  Text(srs, "srsid", std::to_string(known != nullptr ? known->srsid : 1));
  Text(srs, "srid", std::to_string(epsg));
  Text(srs, "authid", "EPSG:" + std::to_string(epsg));
  std::string description = known != nullptr ? known->description : "";
  bool geographic = true;
  if (known == nullptr) {
    OGRSpatialReference system;
    if (system.importFromEPSG(epsg) == OGRERR_NONE) {
      if (system.GetName() != nullptr) description = system.GetName();
      geographic = system.IsGeographic();
    }
  }
  Text(srs, "description", description);
  Text(srs, "geographicflag", geographic ? "true" : "false");
}

// Whether QGIS measures the system in degrees (else in metres).
bool InDegrees(int epsg) {
  OGRSpatialReference system;
  return system.importFromEPSG(epsg) != OGRERR_NONE || system.IsGeographic();
}

// QGIS keeps a layer whose id is 10 characters or fewer only after giving
// it a new, random id, which would break the tree's and the order's
// references to it.
std::string LayerId(const ProjectLayer& layer) { return "quellmark_" + layer.table; }

// The layer's table, named relative to the GeoPackage the project is read
// from: QGIS resolves "./" paths beside that file.
std::string DataSource(const ProjectRequest& request, const ProjectLayer& layer) {
  return "./" + request.file_name + "|layername=" + layer.table;
}

void LayerTree(CPLXMLNode* parent, const ProjectRequest& request) {
  CPLXMLNode* root = Element(parent, "layer-tree-group");
  std::vector<std::pair<std::string, CPLXMLNode*>> groups;
  for (const ProjectLayer& layer : request.layers) {
    CPLXMLNode* holder = root;
    if (!layer.group.empty()) {
      holder = nullptr;
      for (const auto& [title, group] : groups) {
        if (title == layer.group) holder = group;
      }
      if (holder == nullptr) {
        holder = Element(root, "layer-tree-group");
        Attribute(holder, "name", layer.group);
        Attribute(holder, "checked", "Qt::Checked");
        Attribute(holder, "expanded", "1");
        groups.emplace_back(layer.group, holder);
      }
    }
    CPLXMLNode* node = Element(holder, "layer-tree-layer");
    Attribute(node, "id", LayerId(layer));
    Attribute(node, "name", layer.title);
    Attribute(node, "source", DataSource(request, layer));
    Attribute(node, "providerKey", "ogr");
    Attribute(node, "checked", layer.visible ? "Qt::Checked" : "Qt::Unchecked");
    // Legends folded: a layer drawn by many rules would fill the panel.
    Attribute(node, "expanded", "0");
  }
  // The drawing order, top first, naming every layer once: the request's
  // order, then the layers it leaves out, in tree order.
  CPLXMLNode* order = Element(root, "custom-order");
  Attribute(order, "enabled", "1");
  std::set<std::string> named;
  for (const std::string& table : request.drawing_order) {
    for (const ProjectLayer& layer : request.layers) {
      if (layer.table == table && named.insert(table).second) Text(order, "item", LayerId(layer));
    }
  }
  for (const ProjectLayer& layer : request.layers) {
    if (named.insert(layer.table).second) Text(order, "item", LayerId(layer));
  }
}

// The map as QGIS's main canvas reads it on opening the project.
void MapCanvas(CPLXMLNode* parent, const ProjectRequest& request) {
  CPLXMLNode* canvas = Element(parent, "mapcanvas");
  Attribute(canvas, "name", "theMapCanvas");
  Text(canvas, "units", InDegrees(request.epsg) ? "degrees" : "meters");
  CPLXMLNode* extent = Element(canvas, "extent");
  Text(extent, "xmin", Number(request.minx));
  Text(extent, "ymin", Number(request.miny));
  Text(extent, "xmax", Number(request.maxx));
  Text(extent, "ymax", Number(request.maxy));
  Text(canvas, "rotation", "0");
  SpatialRefSys(Element(canvas, "destinationsrs"), request.epsg);
}

// The layer's own elements, then its style: the QML root's attributes and
// elements, as QGIS writes them into the layer's element of a project.
void MapLayer(CPLXMLNode* parent, const ProjectRequest& request, const ProjectLayer& layer) {
  Node qml;
  {
    QuietGdalErrors quiet;
    qml.reset(CPLParseXMLString(layer.qml.c_str()));
  }
  CPLXMLNode* style = qml != nullptr ? CPLGetXMLNode(qml.get(), "=qgis") : nullptr;
  if (style == nullptr) {
    throw OutputError(request.file_name, 0,
                      "the style of " + layer.table + " is not a QML document");
  }
  const bool point = layer.geometry == ProjectGeometry::kPoint;
  CPLXMLNode* element = Element(parent, "maplayer");
  Attribute(element, "type", "vector");
  Attribute(element, "geometry", point ? "Point" : "Line");
  Attribute(element, "wkbType", point ? "Point" : "LineString");
  // The QML's version and categories describe the document, not the layer.
  constexpr std::string_view kOwn[] = {"type", "geometry", "wkbType", "version", "styleCategories"};
  for (const CPLXMLNode* child = style->psChild; child != nullptr; child = child->psNext) {
    if (child->eType != CXT_Attribute) continue;
    bool own = false;
    for (const std::string_view name : kOwn) own = own || name == child->pszValue;
    if (!own && child->psChild != nullptr) {
      CPLAddXMLAttributeAndValue(element, child->pszValue, child->psChild->pszValue);
    }
  }
  Text(element, "id", LayerId(layer));
  Text(element, "datasource", DataSource(request, layer));
  Text(element, "layername", layer.title);
  SpatialRefSys(Element(element, "srs"), request.epsg);
  CPLXMLNode* provider = Element(element, "provider");
  Attribute(provider, "encoding", "UTF-8");
  CPLCreateXMLNode(provider, CXT_Text, "ogr");
  // An element copied alone: a copy takes the siblings after it too.
  for (CPLXMLNode* child = style->psChild; child != nullptr; child = child->psNext) {
    if (child->eType != CXT_Element) continue;
    CPLXMLNode* const next = child->psNext;
    child->psNext = nullptr;
    CPLAddXMLChild(element, CPLCloneXMLTree(child));
    child->psNext = next;
  }
}

// Entries of the project's properties, typed as QGIS types them.
void Properties(CPLXMLNode* parent) {
  CPLXMLNode* properties = Element(parent, "properties");
  // Paths relative to the project's file, so the folder can move.
  CPLXMLNode* absolute = Element(Element(properties, "Paths"), "Absolute");
  Attribute(absolute, "type", "bool");
  CPLCreateXMLNode(absolute, CXT_Text, "false");
  // QGIS reads the project's coordinate system only where this is set.
  CPLXMLNode* enabled = Element(Element(properties, "SpatialRefSys"), "ProjectionsEnabled");
  Attribute(enabled, "type", "int");
  CPLCreateXMLNode(enabled, CXT_Text, "1");
}

// The extent QGIS returns to on "zoom to full" and shows where no canvas
// is (a map server, QGIS's own browser preview).
void ViewSettings(CPLXMLNode* parent, const ProjectRequest& request) {
  CPLXMLNode* settings = Element(parent, "ProjectViewSettings");
  Attribute(settings, "UseProjectScales", "0");
  Attribute(settings, "rotation", "0");
  CPLXMLNode* extent = Element(settings, "DefaultViewExtent");
  Attribute(extent, "xmin", Number(request.minx));
  Attribute(extent, "ymin", Number(request.miny));
  Attribute(extent, "xmax", Number(request.maxx));
  Attribute(extent, "ymax", Number(request.maxy));
  SpatialRefSys(extent, request.epsg);
}

// Writes the zip archive libarchive makes into a string.
la_ssize_t AppendTo(struct archive*, void* out, const void* buffer, size_t length) {
  static_cast<std::string*>(out)->append(static_cast<const char*>(buffer), length);
  return static_cast<la_ssize_t>(length);
}

// The project zipped as QGIS zips a .qgz: one .qgs file, deflated. QGIS
// finds the project by its extension, whatever its name.
std::string Zipped(const std::string& name, const std::string& qgs_xml,
                   const std::string& file_in_messages) {
  std::string zip;
  struct archive* writer = archive_write_new();
  struct archive_entry* entry = archive_entry_new();
  auto fail = [&](const char* what) {
    std::string message = std::string("cannot zip the QGIS project: ") + what;
    const char* detail = writer != nullptr ? archive_error_string(writer) : nullptr;
    if (detail != nullptr) {
      message += ": ";
      message += detail;
    }
    archive_entry_free(entry);
    archive_write_free(writer);
    throw OutputError(file_in_messages, 0, message);
  };
  if (writer == nullptr || entry == nullptr) fail("out of memory");
  // No padding after the archive: a zip reader looks for the archive's end
  // in its last bytes. No Zip64 records, which a project this small never
  // needs.
  if (archive_write_set_format_zip(writer) != ARCHIVE_OK ||
      archive_write_zip_set_compression_deflate(writer) != ARCHIVE_OK ||
      archive_write_set_options(writer, "zip:!zip64") != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(writer, 1) != ARCHIVE_OK ||
      archive_write_open(writer, &zip, nullptr, AppendTo, nullptr) != ARCHIVE_OK) {
    fail("cannot start the archive");
  }
  // A plain member name: the project's name is a file's stem, but a slash
  // in it would make a folder of it.
  std::string member = name.empty() ? "project" : name;
  for (char& c : member) {
    if (c == '/' || c == '\\') c = '_';
  }
  archive_entry_set_pathname_utf8(entry, (member + ".qgs").c_str());
  archive_entry_set_filetype(entry, AE_IFREG);
  archive_entry_set_perm(entry, 0644);
  // No size given: libarchive then leaves the local header's sizes and
  // checksum zero, all given after the data. Given a size, it puts that
  // size alone in the local header, and QGIS (libzip's consistency check)
  // refuses the archive as inconsistent with its directory.
  archive_entry_set_mtime(entry, std::time(nullptr), 0);
  if (archive_write_header(writer, entry) != ARCHIVE_OK ||
      archive_write_data(writer, qgs_xml.data(), qgs_xml.size()) !=
          static_cast<la_ssize_t>(qgs_xml.size()) ||
      archive_write_finish_entry(writer) != ARCHIVE_OK ||
      archive_write_close(writer) != ARCHIVE_OK) {
    fail("cannot write the archive");
  }
  archive_entry_free(entry);
  archive_write_free(writer);
  return zip;
}

std::string Hex(const std::string& bytes) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

std::string JsonString(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    quoted += c;
  }
  return quoted + '"';
}

// The row's metadata in the form QGIS writes it. QGIS reads the time as
// UTC (and writes local time), so the time here is UTC.
std::string Metadata() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char time[32];
  std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%S", &utc);
  const passwd* user = getpwuid(geteuid());
  return "{\"last_modified_time\": " + JsonString(time) +
         ", \"last_modified_user\": " + JsonString(user != nullptr ? user->pw_name : "") + " }";
}

struct StatementDeleter {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

}  // namespace

std::string QgisProjectXml(const ProjectRequest& request) {
  const Node project(Element(nullptr, "qgis"));
  CPLXMLNode* root = project.get();
  Attribute(root, "projectname", request.name);
  // The QGIS release whose projects this one is written like.
  Attribute(root, "version", "3.22.0-Białowieża");
  Text(root, "title", request.name);
  SpatialRefSys(Element(root, "projectCrs"), request.epsg);
  LayerTree(root, request);
  MapCanvas(root, request);
  CPLXMLNode* layers = Element(root, "projectlayers");
  for (const ProjectLayer& layer : request.layers) MapLayer(layers, request, layer);
  Properties(root);
  ViewSettings(root, request);
  char* text = CPLSerializeXMLTree(root);
  std::string xml = "<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>\n";
  xml += text;
  CPLFree(text);
  return xml;
}

void StoreQgisProject(sqlite3* db, const std::string& name, const std::string& qgs_xml,
                      const std::string& file_in_messages) {
  const std::string content = Hex(Zipped(name, qgs_xml, file_in_messages));
  const std::string metadata = Metadata();
  auto fail = [&](const std::string& what) {
    throw OutputError(file_in_messages, 0, what + ": " + sqlite3_errmsg(db));
  };
  // The table as QGIS creates it.
  if (sqlite3_exec(db,
                   "CREATE TABLE IF NOT EXISTS qgis_projects"
                   "(name TEXT PRIMARY KEY, metadata BLOB, content BLOB)",
                   nullptr, nullptr, nullptr) != SQLITE_OK) {
    fail("cannot create the qgis_projects table");
  }
  auto run = [&](const char* sql, std::initializer_list<const std::string*> values) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
      fail("cannot store the QGIS project " + name);
    }
    const Statement statement(raw);
    int index = 0;
    // Text, not blobs: QGIS reads each column as text.
    for (const std::string* value : values) {
      sqlite3_bind_text(raw, ++index, value->data(), static_cast<int>(value->size()),
                        SQLITE_STATIC);
    }
    if (sqlite3_step(raw) != SQLITE_DONE) fail("cannot store the QGIS project " + name);
  };
  run("DELETE FROM qgis_projects WHERE name = ?", {&name});
  run("INSERT INTO qgis_projects (name, metadata, content) VALUES (?, ?, ?)",
      {&name, &metadata, &content});
}

}  // namespace quellmark
