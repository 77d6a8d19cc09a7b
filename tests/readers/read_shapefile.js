// node read_shapefile.js MODULES SHP [ENCODING]
//
// Reads a shapefile with the npm `shapefile` package installed under the
// folder MODULES, as the README tells a user to:
//   shapefile.read(SHP, undefined, {encoding: ENCODING})
// (no ENCODING: the package's default), and prints one line per row: the
// `name` field, a tab, and the geometry's type ("None" for a row without
// geometry). A read that fails prints "error: NAME: MESSAGE" and exits 1.
"use strict";

const path = require("path");

const [modules, shp, encoding] = process.argv.slice(2);
const shapefile = require(path.join(modules, "node_modules", "shapefile"));

shapefile
  .read(shp, undefined, encoding === undefined ? undefined : {encoding})
  .then((collection) => {
    for (const feature of collection.features) {
      const kind = feature.geometry === null ? "None" : feature.geometry.type;
      process.stdout.write(`${feature.properties.name}\t${kind}\n`);
    }
  })
  .catch((error) => {
    process.stdout.write(`error: ${error.name}: ${error.message}\n`);
    process.exitCode = 1;
  });
