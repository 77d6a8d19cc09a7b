// Japan's plane rectangular coordinate systems (平面直角座標系) by name: each
// zone's Roman numeral and, in Japanese, the prefectures or the parts of
// them it serves, shortened where the full list is long (the README's table
// of zones has it whole). PlaneZoneEpsg gives a zone's EPSG code.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace quellmark {

struct PlaneZone {
  int zone;                  // 1 to 19
  std::string_view numeral;  // "IX"
  std::string_view serves;   // UTF-8: "東京都・神奈川県・..."
};

// The nineteen zones, zone 1 first: kPlaneZones[zone - 1].
inline constexpr std::array<PlaneZone, 19> kPlaneZones{{
    {1, "I", "長崎県・鹿児島県（一部の島）"},
    {2, "II", "福岡県・佐賀県・熊本県・大分県・宮崎県・鹿児島県"},
    {3, "III", "山口県・島根県・広島県"},
    {4, "IV", "香川県・愛媛県・徳島県・高知県"},
    {5, "V", "兵庫県・鳥取県・岡山県"},
    {6, "VI", "京都府・大阪府・福井県・滋賀県・三重県・奈良県・和歌山県"},
    {7, "VII", "石川県・富山県・岐阜県・愛知県"},
    {8, "VIII", "新潟県・長野県・山梨県・静岡県"},
    {9, "IX", "東京都・神奈川県・埼玉県・千葉県・茨城県・栃木県・群馬県・福島県"},
    {10, "X", "青森県・秋田県・山形県・岩手県・宮城県"},
    {11, "XI", "北海道（西部）"},
    {12, "XII", "北海道（中央部）"},
    {13, "XIII", "北海道（東部）"},
    {14, "XIV", "東京都（小笠原諸島）"},
    {15, "XV", "沖縄県（沖縄本島）"},
    {16, "XVI", "沖縄県（先島諸島）"},
    {17, "XVII", "沖縄県（大東諸島）"},
    {18, "XVIII", "東京都（沖ノ鳥島）"},
    {19, "XIX", "東京都（南鳥島）"},
}};

inline constexpr int kPlaneZoneCount = static_cast<int>(kPlaneZones.size());

// The zones one to a line, each line `indent` + number, numeral and what
// it serves (" 9 IX    東京都・..."), for help texts.
inline std::string PlaneZoneLines(std::string_view indent) {
  std::string lines;
  for (const PlaneZone& zone : kPlaneZones) {
    std::string number = std::to_string(zone.zone);
    std::string numeral(zone.numeral);
    number.insert(0, 2 - number.size(), ' ');
    numeral.resize(6, ' ');
    lines += std::string(indent) + number + " " + numeral + std::string(zone.serves) + "\n";
  }
  return lines;
}

}  // namespace quellmark
