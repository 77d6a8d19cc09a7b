#include "export_tab/tab_layers.h"

#include <array>
#include <charconv>
#include <cmath>
#include <optional>

#include "sal/attribute_codes.h"
#include "sal/layer_reader.h"
#include "sal/list_files.h"
#include "sal/tokenizer.h"

namespace quellmark {

namespace {

using F = RecordField;
using T = TabFieldType;

constexpr TabField Name(int width) { return {"name", T::kChar, width, TabValue::kFeatureName}; }
constexpr TabField Text(std::string_view name, RecordField field, int width) {
  return {name, T::kChar, width, TabValue::kText, field};
}
constexpr TabField CodeName(std::string_view name, RecordField field) {
  return {name, T::kChar, 20, TabValue::kCodeName, field};
}

// Named point layers.
constexpr TabField kCmFields[] = {Name(60), Text("sr", F::kSr, 2), CodeName("srname", F::kSr),
                                  Text("id", F::kId, 8), Text("ptid", F::kPtid, 8)};
constexpr TabField kKjFields[] = {Name(60),
                                  Text("hk", F::kHk, 9),
                                  Text("sr", F::kSr, 2),
                                  CodeName("srname", F::kSr),
                                  Text("id", F::kId, 8),
                                  Text("ptid", F::kPtid, 8)};
constexpr TabField kGdFields[] = {Name(60), Text("sb", F::kSb, 2), CodeName("sbname", F::kSb),
                                  Text("id", F::kId, 8), Text("kair", F::kKair, 14)};
constexpr TabField kKoFields[] = {Name(60),
                                  Text("sr", F::kSr, 2),
                                  CodeName("srname", F::kSr),
                                  Text("id", F::kId, 8),
                                  Text("ptid", F::kPtid, 8),
                                  Text("js", F::kJs, 60)};
constexpr TabField kEkFields[] = {Name(60), Text("id", F::kId, 8), Text("knir", F::kKnir, 8)};

// Node point layers.
constexpr TabField kNodeFields[] = {Text("id", F::kId, 8), Text("ptid", F::kPtid, 8),
                                    Text("ndid", F::kNdid, 8), Text("gmir", F::kGmir, 14)};
constexpr TabField kTsFields[] = {Text("ndid", F::kNdid, 8), Text("gmir", F::kGmir, 14),
                                  Text("id", F::kId, 8), Text("ptid", F::kPtid, 8)};
constexpr TabField kMhFields[] = {Text("hk", F::kHk, 12), Text("id", F::kId, 8),
                                  Text("ptid", F::kPtid, 8)};

// Line layers.
constexpr TabField kSkFields[] = {Name(60), Text("sr", F::kSr, 2), CodeName("srname", F::kSr),
                                  Text("id", F::kId, 8), Text("cvid", F::kCvid, 8)};
constexpr TabField kGkFields[] = {Name(60),
                                  Text("jt", F::kJt, 2),
                                  CodeName("jtname", F::kJt),
                                  Text("sr", F::kSr, 2),
                                  CodeName("srname", F::kSr),
                                  Text("id", F::kId, 8),
                                  Text("cvid", F::kCvid, 8)};
constexpr TabField kTkFields[] = {Name(60),
                                  Text("jt", F::kJt, 2),
                                  CodeName("jtname", F::kJt),
                                  Text("sb", F::kSb, 2),
                                  CodeName("sbname", F::kSb),
                                  Text("id", F::kId, 8),
                                  Text("cvid", F::kCvid, 8),
                                  Text("egid", F::kEgid, 8),
                                  Text("hrir", F::kHrir, 14),
                                  Text("erir", F::kErir, 14),
                                  Text("bdir1", F::kBdir1, 14),
                                  Text("bdir2", F::kBdir2, 14),
                                  Text("gmir", F::kGmir, 14)};

// Road layers: DK adds hrir before trir and yrir after it.
constexpr std::array<TabField, 15> kRoadHead{
    {Name(60), Text("jt", F::kJt, 2), CodeName("jtname", F::kJt), Text("yu", F::kYu, 2),
     CodeName("yuname", F::kYu), Text("sb", F::kSb, 2), CodeName("sbname", F::kSb),
     Text("fi", F::kFi, 2), CodeName("finame", F::kFi), Text("id", F::kId, 8),
     Text("cvid", F::kCvid, 8), Text("egid", F::kEgid, 8), Text("bdir1", F::kBdir1, 14),
     Text("bdir2", F::kBdir2, 14), Text("gmir", F::kGmir, 14)}};
constexpr TabField kKb{"kb", T::kInteger, 6, TabValue::kKb};

template <std::size_t N>
constexpr std::array<TabField, kRoadHead.size() + N> RoadFields(
    const std::array<TabField, N>& tail) {
  std::array<TabField, kRoadHead.size() + N> fields{};
  for (std::size_t i = 0; i < kRoadHead.size(); ++i) fields[i] = kRoadHead[i];
  for (std::size_t i = 0; i < N; ++i) fields[kRoadHead.size() + i] = tail[i];
  return fields;
}

constexpr auto kKkFields = RoadFields(std::array<TabField, 2>{{Text("trir", F::kTrir, 14), kKb}});
constexpr auto kDkFields = RoadFields(std::array<TabField, 4>{
    {Text("hrir", F::kHrir, 14), Text("trir", F::kTrir, 14), Text("yrir", F::kYrir, 14), kKb}});

// Text-list layers.
constexpr TabField kListFields[] = {
    Name(32), Text("id", F::kId, 8), {"ir", T::kChar, 14, TabValue::kListReference}};

constexpr TabSymbol kRedSymbol{67, 12, RgbColor(255, 0, 0)};
constexpr TabSymbol kHeightSymbol{32, 12, RgbColor(0, 0, 0)};
constexpr TabSymbol kControlSymbol{kControlPointSymbol, 10, 0};

using P = TabPlacement;
using S = TabStyleRule;
constexpr TabInput kSal = TabInput::kLayerFile;
constexpr TabInput kList = TabInput::kListFile;

constexpr std::array<TabLayer, 17> kLayers{{
    {"CM", kSal, P::kFirstPoint, kCmFields, S::kSymbol, kRedSymbol},
    {"KJ", kSal, P::kFirstPoint, kKjFields, S::kGradedSymbol, kControlSymbol},
    {"KS", kSal, P::kFirstPoint, kNodeFields, S::kSymbol, kRedSymbol},
    {"KK", kSal, P::kLine, kKkFields, S::kPen, {}, {2, 2, RgbColor(0, 200, 200)}},
    {"SK", kSal, P::kLine, kSkFields, S::kPen, {}, {1, 2, RgbColor(0, 255, 255)}},
    {"GK", kSal, P::kLine, kGkFields, S::kNone},
    {"GD", kSal, P::kFirstPoint, kGdFields, S::kSymbol, kRedSymbol},
    {"KO", kSal, P::kFirstPoint, kKoFields, S::kSymbol, kRedSymbol},
    {"MH", kSal, P::kFirstMhPoint, kMhFields, S::kSymbol, kHeightSymbol},
    {"TS", kSal, P::kFirstPoint, kTsFields, S::kSymbol, kRedSymbol},
    {"TK", kSal, P::kRailway, kTkFields, S::kRailwayPen},
    {"EK", kSal, P::kStation, kEkFields, S::kSymbol, kRedSymbol},
    {"DK", kSal, P::kLine, kDkFields, S::kRoadPen, {}, {}, /*writes_list_files=*/true},
    {"DS", kSal, P::kFirstPoint, kNodeFields, S::kSymbol, kRedSymbol},
    {"HA", kList, P::kLine, kListFields, S::kNone},
    {"TO", kList, P::kLine, kListFields, S::kNone},
    {"YO", kList, P::kLine, kListFields, S::kNone},
}};

const TabLayer& Layer(std::string_view code) { return *FindTabLayer(code); }

TabPen RailwayPen(const SalRecord& record) {
  if (record.sb == "43") return {3, 77, RgbColor(40, 256, 180)};
  return {3, 2, RgbColor(40, 40, 180)};
}

// Width from the width class, colour from the road kind; a reference to an
// HA, TO or YO feature overrides both.
TabPen RoadPen(const SalRecord& record) {
  const std::string_view fi = record.fi.view();
  int width = 1;
  if (fi >= std::string_view("19") && fi <= std::string_view("1A")) {
    width = 2;
  } else if (fi == "1B") {
    width = 3;
  }
  std::int32_t colour = RgbColor(200, 200, 200);
  if (record.sb == "16") {
    width = 4;
    colour = RgbColor(200, 128, 0);
  }
  if (!record.hrir.empty()) return {width, 2, RgbColor(0, 0, 0)};
  if (!record.trir.empty()) return {3, 2, RgbColor(0, 0, 0)};
  if (!record.yrir.empty()) return {3, 112, RgbColor(40, 80, 80)};
  return {width, 2, colour};
}

std::string_view FieldValue(const TabField& field, std::string_view layer_code,
                            const SalLayerReader& reader, std::string& scratch) {
  const SalRecord& record = reader.record();
  switch (field.value) {
    case TabValue::kFeatureName:
      return reader.feature_name();
    case TabValue::kText:
      return FieldText(record, field.source);
    case TabValue::kCodeName:
      return AttributeCodeName(FieldText(record, field.source));
    case TabValue::kKb:
      scratch = std::to_string(record.kb);
      return scratch;
    case TabValue::kListReference:
      return ListLayerReference(record, layer_code);
  }
  return {};
}

std::int32_t RoundHalfEven(double value) {
  double whole = std::floor(value);
  const double fraction = value - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  return static_cast<std::int32_t>(whole);
}

}  // namespace

const TabLayer* FindTabLayer(std::string_view code) {
  for (const TabLayer& layer : kLayers) {
    if (layer.code == code) return &layer;
  }
  return nullptr;
}

bool GradedColour(std::string_view hk, std::int32_t& colour) {
  // A decimal number, blanks around it allowed: sign, digits, fraction,
  // exponent; nothing else (no "inf", "nan" or hexadecimal).
  while (!hk.empty() && hk.front() == ' ') hk.remove_prefix(1);
  while (!hk.empty() && hk.back() == ' ') hk.remove_suffix(1);
  bool negative = false;
  if (!hk.empty() && (hk.front() == '-' || hk.front() == '+')) {
    negative = hk.front() == '-';
    hk.remove_prefix(1);
  }
  if (hk.empty() || !((hk.front() >= '0' && hk.front() <= '9') || hk.front() == '.')) return false;
  std::string text(hk);
  if (text.front() == '.') text.insert(0, 1, '0');
  double height = 0.0;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), last, height, std::chars_format::general);
  if (error != std::errc() || end != last) return false;
  if (negative) height = -height;
  if (!(height >= 1.0)) height = 1.0;
  colour = RoundHalfEven(16711680.0 / height);
  return true;
}

// ---------------------------------------------------------------------------

void TabSheetConversion::ConvertTabCM(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("CM"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabKJ(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("KJ"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabKS(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("KS"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabKK(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("KK"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabSK(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("SK"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabGK(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("GK"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabGD(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("GD"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabKO(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("KO"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabMH(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("MH"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabTS(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("TS"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabTK(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("TK"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabEK(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("EK"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabDK(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("DK"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabDS(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("DS"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabHA(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("HA"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabTO(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("TO"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::ConvertTabYO(const std::string& sheet_prefix, std::string_view layer_code,
                                      const std::string& output_prefix) {
  Convert(Layer("YO"), sheet_prefix, layer_code, output_prefix);
}

void TabSheetConversion::Convert(const TabLayer& layer, const std::string& sheet_prefix,
                                 std::string_view layer_code, const std::string& output_prefix) {
  const std::string code(layer_code);
  SalLayerReader reader(context_.notifier);
  const std::string input = layer.input == TabInput::kListFile ? sheet_prefix + "_" + code + ".txt"
                                                               : sheet_prefix + code + ".sal";
  if (!reader.Open(input)) return;

  const std::string table_path = output_prefix + code + ".tab";
  reported_outside_ = false;
  bool reported_style = false;
  try {
    std::optional<ListFileWriter> lists;
    if (layer.writes_list_files) lists.emplace(sheet_prefix);
    TabTable table = TabTable::Create(table_path, coordsys_, kTabBounds);
    for (const TabField& field : layer.fields) table.AddField(field.name, field.type, field.width);
    while (reader.Next()) {
      if (!WriteLine(layer, reader, table) && !reported_style) {
        reader.reporter().Report("more different styles than a TAB table holds; " +
                                 std::to_string(TabTable::kMaxStyles) +
                                 " kept, the rest drawn with the nearest colour");
        reported_style = true;
      }
      if (lists) lists->Copy(reader.raw_line(), reader.record());
    }
    reader.Close();
    if (lists) lists->Close();
    table.Close();
  } catch (...) {
    RemoveTabFiles(table_path);
    throw;
  }
  if (context_.table_written) context_.table_written(layer_code);
}

bool TabSheetConversion::WriteLine(const TabLayer& layer, SalLayerReader& reader, TabTable& table) {
  const bool point = layer.is_point_layer();
  TabFeature feature =
      table.CreateFeature(point ? TabFeatureType::kPoint : TabFeatureType::kPolyline);
  Place(layer, reader, feature);
  if (point) StylePoint(layer, reader, feature);
  std::string scratch;
  for (std::size_t i = 0; i < layer.fields.size(); ++i) {
    feature.SetField(static_cast<int>(i), FieldValue(layer.fields[i], layer.code, reader, scratch));
  }
  if (!point) StyleLine(layer, reader.record(), feature);
  return table.WriteFeature(feature) == TabStyleFit::kExact;
}

void TabSheetConversion::Place(const TabLayer& layer, SalLayerReader& reader, TabFeature& feature) {
  const Reporter& reporter = reader.reporter();
  const SalRecord& record = reader.record();
  double x = 0.0;
  double y = 0.0;
  bool placed = false;
  switch (layer.placement) {
    case TabPlacement::kFirstPoint:
    case TabPlacement::kFirstMhPoint: {
      // Only the first item is drawn; the rest stays for the lines after.
      std::string& list = reader.point_list();
      std::string_view rest = list;
      std::int32_t n = 0;
      if (TakePointNumber(rest, n)) {
        list.erase(0, list.size() - rest.size());
        const PointSource source = layer.placement == TabPlacement::kFirstMhPoint
                                       ? PointSource::kMhPointTable
                                       : PointSource::kPointTable;
        placed = Resolve(n, source, reporter, x, y);
      }
      feature.SetPoints(0, placed ? 1 : 0, &x, &y);
      break;
    }
    case TabPlacement::kStation: {
      std::int32_t n = 0;
      placed = context_.state.er_point_table.Get(StationNumberOfId(record.id), n) &&
               Resolve(n, PointSource::kPointTable, reporter, x, y);
      feature.SetPoints(0, placed ? 1 : 0, &x, &y);
      break;
    }
    case TabPlacement::kLine:
    case TabPlacement::kRailway: {
      std::int32_t first = 0;
      const bool any = GatherVertices(reader.point_list(), reporter, first);
      feature.SetPoints(0, tab_vertex_x_.size(), tab_vertex_x_.data(), tab_vertex_y_.data());
      if (layer.placement == TabPlacement::kRailway && any && !record.erir.empty()) {
        context_.state.er_point_table.Set(StationNumberOfReference(record.erir), first);
      }
      break;
    }
  }
}

bool TabSheetConversion::Resolve(std::int32_t n, PointSource source, const Reporter& reporter,
                                 double& x, double& y) {
  if (!ResolvePoint(context_.state.coordinates, source, n, x, y, reporter)) return false;
  if (x < kTabBounds.west || x > kTabBounds.east || y < kTabBounds.south || y > kTabBounds.north) {
    if (!reported_outside_) {
      reporter.Report("point " + std::to_string(n) + " lies outside the TAB bounds; left out");
      reported_outside_ = true;
    }
    return false;
  }
  return true;
}

bool TabSheetConversion::GatherVertices(std::string& point_list, const Reporter& reporter,
                                        std::int32_t& first) {
  tab_vertex_x_.clear();
  tab_vertex_y_.clear();
  std::string_view rest = point_list;
  std::int32_t n = 0;
  bool any = false;
  while (TakePointNumber(rest, n)) {
    if (!any) first = n;
    any = true;
    double x = 0.0;
    double y = 0.0;
    if (Resolve(n, PointSource::kPointTable, reporter, x, y)) {
      tab_vertex_x_.push_back(x);
      tab_vertex_y_.push_back(y);
    }
  }
  point_list.clear();  // a line uses its list up
  return any;
}

void TabSheetConversion::StylePoint(const TabLayer& layer, const SalLayerReader& reader,
                                    TabFeature& feature) {
  const TabSymbol& symbol = layer.symbol;
  switch (layer.style) {
    case TabStyleRule::kSymbol:
      feature.SetSymbol(symbol.number, symbol.size, symbol.colour);
      break;
    case TabStyleRule::kGradedSymbol: {
      std::int32_t colour = 0;
      const std::string_view hk = reader.record().hk.view();
      if (!GradedColour(hk, colour)) {
        reader.reporter().Report("hk is not a number: " + std::string(hk));
        colour = RgbColor(255, 0, 0);
      }
      feature.SetSymbol(symbol.number, symbol.size, colour);
      break;
    }
    default:
      break;
  }
}

void TabSheetConversion::StyleLine(const TabLayer& layer, const SalRecord& record,
                                   TabFeature& feature) {
  std::optional<TabPen> pen;
  switch (layer.style) {
    case TabStyleRule::kPen:
      pen = layer.pen;
      break;
    case TabStyleRule::kRailwayPen:
      pen = RailwayPen(record);
      break;
    case TabStyleRule::kRoadPen:
      pen = RoadPen(record);
      break;
    default:
      break;
  }
  if (pen) feature.SetPen(pen->width, pen->pattern, pen->colour);
}

}  // namespace quellmark
