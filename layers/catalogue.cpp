#include "layers/catalogue.h"

#include <array>
#include <stdexcept>
#include <string>

namespace quellmark {

namespace {

using enum RecordField;
using G = LayerGeometry;
using P = Placement;

// Record numbers: six digits for point layers, eleven for line layers.
constexpr FieldSpec PointNo() { return {"no", FieldType::kInteger, 6, ValueSource::kRecordNumber}; }
constexpr FieldSpec LineNo() { return {"no", FieldType::kInteger, 11, ValueSource::kRecordNumber}; }
constexpr FieldSpec Name(int width = 60) {
  return {"name", FieldType::kText, width, ValueSource::kFeatureName};
}
constexpr FieldSpec Text(std::string_view name, RecordField field, int width) {
  return {name, FieldType::kText, width, ValueSource::kRecordText, field};
}
// An ID (8 bytes as the parser keeps it) and a reference (14 bytes).
constexpr FieldSpec Id(std::string_view name, RecordField field) { return Text(name, field, 8); }
constexpr FieldSpec Ref(std::string_view name, RecordField field) { return Text(name, field, 14); }
// A two-character attribute code, followed by its decoded name.
constexpr FieldSpec Code(std::string_view name, RecordField field) { return Text(name, field, 2); }
constexpr FieldSpec CodeName(std::string_view name, RecordField field) {
  return {name, FieldType::kText, 20, ValueSource::kCodeName, field};
}

constexpr FieldSpec kCmFields[] = {
    PointNo(), Name(), Code("sr", kSr), CodeName("srname", kSr), Id("id", kId), Id("ptid", kPtid),
};
constexpr FieldSpec kKjFields[] = {
    PointNo(),
    Name(),
    Text("hk", kHk, 9),
    Code("sr", kSr),
    CodeName("srname", kSr),
    Id("id", kId),
    Id("ptid", kPtid),
    Id("pdid", kPdid),
    Text("pd", kPd, 8),
};
constexpr FieldSpec kKsFields[] = {
    PointNo(), Id("id", kId), Id("ptid", kPtid), Id("ndid", kNdid), Ref("gmir", kGmir),
};
constexpr FieldSpec kRoadFields[] = {
    LineNo(),
    Name(),
    Code("jt", kJt),
    CodeName("jtname", kJt),
    Code("yu", kYu),
    CodeName("yuname", kYu),
    Code("sb", kSb),
    CodeName("sbname", kSb),
    Code("fi", kFi),
    CodeName("finame", kFi),
    Id("id", kId),
    Id("cvid", kCvid),
    Id("egid", kEgid),
    Ref("bdir1", kBdir1),
    Ref("bdir2", kBdir2),
    Ref("gmir", kGmir),
    Ref("hrir", kHrir),
    Ref("trir", kTrir),
    Ref("yrir", kYrir),
    {"kb", FieldType::kInteger, 6, ValueSource::kKb},
};
constexpr FieldSpec kSkFields[] = {
    LineNo(), Name(), Code("sr", kSr), CodeName("srname", kSr), Id("id", kId), Id("cvid", kCvid),
};
constexpr FieldSpec kGkFields[] = {
    LineNo(),        Name(),
    Code("jt", kJt), CodeName("jtname", kJt),
    Code("sr", kSr), CodeName("srname", kSr),
    Id("id", kId),   Id("cvid", kCvid),
};
constexpr FieldSpec kGdFields[] = {
    PointNo(), Name(), Code("sb", kSb), CodeName("sbname", kSb), Id("id", kId), Ref("kair", kKair),
};
constexpr FieldSpec kKoFields[] = {
    PointNo(),           Name(),
    Code("sr", kSr),     CodeName("srname", kSr),
    Id("id", kId),       Id("ptid", kPtid),
    Text("js", kJs, 60),
};
constexpr FieldSpec kMhFields[] = {
    PointNo(),
    Text("hk", kHk, 9),
    Id("id", kId),
    Id("ptid", kPtid),
};
constexpr FieldSpec kTsFields[] = {
    PointNo(), Id("ndid", kNdid), Ref("gmir", kGmir), Id("id", kId), Id("ptid", kPtid),
};
constexpr FieldSpec kTkFields[] = {
    LineNo(),
    Name(),
    Code("jt", kJt),
    CodeName("jtname", kJt),
    Code("sb", kSb),
    CodeName("sbname", kSb),
    Id("id", kId),
    Id("cvid", kCvid),
    Id("egid", kEgid),
    Ref("hrir", kHrir),
    Ref("erir", kErir),
    Ref("bdir1", kBdir1),
    Ref("bdir2", kBdir2),
    Ref("gmir", kGmir),
};
constexpr FieldSpec kEkFields[] = {
    PointNo(),
    Name(),
    Id("id", kId),
    Ref("knir", kKnir),
};
constexpr FieldSpec kDsFields[] = {
    PointNo(), Id("id", kId), Id("ptid", kPtid), Id("ndid", kNdid), Ref("gmir", kGmir),
};
constexpr FieldSpec kListFields[] = {
    LineNo(),
    Name(32),
    Id("id", kId),
    {"ir", FieldType::kText, 14, ValueSource::kListReference},
};

// The "ir" candidates of the list layers, tested in this order.
constexpr RecordField kHaCandidates[] = {kDhir, kThir, kKhir};
constexpr RecordField kToYoCandidates[] = {kDhir, kThir, kKhir, kTtir};

constexpr LayerSpec Point(std::string_view code, std::span<const FieldSpec> fields,
                          Placement placement = P::kPointList) {
  return {code, LayerInput::kLayerFile, G::kPoint, placement, fields};
}
constexpr LayerSpec Line(std::string_view code, std::span<const FieldSpec> fields) {
  return {code, LayerInput::kLayerFile, G::kLine, P::kPointList, fields};
}
constexpr LayerSpec List(std::string_view code, RecordField reference,
                         std::span<const RecordField> candidates) {
  return {code,  LayerInput::kListFile, G::kLine,  P::kPointList, kListFields,
          false, ListFeed::kNever,      reference, candidates};
}
constexpr LayerSpec Road(std::string_view code, ListFeed feed) {
  return {code, LayerInput::kLayerFile, G::kLine, P::kPointList, kRoadFields, false, feed};
}

constexpr std::array<LayerSpec, 17> kLayers{{
    Point("CM", kCmFields),
    Point("KJ", kKjFields),
    Point("KS", kKsFields),
    Road("KK", ListFeed::kWhenAsked),
    Line("SK", kSkFields),
    Line("GK", kGkFields),
    Point("GD", kGdFields),
    Point("KO", kKoFields),
    Point("MH", kMhFields, P::kMhPointList),
    Point("TS", kTsFields),
    {"TK", LayerInput::kLayerFile, G::kLine, P::kPointList, kTkFields, /*registers_stations=*/true},
    Point("EK", kEkFields, P::kStation),
    Road("DK", ListFeed::kAlways),
    Point("DS", kDsFields),
    List("HA", RecordField::kHrir, kHaCandidates),
    List("TO", RecordField::kTrir, kToYoCandidates),
    List("YO", RecordField::kYrir, kToYoCandidates),
}};

// The words of a blank-separated list.
std::vector<std::string_view> Words(std::string_view list) {
  std::vector<std::string_view> words;
  while (!list.empty()) {
    const std::size_t blank = list.find(' ');
    if (blank != 0) words.push_back(list.substr(0, blank));
    if (blank == std::string_view::npos) break;
    list.remove_prefix(blank + 1);
  }
  return words;
}

// Whether `word` stands in the blank-separated `list` ("*" holds every word).
bool Names(std::string_view list, std::string_view word) {
  if (list == "*") return true;
  for (std::string_view listed : Words(list)) {
    if (listed == word) return true;
  }
  return false;
}

}  // namespace

std::span<const LayerSpec> Layers() { return kLayers; }

const LayerSpec* FindLayer(std::string_view code) {
  for (const LayerSpec& layer : kLayers) {
    if (layer.code == code) return &layer;
  }
  return nullptr;
}

bool FeedsListFiles(const LayerSpec& layer, bool when_asked) {
  return layer.list_feed == ListFeed::kAlways ||
         (layer.list_feed == ListFeed::kWhenAsked && when_asked);
}

bool Feeds(const LayerSpec& feeder, const LayerSpec& layer, bool when_asked) {
  if (layer.placement == Placement::kStation && feeder.registers_stations) return true;
  return layer.input == LayerInput::kListFile && FeedsListFiles(feeder, when_asked);
}

namespace {

constexpr std::uint32_t kEveryLayer = (1u << kLayers.size()) - 1;

std::uint32_t Bit(const LayerSpec& layer) {
  return 1u << static_cast<std::uint32_t>(&layer - kLayers.data());
}

// The codes of the layers in `bits`, in catalogue order: "DK,TK,EK".
std::string Codes(std::uint32_t bits) {
  std::string codes;
  for (const LayerSpec& layer : kLayers) {
    if ((bits & Bit(layer)) == 0) continue;
    if (!codes.empty()) codes += ',';
    codes += layer.code;
  }
  return codes;
}

}  // namespace

LayerSelection::LayerSelection() : bits_(kEveryLayer) {}

LayerSelection LayerSelection::None() { return LayerSelection(0); }

bool LayerSelection::Has(const LayerSpec& layer) const { return (bits_ & Bit(layer)) != 0; }

void LayerSelection::Set(const LayerSpec& layer, bool chosen) {
  bits_ = chosen ? bits_ | Bit(layer) : bits_ & ~Bit(layer);
}

bool LayerSelection::all() const { return bits_ == kEveryLayer; }

std::string LayerSelection::ToString() const { return all() ? std::string() : Codes(bits_); }

LayerSelection LayerSelection::Parse(std::string_view list) {
  const std::string known = " (the layers are " + Codes(kEveryLayer) + ")";
  if (list.empty()) throw std::invalid_argument("no layer named" + known);
  std::uint32_t named = 0;
  int kept = 0;
  int left_out = 0;
  while (true) {
    const std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    const bool leave_out = !item.empty() && item.front() == '-';
    if (leave_out) item.remove_prefix(1);
    std::string code(item);
    for (char& c : code) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    const LayerSpec* layer = FindLayer(code);
    if (layer == nullptr) {
      throw std::invalid_argument((item.empty() ? std::string("an empty layer code")
                                                : "unknown layer '" + std::string(item) + "'") +
                                  known);
    }
    named |= Bit(*layer);
    ++(leave_out ? left_out : kept);
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  if (kept > 0 && left_out > 0) {
    throw std::invalid_argument(
        "name the layers to write (DK,TK) or those to leave out (-MH,-KS), not both");
  }
  const LayerSelection chosen(left_out > 0 ? kEveryLayer & ~named : named);
  if (chosen.empty()) throw std::invalid_argument("every layer is left out" + known);
  return chosen;
}

std::string ListFilePath(std::string_view sheet_prefix, const LayerSpec& layer) {
  std::string path(sheet_prefix);
  path += '_';
  path += layer.code;
  path += ".txt";
  return path;
}

RecordField ListReferenceField(const LayerSpec& layer, const SalRecord& record) {
  for (RecordField candidate : layer.list_candidates) {
    if (!FieldText(record, candidate).empty()) return candidate;
  }
  return RecordField::kId;
}

std::string_view ListReference(const LayerSpec& layer, const SalRecord& record) {
  return FieldText(record, ListReferenceField(layer, record));
}

AdaptedSchemas::AdaptedSchemas(std::span<const FieldChange> changes) {
  for (const FieldChange& change : changes) {
    for (std::string_view code : Words(change.layers)) {
      if (code != "*" && FindLayer(code) == nullptr) {
        throw std::logic_error("a field change names the layer " + std::string(code) +
                               ", which the catalogue does not have");
      }
    }
    for (std::string_view name : Words(change.fields)) {
      if (name == "*") continue;
      bool known = false;
      for (const LayerSpec& layer : kLayers) {
        if (!Names(change.layers, layer.code)) continue;
        for (const FieldSpec& field : layer.fields) known = known || field.name == name;
      }
      if (!known) {
        throw std::logic_error("a field change names the field " + std::string(name) +
                               ", which none of its layers (" + std::string(change.layers) +
                               ") has");
      }
    }
  }
  for (const LayerSpec& layer : kLayers) {
    std::vector<FieldSpec>& fields = fields_.emplace_back();
    for (FieldSpec field : layer.fields) {
      bool dropped = false;
      for (const FieldChange& change : changes) {
        if (!Names(change.layers, layer.code) || !Names(change.fields, field.name)) continue;
        switch (change.kind) {
          case FieldChange::kDrop:
            dropped = true;
            break;
          case FieldChange::kWidth:
            field.width = change.value;
            break;
          case FieldChange::kDecimals:
            field.decimals = change.value;
            break;
          case FieldChange::kReal:
            field.type = FieldType::kReal;
            break;
        }
      }
      if (!dropped) fields.push_back(field);
    }
  }
}

std::span<const FieldSpec> AdaptedSchemas::Fields(const LayerSpec& layer) const {
  return fields_[static_cast<std::size_t>(&layer - kLayers.data())];
}

}  // namespace quellmark
