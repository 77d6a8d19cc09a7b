#include "export_tab/export_tab.h"

#include <string_view>

#include "export_tab/tab_layers.h"

namespace quellmark {

namespace {

using Converter = void (TabSheetConversion::*)(const std::string&, std::string_view,
                                               const std::string&);

struct Step {
  std::string_view code;
  Converter convert;
};

// The order keeps what passes between layers: the railway layer (TK) places
// the stations (EK), and the road layer (DK) writes the lists that HA, TO and
// YO are built from.
constexpr Step kSteps[] = {
    {"CM", &TabSheetConversion::ConvertTabCM}, {"KJ", &TabSheetConversion::ConvertTabKJ},
    {"KS", &TabSheetConversion::ConvertTabKS}, {"KK", &TabSheetConversion::ConvertTabKK},
    {"SK", &TabSheetConversion::ConvertTabSK}, {"GK", &TabSheetConversion::ConvertTabGK},
    {"GD", &TabSheetConversion::ConvertTabGD}, {"KO", &TabSheetConversion::ConvertTabKO},
    {"MH", &TabSheetConversion::ConvertTabMH}, {"TS", &TabSheetConversion::ConvertTabTS},
    {"TK", &TabSheetConversion::ConvertTabTK}, {"EK", &TabSheetConversion::ConvertTabEK},
    {"DK", &TabSheetConversion::ConvertTabDK}, {"DS", &TabSheetConversion::ConvertTabDS},
    {"HA", &TabSheetConversion::ConvertTabHA}, {"TO", &TabSheetConversion::ConvertTabTO},
    {"YO", &TabSheetConversion::ConvertTabYO},
};

}  // namespace

void ExportTabTables(const std::string& sheet_prefix, const std::string& output_prefix,
                     ExportContext& context) {
  // Stations are placed only by railway lines of the same sheet.
  context.state.er_point_table.Clear();
  if (!context.state.coordinates.LoadCoordinates(sheet_prefix)) return;

  TabSheetConversion conversion(context);
  for (const Step& step : kSteps) {
    if (context.layer_started) context.layer_started(step.code);
    (conversion.*step.convert)(sheet_prefix, step.code, output_prefix);
  }
}

}  // namespace quellmark
