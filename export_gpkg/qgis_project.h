// A QGIS project kept inside the GeoPackage it draws: the rows QGIS 3
// reads through Project > Open From > GeoPackage, so the map opens with its
// layers grouped, styled, stacked and framed, nothing left to arrange.
//
// QGIS keeps such projects in a table of its own, qgis_projects (name TEXT
// PRIMARY KEY, metadata BLOB, content BLOB): one row a project, its content
// the project as QGIS zips it into a .qgz, written as lowercase hexadecimal
// text, its metadata a line of JSON with the time and user of the last
// save. The layers name their tables by a path relative to the GeoPackage
// ("./533945.gpkg|layername=DK"): QGIS resolves it beside the file the
// project was opened from, so the file may move to another folder, but a
// file renamed no longer finds its own tables.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

namespace quellmark {

enum class ProjectGeometry : unsigned char { kPoint, kLine };

struct ProjectLayer {
  std::string table;  // the table's name in the GeoPackage ("DK")
  std::string title;  // UTF-8, its name in the layer tree ("DK 道路")
  std::string group;  // UTF-8, the title of its group ("道路"); empty: no group
  bool visible = true;
  ProjectGeometry geometry = ProjectGeometry::kLine;
  // The layer's QML document, as stored in layer_styles: its root's
  // attributes (scale-based visibility, labelsEnabled) and elements
  // (renderer-v2, labeling, ...) become the layer's in the project.
  std::string qml;
};

struct ProjectRequest {
  std::string name;       // the project's name in qgis_projects ("533945")
  std::string file_name;  // the GeoPackage's own name, no folder ("533945.gpkg")
  int epsg = 4612;        // the tables' and the map's coordinate system
  double minx = 0;        // the extent the map opens at, in degrees
  double miny = 0;
  double maxx = 0;
  double maxy = 0;
  // The layer tree from the top. Each group stands where its first layer
  // does and holds its layers in the order given.
  std::vector<ProjectLayer> layers;
  // Tables from the one drawn on top to the one drawn first; layers it does
  // not name are drawn below them, in tree order.
  std::vector<std::string> drawing_order;
};

// The project as QGIS project XML (.qgs text, UTF-8). Throws OutputError
// naming the request's file when a layer's QML is not an XML document with
// a <qgis> root.
std::string QgisProjectXml(const ProjectRequest& request);

// Stores the project `qgs_xml` under `name` in `db` (an open connection to
// the GeoPackage, inside the caller's transaction), as QGIS stores one:
// qgis_projects made when missing, an earlier row of the name replaced.
// Throws OutputError naming `file_in_messages`.
void StoreQgisProject(sqlite3* db, const std::string& name, const std::string& qgs_xml,
                      const std::string& file_in_messages);

}  // namespace quellmark
