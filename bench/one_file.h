// One GeoPackage for many sheets: median archives, each sheet at a place of
// its own, through quellmark-convert --output FILE.gpkg, a small batch and a
// large one. Measures when each sheet's rows reached the file (from the
// file's growth, sampled while the program runs), the time per sheet early
// and late in the large batch, what the end of the run costs, the peak
// memory of both batches, and from them the whole country.
#pragma once

#include <filesystem>
#include <string>

namespace quellmark::bench {

struct OneFileOptions {
  std::string convert;         // the quellmark-convert to run
  std::filesystem::path work;  // archives (reused when already made) and output
  int sheets = 200;            // the large batch
  int window = 50;             // the small batch, and the first and last sheets compared
  int jobs = 2;
  int repeats = 1;     // both batches this many times, in turn
  int country = 4400;  // sheets of the whole country
};

// Prints its tables (Markdown) on stdout, progress on stderr.
void MeasureOneFile(const OneFileOptions& options);

}  // namespace quellmark::bench
