#include "export_shape/layer_schemas.h"

namespace quellmark {

namespace {

using enum RecordField;

// Point layers number their records in 6 digits, line layers in 11.
constexpr int kPointNumberWidth = 6;
constexpr int kLineNumberWidth = 11;

constexpr FieldDef No(int width) {
  return {"no", FTInteger, width, 0, ValueSource::kRecordNumber, kId};
}
constexpr FieldDef Name(int width) {
  return {"name", FTString, width, 0, ValueSource::kFeatureName, kId};
}
constexpr FieldDef Text(const char* name, int width, RecordField field, int decimals = 0) {
  return {name, FTString, width, decimals, ValueSource::kRecordText, field};
}
constexpr FieldDef CodeName(const char* name, int width, RecordField field) {
  return {name, FTString, width, 0, ValueSource::kCodeName, field};
}

constexpr FieldDef kCmFields[] = {
    No(kPointNumberWidth),       Name(60),           Text("sr", 2, kSr),
    CodeName("srname", 32, kSr), Text("id", 8, kId), Text("ptid", 8, kPtid),
};

// "hk" is a text field; the 3 decimals are part of its declaration only.
constexpr FieldDef kKjFields[] = {
    No(kPointNumberWidth),       Name(60),           Text("hk", 9, kHk, 3),  Text("sr", 2, kSr),
    CodeName("srname", 32, kSr), Text("id", 8, kId), Text("ptid", 8, kPtid), Text("pdid", 8, kPdid),
    Text("pd", 8, kPd),
};

constexpr FieldDef kKoFields[] = {
    No(kPointNumberWidth),       Name(60),           Text("sr", 2, kSr),
    CodeName("srname", 32, kSr), Text("id", 8, kId), Text("ptid", 8, kPtid),
    Text("js", 60, kJs),
};

constexpr FieldDef kGdFields[] = {
    No(kPointNumberWidth),       Name(60),           Text("sb", 2, kSb),
    CodeName("sbname", 32, kSb), Text("id", 8, kId), Text("kair", 14, kKair),
};

constexpr FieldDef kEkFields[] = {
    No(kPointNumberWidth),
    Name(60),
    Text("id", 8, kId),
    Text("knir", 14, kKnir),
};

constexpr FieldDef kKsFields[] = {
    No(kPointNumberWidth),  Text("id", 8, kId),      Text("ptid", 8, kPtid),
    Text("ndid", 8, kNdid), Text("gmir", 14, kGmir),
};

constexpr FieldDef kTsFields[] = {
    No(kPointNumberWidth), Text("ndid", 8, kNdid), Text("gmir", 14, kGmir),
    Text("id", 8, kId),    Text("ptid", 8, kPtid),
};

constexpr FieldDef kDsFields[] = {
    No(kPointNumberWidth),  Text("id", 8, kId),      Text("ptid", 8, kPtid),
    Text("ndid", 8, kNdid), Text("gmir", 16, kGmir),
};

constexpr FieldDef kMhFields[] = {
    No(kPointNumberWidth),
    Text("hk", 11, kHk),
    Text("id", 8, kId),
    Text("ptid", 8, kPtid),
};

constexpr FieldDef kSkFields[] = {
    No(kLineNumberWidth),        Name(60),           Text("sr", 2, kSr),
    CodeName("srname", 20, kSr), Text("id", 8, kId), Text("cvid", 8, kCvid),
};

constexpr FieldDef kGkFields[] = {
    No(kLineNumberWidth), Name(60),
    Text("jt", 2, kJt),   CodeName("jtname", 20, kJt),
    Text("sr", 2, kSr),   CodeName("srname", 20, kSr),
    Text("id", 8, kId),   Text("cvid", 8, kCvid),
};

constexpr FieldDef kTkFields[] = {
    No(kLineNumberWidth),      Name(60),
    Text("jt", 2, kJt),        CodeName("jtname", 20, kJt),
    Text("sb", 2, kSb),        CodeName("sbname", 20, kSb),
    Text("id", 8, kId),        Text("cvid", 8, kCvid),
    Text("egid", 8, kEgid),    Text("hrir", 14, kHrir),
    Text("erir", 14, kErir),   Text("bdir1", 14, kBdir1),
    Text("bdir2", 14, kBdir2), Text("gmir", 14, kGmir),
};

constexpr FieldDef kRoadFields[] = {
    No(kLineNumberWidth),      Name(32),
    Text("jt", 2, kJt),        CodeName("jtname", 20, kJt),
    Text("yu", 2, kYu),        CodeName("yuname", 20, kYu),
    Text("sb", 2, kSb),        CodeName("sbname", 20, kSb),
    Text("fi", 2, kFi),        CodeName("finame", 20, kFi),
    Text("id", 8, kId),        Text("cvid", 16, kCvid),
    Text("egid", 16, kEgid),   Text("bdir1", 16, kBdir1),
    Text("bdir2", 16, kBdir2), Text("gmir", 16, kGmir),
    Text("trir", 16, kTrir),   {"kb", FTInteger, 6, 0, ValueSource::kKb, kId},
};

constexpr FieldDef kListLineFields[] = {
    No(kLineNumberWidth),
    Name(32),
    Text("id", 8, kId),
    {"ir", FTString, 14, 0, ValueSource::kListReference, kId},
};

}  // namespace

constinit const LayerDef kCmLayer{.fields = kCmFields};
constinit const LayerDef kKjLayer{.fields = kKjFields};
constinit const LayerDef kKoLayer{.fields = kKoFields};
constinit const LayerDef kGdLayer{.fields = kGdFields};
constinit const LayerDef kEkLayer{.fields = kEkFields, .placement = Placement::kStationTable};
constinit const LayerDef kKsLayer{.fields = kKsFields};
constinit const LayerDef kTsLayer{.fields = kTsFields};
constinit const LayerDef kDsLayer{.fields = kDsFields};
constinit const LayerDef kMhLayer{.fields = kMhFields, .points = PointSource::kMhPointTable};
constinit const LayerDef kSkLayer{.kind = ShapeKind::kArc, .fields = kSkFields};
constinit const LayerDef kGkLayer{.kind = ShapeKind::kArc, .fields = kGkFields};
constinit const LayerDef kTkLayer{
    .kind = ShapeKind::kArc, .fields = kTkFields, .registers_stations = true};
constinit const LayerDef kRoadLayer{
    .kind = ShapeKind::kArc, .fields = kRoadFields, .writes_list_files = true};
constinit const LayerDef kListLineLayer{
    .kind = ShapeKind::kArc, .fields = kListLineFields, .input = LayerInput::kListFile};

}  // namespace quellmark
