// quellmark-convert: converts map sheet archives from the command line into
// the formats of the program's registry.
#include "app/output_formats.h"
#include "cli/convert_main.h"

int main(int argc, char** argv) {
  return quellmark::ConvertMain(argc, argv, quellmark::OutputFormats(),
                                quellmark::DefaultOutputFormat());
}
