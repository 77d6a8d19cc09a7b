#include "sal/attribute_codes.h"

#include <array>
#include <utility>

namespace quellmark {

namespace {

// Code and name; the names are the CP932 bytes of the Japanese text shown in
// the comment beside each.
constexpr std::array<std::pair<std::string_view, std::string_view>, 57> kAttributeCodes{{
    {"11", "\x8B\x9F\x97p\x92\x86"},          // 供用中
    {"12", "\x8C\x9A\x90\xDD\x92\x86"},       // 建設中
    {"13", "\x92\xEB\x89\x80\x98H"},          // 庭園路
    {"14", "\x90\xCE\x92i"},                  // 石段
    {"15", "\x88\xEA\x94\xCA\x93\xB9"},       // 一般道
    {"16", "\x8D\x82\x91\xAC\x93\xB9\x98H"},  // 高速道路
    {"17", "1.5m\x96\xA2\x96\x9E"},           // 1.5m未満
    {"18",
     "1.5m\x88\xC8\x8F\xE3"
     "3.0m\x96\xA2\x96\x9E"},  // 1.5m以上3.0m未満
    {"19",
     "3.0m\x88\xC8\x8F\xE3"
     "5.5m\x96\xA2\x96\x9E"},  // 3.0m以上5.5m未満
    {"1A",
     "5.5m\x88\xC8\x8F\xE3"
     "13.0m\x96\xA2\x96\x9E"},                     // 5.5m以上13.0m未満
    {"1B", "13.0m\x88\xC8\x8F\xE3"},               // 13.0m以上
    {"1C", "\x97L\x97\xBF"},                       // 有料
    {"1D", "\x96\xB3\x97\xBF"},                    // 無料
    {"1E", "\x90^\x95\x9D\x93\xB9\x98H\x93\x99"},  // 真幅道路等
    {"21", "\x93s\x93\xB9\x95{\x8C\xA7\x92\xA1"},  // 都道府県庁
    {"22",
     "\x96k\x8A"
     "C\x93\xB9\x82\xCC\x8Ex\x92\xA1"},                                 // 北海道の支庁
    {"23", "\x8CS\x8Es\x93\x8C\x8B\x9E\x93s\x82\xCC\x8B\xE6"},          // 郡市東京都の区
    {"24", "\x92\xAC\x91\xBA\x8Ew\x92\xE8\x93s\x8Es\x82\xCC\x8B\xE6"},  // 町村指定都市の区
    {"25", "\x91\xE5\x8E\x9A\x92\xAC\x92\x9A\x96\xDA"},                 // 大字町丁目
    {"26", "\x8F\xAC\x8E\x9A"},                                         // 小字
    {"27",
     "\x8Am\x92\xE8\x8B\xAB\x8A"
     "E"},  // 確定境界
    {"28",
     "\x96\xA2\x92\xE8\x8B\xAB\x8A"
     "E"},  // 未定境界
    {"29",
     "\x93s\x93\xB9\x95{\x8C\xA7\x8A"
     "E"},  // 都道府県界
    {"2A",
     "\x96k\x8A"
     "C\x93\xB9\x82\xCC\x8Ex\x92\xA1\x8A"
     "E"},  // 北海道の支庁界
    {"2B",
     "\x8CS\x8Es\x93\x8C\x8B\x9E\x93s\x82\xCC\x8B\xE6\x8A"
     "E"},  // 郡市東京都の区界
    {"2C",
     "\x92\xAC\x91\xBA\x8Ew\x92\xE8\x93s\x8Es\x82\xCC\x8B\xE6\x8A"
     "E"},                                      // 町村指定都市の区界
    {"41", "\x89^\x8Ds\x92\x86"},               // 運行中
    {"42", "\x8C\x9A\x90\xDD\x92\x86"},         // 建設中
    {"43", "\x95\x81\x92\xCA\x93S\x93\xB9JR"},  // 普通鉄道JR
    {"44", "\x95\x81\x92\xCA\x93S\x93\xB9"},    // 普通鉄道
    {"45",
     "\x98H\x96\xCA\x93"
     "d\x8E\xD4"},                                            // 路面電車
    {"46", "\x92n\x89\xBA\x8E\xAE\x93S\x93\xB9"},             // 地下式鉄道
    {"47", "\x82\xBB\x82\xCC\x91\xBC"},                       // その他
    {"50", "\x90\x85\x8AU\x90\xFC\x82\xA9\x82\xEA\x90\xEC"},  // 水涯線かれ川
    {"51",
     "\x90\x85\x8AU\x90\xFC\x82\xDC\x82\xBD\x82\xCD\x8C\xCE\x8A\xDD\x90\xFC"},  // 水涯線または湖岸線
    {"52",
     "\x8A"
     "C\x8A\xDD\x90\xFC"},       // 海岸線
    {"53", "\x89\xCD\x8C\xFB"},  // 河口
    {"54",
     "\x8C\xCE\x8F\xC0\x82\xC6\x89\xCD\x90\xEC\x82\xCC\x8B\xAB\x8A"
     "E"},                                                            // 湖沼と河川の境界
    {"55", "\x88\xEA\x8F\xF0\x89\xCD\x90\xEC"},                       // 一条河川
    {"56", "\x93\xF1\x8F\xF0\x89\xCD\x90\xEC"},                       // 二条河川
    {"57", "\x88\xEA\x8F\xF0\x82\xA9\x82\xEA\x90\xEC"},               // 一条かれ川
    {"58", "\x93\xF1\x8F\xF0\x82\xA9\x82\xEA\x90\xEC"},               // 二条かれ川
    {"59", "\x8C\xCE\x8F\xC0\x88\xE6\x93\xE0\x92\x86\x90S\x90\xFC"},  // 湖沼域内中心線
    {"61", "\x90\x85\x8F\x80\x93_"},                                  // 水準点
    {"62", "\x8EO\x8Ap\x93_"},                                        // 三角点
    {"63",
     "\x93"
     "d\x8Eq\x8A\xEE\x8F\x80\x93_"},          // 電子基準点
    {"81", "\x8D\x91\x82\xCC\x8B@\x8A\xD6"},  // 国の機関
    {"82",
     "\x92n\x95\xFB\x8C\xF6\x8B\xA4\x92"
     "c\x91\xCC"},                            // 地方公共団体
    {"83", "\x8C\xFA\x90\xB6\x8B@\x8A\xD6"},  // 厚生機関
    {"84", "\x8Cx\x8E@\x8B@\x8A\xD6"},        // 警察機関
    {"85", "\x8F\xC1\x96h\x8F\x90"},          // 消防署
    {"86", "\x8Aw\x8DZ"},                     // 学校
    {"87",
     "\x95"
     "a\x89@"},                                      // 病院
    {"88", "\x97X\x95\xD6\x8B\xC7"},                 // 郵便局
    {"91", "\x8E\xA9\x91R\x92n\x96\xBC"},            // 自然地名
    {"92", "\x93y\x92n\x82\xCC\x97\x98\x97p\x8Ci"},  // 土地の利用景
    {"93", "\x8B\x8F\x8FZ\x92n\x96\xBC"},            // 居住地名
}};

}  // namespace

std::string_view AttributeCodeName(std::string_view code) {
  for (const auto& [table_code, name] : kAttributeCodes) {
    if (table_code == code) return name;
  }
  return code;
}

void DecodeAttributeCode(std::string_view code, std::string& name) {
  for (const auto& [table_code, table_name] : kAttributeCodes) {
    if (table_code == code) {
      name.assign(table_name);
      return;
    }
  }
}

std::size_t AttributeCodeCount() { return kAttributeCodes.size(); }

namespace {

using Codes = std::span<const std::string_view>;
constexpr std::string_view kRoadStates[] = {"11", "12"};
constexpr std::string_view kRoadKinds[] = {"13", "14", "15", "16", "1E"};
constexpr std::string_view kRoadWidths[] = {"17", "18", "19", "1A", "1B"};
constexpr std::string_view kTolls[] = {"1C", "1D"};
constexpr std::string_view kAdministrations[] = {"21", "22", "23", "24", "25", "26"};
constexpr std::string_view kBoundaries[] = {"27", "28", "29", "2A", "2B", "2C"};
constexpr std::string_view kRailwayStates[] = {"41", "42"};
constexpr std::string_view kRailwayKinds[] = {"43", "44", "45", "46", "47"};
constexpr std::string_view kWaters[] = {"50", "51", "52", "53", "54", "55", "56", "57", "58", "59"};
constexpr std::string_view kControlPoints[] = {"61", "62", "63"};
constexpr std::string_view kFacilities[] = {"81", "82", "83", "84", "85", "86", "87", "88"};
constexpr std::string_view kPlaceNames[] = {"91", "92", "93"};

}  // namespace

std::span<const std::string_view> AttributeCodesOf(CodeFamily family) {
  switch (family) {
    case CodeFamily::kRoadState:
      return kRoadStates;
    case CodeFamily::kRoadKind:
      return kRoadKinds;
    case CodeFamily::kRoadWidth:
      return kRoadWidths;
    case CodeFamily::kToll:
      return kTolls;
    case CodeFamily::kAdministration:
      return kAdministrations;
    case CodeFamily::kBoundary:
      return kBoundaries;
    case CodeFamily::kRailwayState:
      return kRailwayStates;
    case CodeFamily::kRailwayKind:
      return kRailwayKinds;
    case CodeFamily::kWater:
      return kWaters;
    case CodeFamily::kControlPoint:
      return kControlPoints;
    case CodeFamily::kFacility:
      return kFacilities;
    case CodeFamily::kPlaceName:
      return kPlaceNames;
  }
  return {};
}

std::vector<std::string_view> AttributeCodes() {
  std::vector<std::string_view> codes;
  for (const auto& [code, name] : kAttributeCodes) codes.push_back(code);
  return codes;
}

}  // namespace quellmark
