"""check_qgis_project.py EXPECTED.json GEOPACKAGE

Opens the project stored in GEOPACKAGE as QGIS's main window does and
compares what QGIS made of it with EXPECTED.json (name, EPSG code, extent,
layer tree, drawing order, each table's rows and style). Prints each
difference; exits 1 when there is one.
"""

import json
import os
import shutil
import sys
import tempfile

# Before Qt starts: no display, and QGIS's settings and Qt's runtime files
# in a folder of this run, not the user's.
scratch = tempfile.mkdtemp(prefix="check-qgis-project-")
os.environ.update(QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=scratch,
                  XDG_CONFIG_HOME=f"{scratch}/config", XDG_DATA_HOME=f"{scratch}/data")

from qgis.core import QgsApplication, QgsProject, QgsProviderRegistry, QgsSettings  # noqa: E402
from qgis.gui import QgsLayerTreeMapCanvasBridge, QgsMapCanvas  # noqa: E402
from qgis.PyQt.QtCore import QUrl, QUrlQuery  # noqa: E402

problems = []


def expect(what, found, wanted):
    if found != wanted:
        problems.append(f"{what}: {found!r}, expected {wanted!r}")


def project_uri(path, name):
    # The form QGIS's GeoPackage project storage makes of a file and a name.
    url = QUrl()
    url.setScheme("geopackage")
    url.setPath(path)
    query = QUrlQuery()
    query.addQueryItem("projectName", name)
    url.setQuery(query)
    return bytes(url.toEncoded()).decode()


def source_of(layer):
    parts = QgsProviderRegistry.instance().decodeUri("ogr", layer.source())
    return parts.get("path"), parts.get("layerName")


def table_of(layer):
    return source_of(layer)[1]


def symbol_colour(renderer):
    if renderer.type() == "RuleRenderer":
        return renderer.rootRule().children()[0].symbol().color().name()
    return renderer.symbol().color().name()


def check(expected, path):
    project = QgsProject.instance()
    canvas = QgsMapCanvas()
    canvas.setObjectName("theMapCanvas")  # the main window's canvas
    bridge = QgsLayerTreeMapCanvasBridge(project.layerTreeRoot(), canvas)  # noqa: F841

    uri = project_uri(path, expected["name"])
    storage = QgsApplication.projectStorageRegistry().projectStorageFromUri(uri)
    # The list Project > Open From > GeoPackage shows.
    expect("projects in the file", storage.listProjects(uri), [expected["name"]])
    if not project.read(uri):
        problems.append(f"{uri}: QGIS cannot read the project: {project.error()}")
        return
    # The extent the project gave the canvas, before the canvas's widget
    # is laid out and fits the extent to its size.
    shown = canvas.extent()
    QgsApplication.processEvents()  # the canvas takes its layers from the tree

    crs = f"EPSG:{expected['epsg']}"
    expect("title", project.title(), expected["title"])
    expect("project crs", project.crs().authid(), crs)
    layers = {table_of(layer): layer for layer in project.mapLayers().values()}
    expect("tables", sorted(layers), sorted(expected["styles"]))
    for table, style in expected["styles"].items():
        layer = layers.get(table)
        if layer is None or not layer.isValid():
            problems.append(f"{table}: no valid layer")
            continue
        if os.path.realpath(source_of(layer)[0]) != os.path.realpath(path):
            problems.append(f"{table}: drawn from {layer.source()}, not from {path}")
        expect(f"{table} crs", layer.crs().authid(), crs)
        expect(f"{table} rows", layer.featureCount(), style["rows"])
        expect(f"{table} renderer", layer.renderer().type(), style["renderer"])
        expect(f"{table} colour", symbol_colour(layer.renderer()), style["colour"])
        expect(f"{table} scale-based", layer.hasScaleBasedVisibility(), style["scale_based"])
        if style["scale_based"]:
            expect(f"{table} scales", [layer.minimumScale(), layer.maximumScale()],
                   [style["min_scale"], style["max_scale"]])
        expect(f"{table} labels", layer.labelsEnabled(), style["labels"])

    root = project.layerTreeRoot()
    tree = [{"title": group.name(),
             "layers": [{"table": table_of(node.layer()), "title": node.name(),
                         "visible": node.itemVisibilityChecked()} for node in group.children()]}
            for group in root.children()]
    expect("layer tree", tree, expected["tree"])
    expect("custom layer order", root.hasCustomLayerOrder(), True)
    order = expected["drawing_order"]
    expect("drawing order", [table_of(layer) for layer in root.customLayerOrder()], order)
    hidden = {layer["table"] for group in expected["tree"] for layer in group["layers"]
              if not layer["visible"]}
    expect("layers the canvas draws", [table_of(layer) for layer in canvas.layers()],
           [table for table in order if table not in hidden])

    # The canvas shows the extent widened to its own shape, about its centre.
    minx, miny, maxx, maxy = expected["extent"]
    fits = (abs(shown.width() - (maxx - minx)) < 1e-9 and shown.height() >= maxy - miny or
            abs(shown.height() - (maxy - miny)) < 1e-9 and shown.width() >= maxx - minx)
    centred = (abs(shown.center().x() - (minx + maxx) / 2) < 1e-9 and
               abs(shown.center().y() - (miny + maxy) / 2) < 1e-9)
    if not fits or not centred:
        problems.append(f"canvas extent {shown.toString()}, expected {expected['extent']}")
    view = project.viewSettings().defaultViewExtent()
    expect("default view", [view.xMinimum(), view.yMinimum(), view.xMaximum(), view.yMaximum(),
                            view.crs().authid()], expected["extent"] + [crs])
    project.clear()


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        expected = json.load(f)
    app = QgsApplication([], True, f"{scratch}/profile")
    app.initQgis()
    # Where QGIS misses the project's own coordinate system it would take
    # its first layer's, the same here; this makes it take another.
    for key, value in (("newProjectCrsBehavior", "UsePresetCrs"),
                       ("defaultProjectCrs", "EPSG:4326")):
        QgsSettings().setValue(f"/projections/{key}", value, QgsSettings.App)
    check(expected, os.path.abspath(sys.argv[2]))
    app.exitQgis()
    shutil.rmtree(scratch, ignore_errors=True)
    for problem in problems:
        print(problem)
    print("ok" if not problems else f"{len(problems)} differences")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
