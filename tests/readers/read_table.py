"""read_table.py READER PATH [ENCODING]

Reads the `name` field of every row of a table the way the README tells a
user to, and prints one line per row: the name, a tab, and the geometry's
type ("None" for a row without geometry). READER is

  pyshp      shapefile.Reader(PATH, encoding=ENCODING)  (no ENCODING: the default)
  geopandas  geopandas.read_file(PATH, encoding=ENCODING); PATH may be
             FILE.gpkg:LAYER for a GeoPackage's table

A reader that raises prints "error: TYPE: MESSAGE" and exits 1; a reader
that is not installed exits 77.
"""

import importlib.util
import sys


def absent_unless(module):
    # Only a module that is not there at all skips; one that is there but
    # fails to import fails the test.
    if importlib.util.find_spec(module) is None:
        sys.exit(77)


def rows_pyshp(path, encoding):
    absent_unless("shapefile")
    import shapefile
    reader = shapefile.Reader(path, encoding=encoding) if encoding else shapefile.Reader(path)
    with reader:
        for shape_record in reader.iterShapeRecords():
            shape = shape_record.shape
            kind = "None" if shape.shapeType == shapefile.NULL else shape.shapeTypeName.title()
            yield shape_record.record["name"], kind


def rows_geopandas(path, encoding):
    absent_unless("geopandas")
    import geopandas
    options = {"encoding": encoding} if encoding else {}
    if ".gpkg:" in path:
        path, layer = path.rsplit(":", 1)
        options["layer"] = layer
    frame = geopandas.read_file(path, **options)
    for name, geometry in zip(frame["name"], frame.geometry):
        yield name, "None" if geometry is None else geometry.geom_type


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    reader, path = sys.argv[1], sys.argv[2]
    encoding = sys.argv[3] if len(sys.argv) == 4 else None
    rows = {"pyshp": rows_pyshp, "geopandas": rows_geopandas}[reader]
    out = []
    try:
        for name, kind in rows(path, encoding):
            out.append(f"{name}\t{kind}\n")
    except Exception as error:  # the failure is what the test looks at
        message = f"error: {type(error).__name__}: {error}\n"
        sys.stdout.buffer.write(message.encode("utf-8", "backslashreplace"))
        sys.exit(1)
    sys.stdout.buffer.write("".join(out).encode("utf-8"))


main()
