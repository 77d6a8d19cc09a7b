// quellmark-manual IN OUT: writes the manual page IN with the formats of the
// program's registry in place of its %%FORMAT_...%% words, so that the pages
// list what the programs offer. Run by the build.
//   %%FORMAT_NAMES%%    "ArcInfo shape, MapInfo TAB or GeoPackage"
//   %%FORMAT_IDS%%      "shape | tab | gpkg", for .IR
//   %%FORMAT_CHOICES%%  the formats, one tagged paragraph each: id, name,
//                     files, the default, one file for every sheet
//   %%FORMAT_WINDOW_CHOICES%%  the same without the command line's options
//   %%LAYERS%%        "CM 地名, KJ 基準点, ...": the catalogue's layers
//   %%PLANE_ZONES%%   the plane rectangular zones and what each serves
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "app/output_formats.h"
#include "convert/plane_zones.h"
#include "layers/map_styles.h"

namespace {

using namespace quellmark;

std::string Ids() {
  std::string ids;
  for (const OutputFormat* format : OutputFormats()) {
    if (!ids.empty()) ids += " | ";
    ids += format->id();
  }
  return ids;
}

std::string Choices(bool command_line) {
  std::string text = ".RS\n";
  for (const OutputFormat* format : OutputFormats()) {
    text += ".TP\n.I " + std::string(format->id()) + "\n" + std::string(format->label());
    if (format == &DefaultOutputFormat()) text += " (the default)";
    text += ": ";
    if (format->table_extensions().empty()) {
      text += "one file per sheet, \\fINAME\\fP" + std::string(format->collection_extension());
    } else {
      // The main file, then the rest.
      const auto extensions = format->table_extensions();
      text += "per layer \\fINAMECODE\\fP" + std::string(extensions.back());
      for (std::size_t i = 0; i + 1 < extensions.size(); ++i) {
        text += (i == 0 ? " with " : ", ") + std::string(extensions[i]);
      }
    }
    text += "\n";
    if (command_line && !format->collection_extension().empty()) {
      text += "(also every sheet of a run in one file,\n.BR \\-\\-output \" \" \\fIFILE\\fP" +
              std::string(format->collection_extension()) + ")\n";
    }
  }
  return text + ".RE\n";
}

// "CM 地名, KJ 基準点, ...", in conversion order.
std::string LayerNames() {
  std::string names;
  for (const LayerSpec& layer : Layers()) {
    if (!names.empty()) names += ", ";
    names += std::string(layer.code) + " " + std::string(MapStyleOf(layer).title);
  }
  return names;
}

void ReplaceAll(std::string& text, const std::string& word, const std::string& value) {
  for (std::size_t at = text.find(word); at != std::string::npos;
       at = text.find(word, at + value.size())) {
    text.replace(at, word.size(), value);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: quellmark-manual IN OUT\n", stderr);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream page;
  page << in.rdbuf();
  if (!in) {
    std::fprintf(stderr, "quellmark-manual: cannot read %s\n", argv[1]);
    return 1;
  }
  std::string text = page.str();
  ReplaceAll(text, "%%FORMAT_NAMES%%", FormatNames(OutputFormats()));
  ReplaceAll(text, "%%FORMAT_IDS%%", Ids());
  ReplaceAll(text, "%%FORMAT_CHOICES%%", Choices(true));
  ReplaceAll(text, "%%FORMAT_WINDOW_CHOICES%%", Choices(false));
  ReplaceAll(text, "%%LAYERS%%", LayerNames());
  ReplaceAll(text, "%%PLANE_ZONES%%", ".RS\n.nf\n" + PlaneZoneLines("") + ".fi\n.RE");
  if (text.find("%%") != std::string::npos) {
    std::fprintf(stderr, "quellmark-manual: %s: a %s word it does not know\n", argv[1], "%%...%%");
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::fprintf(stderr, "quellmark-manual: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
