#include "sal/attribute_codes.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace quellmark {
namespace {

// The names as UTF-8; each must come out as its CP932 bytes.
const std::vector<std::pair<std::string, std::string>> kExpected = {
    {"11", "供用中"},
    {"12", "建設中"},
    {"13", "庭園路"},
    {"14", "石段"},
    {"15", "一般道"},
    {"16", "高速道路"},
    {"17", "1.5m未満"},
    {"18", "1.5m以上3.0m未満"},
    {"19", "3.0m以上5.5m未満"},
    {"1A", "5.5m以上13.0m未満"},
    {"1B", "13.0m以上"},
    {"1C", "有料"},
    {"1D", "無料"},
    {"1E", "真幅道路等"},
    {"21", "都道府県庁"},
    {"22", "北海道の支庁"},
    {"23", "郡市東京都の区"},
    {"24", "町村指定都市の区"},
    {"25", "大字町丁目"},
    {"26", "小字"},
    {"27", "確定境界"},
    {"28", "未定境界"},
    {"29", "都道府県界"},
    {"2A", "北海道の支庁界"},
    {"2B", "郡市東京都の区界"},
    {"2C", "町村指定都市の区界"},
    {"41", "運行中"},
    {"42", "建設中"},
    {"43", "普通鉄道JR"},
    {"44", "普通鉄道"},
    {"45", "路面電車"},
    {"46", "地下式鉄道"},
    {"47", "その他"},
    {"50", "水涯線かれ川"},
    {"51", "水涯線または湖岸線"},
    {"52", "海岸線"},
    {"53", "河口"},
    {"54", "湖沼と河川の境界"},
    {"55", "一条河川"},
    {"56", "二条河川"},
    {"57", "一条かれ川"},
    {"58", "二条かれ川"},
    {"59", "湖沼域内中心線"},
    {"61", "水準点"},
    {"62", "三角点"},
    {"63", "電子基準点"},
    {"81", "国の機関"},
    {"82", "地方公共団体"},
    {"83", "厚生機関"},
    {"84", "警察機関"},
    {"85", "消防署"},
    {"86", "学校"},
    {"87", "病院"},
    {"88", "郵便局"},
    {"91", "自然地名"},
    {"92", "土地の利用景"},
    {"93", "居住地名"},
};

TEST(DecodeAttributeCode, EveryNameIsItsCp932Bytes) {
  ASSERT_EQ(AttributeCodeCount(), kExpected.size());
  for (const auto& [code, utf8] : kExpected) {
    std::string name = "unchanged";
    DecodeAttributeCode(code, name);
    EXPECT_EQ(name, testing::Sjis(utf8)) << code;
    EXPECT_EQ(AttributeCodeName(code), testing::Sjis(utf8)) << code;
  }
}

TEST(DecodeAttributeCode, UnknownCodesLeaveTheNameAlone) {
  for (const char* code : {"1a", "", " 11", "11 ", "011", "99"}) {
    std::string name = code;
    DecodeAttributeCode(code, name);
    EXPECT_EQ(name, code);
    EXPECT_EQ(AttributeCodeName(code), code);
  }
  std::string a, b;
  DecodeAttributeCode("12", a);
  DecodeAttributeCode("42", b);
  EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace quellmark
