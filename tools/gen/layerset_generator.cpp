#include "layerset_generator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <initializer_list>
#include <stdexcept>

#include "layers/catalogue.h"
#include "sal/cp932.h"

namespace quellmark::gen {
namespace {

// A 1:25,000 sheet spans 7'30" of longitude and 5' of latitude; coordinates
// are in units of 0.0001 arc-second.
constexpr int kSheetWidth = 4'500'000;
constexpr int kSheetHeight = 3'000'000;
constexpr int kMaxNumber = 999'999;  // six-digit IDs and point numbers
constexpr int kMaxStation = 4001;

// splitmix64: small, fast, and the same sequence everywhere, unlike the
// distributions of the standard library.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi].
  int Between(int lo, int hi) {
    return lo + static_cast<int>(Next() % static_cast<std::uint64_t>(hi - lo + 1));
  }
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  bool Chance(double p) { return Unit() < p; }
  // One of `choices`, each as often as its share of 100 says (the shares
  // add up to 100).
  std::string_view Share(std::initializer_list<std::pair<std::string_view, int>> choices) {
    int roll = Between(0, 99);
    for (const auto& [choice, share] : choices) {
      if (roll < share) return choice;
      roll -= share;
    }
    return choices.begin()->first;
  }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Next() % items.size()];
  }
  // Number of successes before the first failure, averaging `mean`.
  int Geometric(double mean, int cap) {
    const double go_on = mean / (1.0 + mean);
    int n = 0;
    while (n < cap && Chance(go_on)) ++n;
    return n;
  }

 private:
  std::uint64_t state_;
};

struct Profile {
  int cm, kj, gd, ko, mh;
  int kk, ks, tk, ts, dk, ds;
  int sk, gk;
  int stations;
  double road_interior;    // mean interior points of a road line
  double other_interior;   // the same for KK and TK
  int gk_points;           // mean points of a boundary line
  double tail_share;       // road lines with 20 to 400 points
  double reference_share;  // road lines with HR, TR or YR references
  double two_references;   // ... of which with two
  int very_long;           // road lines over 4,001 points
  int target_points;       // size of BASENAME.slp; water lines take what is left
};

// clang-format off
constexpr Profile kSmall{
    .cm = 3, .kj = 2, .gd = 2, .ko = 2, .mh = 6,
    .kk = 2, .ks = 3, .tk = 2, .ts = 3, .dk = 4, .ds = 4,
    .sk = 2, .gk = 2, .stations = 2,
    .road_interior = 1.0, .other_interior = 1.0, .gk_points = 3,
    .tail_share = 0.0, .reference_share = 0.6, .two_references = 0.15,
    .very_long = 0, .target_points = 50};
constexpr Profile kMedian{
    .cm = 1500, .kj = 60, .gd = 40, .ko = 300, .mh = 80'000,
    .kk = 600, .ks = 400, .tk = 300, .ts = 200, .dk = 12'000, .ds = 8000,
    .sk = 800, .gk = 150, .stations = 20,
    .road_interior = 1.8, .other_interior = 5.0, .gk_points = 30,
    .tail_share = 0.005, .reference_share = 0.23, .two_references = 0.03,
    .very_long = 0, .target_points = 60'000};
constexpr Profile kDense{
    .cm = 12'000, .kj = 300, .gd = 200, .ko = 2500, .mh = 600'000,
    .kk = 3000, .ks = 2000, .tk = 2000, .ts = 1300, .dk = 105'000, .ds = 70'000,
    .sk = 3000, .gk = 500, .stations = 80,
    .road_interior = 1.6, .other_interior = 4.0, .gk_points = 30,
    .tail_share = 0.003, .reference_share = 0.23, .two_references = 0.03,
    .very_long = 3, .target_points = 400'000};
// clang-format on

// The median sheet scaled to a given number of road lines.
Profile ScaledProfile(int road_lines) {
  const double f = static_cast<double>(road_lines) / kMedian.dk;
  auto scale = [f](int n, int least) {
    return std::max(least, static_cast<int>(std::lround(n * f)));
  };
  Profile p = kMedian;
  p.cm = scale(kMedian.cm, 1);
  p.kj = scale(kMedian.kj, 1);
  p.gd = scale(kMedian.gd, 1);
  p.ko = scale(kMedian.ko, 1);
  p.mh = scale(kMedian.mh, 1);
  p.kk = scale(kMedian.kk, 1);
  p.ks = scale(kMedian.ks, 2);
  p.tk = scale(kMedian.tk, 1);
  p.ts = scale(kMedian.ts, 2);
  p.dk = road_lines;
  p.ds = scale(kMedian.ds, 2);
  p.sk = scale(kMedian.sk, 1);
  p.gk = scale(kMedian.gk, 1);
  p.stations = std::min(p.tk, scale(kMedian.stations, 1));
  p.target_points = scale(kMedian.target_points, 2);
  return p;
}

// Names as UTF-8 here, turned into CP932 once per run. Several contain
// characters whose second byte is '\' (ソ 表 能 十 予), '{' (本 宮 ボ) or
// '}' (マ), and some have parentheses, as real sheets do.
const char* const kPlaceNames[] = {
    "蒲田",       "大森(おおもり)", "東糀谷",       "羽田空港", "表町",   "本羽田",
    "マリーナ前", "ボート公園",     "ソニー坂",     "十日市場", "宮本町", "能見台",
    "予備校前",   "ポプラ並木",     "多摩川(六郷)", "雑色",     "大鳥居", "本門寺"};
const char* const kControlNames[] = {"蒲田", "本羽田", "表町", "羽田(二)", "宮ノ下", "ソ町"};
const char* const kAdminNames[] = {"大田区", "川崎市(川崎区)", "品川区", "本町"};
const char* const kFacilityNames[] = {"大田区役所",         "蒲田郵便局",   "マリーナ消防署",
                                      "表町小学校",         "本羽田中学校", "宮本町交番",
                                      "ソフト研究所(分室)", "能楽堂"};
const char* const kAddresses[] = {"東京都大田区蒲田五丁目１３番１４号", "東京都大田区本羽田二丁目",
                                  "神奈川県川崎市川崎区宮本町１番地",
                                  "東京都大田区表町３番５号(仮)", "東京都品川区ソ町１０番地"};
const char* const kWaterNames[] = {"多摩川",       "呑川",       "内川",
                                   "マリーナ水路", "本羽田運河", "六郷用水(跡)"};
const char* const kRailwayNames[] = {
    "ＪＲ東海道本線",           "京浜急行本線",      "京急空港線", "東急池上線",
    "東京モノレール羽田空港線", "ポートライナー(仮)"};
const char* const kStationNames[] = {"蒲田",       "京急蒲田",   "雑色",    "六郷土手", "糀谷",
                                     "大鳥居",     "穴守稲荷",   "天空橋",  "本羽田",   "表町",
                                     "マリーナ前", "ボート場前", "宮前(仮)"};
const char* const kRoadNames[] = {
    "第一京浜",   "環状八号線", "産業道路", "国道１５号(第一京浜)", "ポプラ通り", "マリーナ通り",
    "本羽田通り", "表通り",     "宮本通り", "ソニー通り",           "多摩堤通り", "蒲田駅東口通り"};
const char* const kStationSuffix = "駅";

// Municipality codes of the area, used in references.
const int kMunicipalities[] = {13111, 13109, 14131};

template <size_t N>
std::vector<std::string> ToCp932(const char* const (&names)[N]) {
  std::vector<std::string> out;
  for (const char* name : names) out.push_back(EncodeCp932(name));
  return out;
}

struct Names {
  Names() {
    places = ToCp932(kPlaceNames);
    controls = ToCp932(kControlNames);
    admins = ToCp932(kAdminNames);
    facilities = ToCp932(kFacilityNames);
    addresses = ToCp932(kAddresses);
    waters = ToCp932(kWaterNames);
    railways = ToCp932(kRailwayNames);
    stations = ToCp932(kStationNames);
    roads = ToCp932(kRoadNames);
    station_suffix = EncodeCp932(kStationSuffix);
  }
  std::vector<std::string> places, controls, admins, facilities, addresses, waters, railways,
      stations, roads;
  std::string station_suffix;
};

// Appends the pieces of a SAL line.
class Line {
 public:
  explicit Line(std::string& out) : out_(out) {}
  Line& Raw(std::string_view s) {
    out_ += s;
    return *this;
  }
  Line& Digits(long value, int width) {
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    const int length = static_cast<int>(end - buffer);
    if (length < width) out_.append(static_cast<size_t>(width - length), '0');
    out_.append(buffer, end);
    return *this;
  }
  // TAG(ID{TAG000001}) or, for points of MH, PT(ID{PM000001}).
  Line& Element(std::string_view tag, std::string_view id_letters, int number) {
    return Raw(tag).Raw("(ID{").Raw(id_letters).Digits(number, 6).Raw("})");
  }
  Line& Value(std::string_view tag, std::string_view value) {
    return Raw(tag).Raw("{").Raw(value).Raw("}");
  }
  // TAG(IR{LL<municipality><number>})
  Line& Reference(std::string_view tag, std::string_view letters, int municipality, int number) {
    return Raw(tag).Raw("(IR{").Raw(letters).Digits(municipality, 5).Digits(number, 6).Raw("})");
  }
  Line& Point(int number) {
    out_ += '{';
    Digits(number, 6);
    out_ += '}';
    return *this;
  }
  Line& Points(const std::vector<int>& points) {
    out_ += '{';
    for (size_t i = 0; i < points.size(); ++i) {
      if (i > 0) out_ += ',';
      Digits(points[i], 6);
    }
    out_ += '}';
    return *this;
  }
  void End() { out_ += "}\r\n"; }

 private:
  std::string& out_;
};

std::string Hex2(int value) {
  static const char kDigits[] = "0123456789ABCDEF";
  return {kDigits[(value >> 4) & 15], kDigits[value & 15]};
}

struct Point {
  int x, y;
};

// The first number of each kind of ID, per layer, so that IDs rise through
// the files in their listed order whatever order they are generated in.
struct IdBases {
  explicit IdBases(const Profile& p) {
    pt_cm = 0;
    pt_kj = pt_cm + p.cm;
    pt_ks = pt_kj + p.kj;
    pt_gd = pt_ks + p.ks;
    pt_ko = pt_gd + p.gd;
    pt_ts = pt_ko + p.ko;
    pt_ds = pt_ts + p.ts;
    cv_kk = 0;
    cv_sk = cv_kk + p.kk;
    cv_gk = cv_sk + p.sk;
    cv_tk = cv_gk + p.gk;
    cv_dk = cv_tk + p.tk;
    eg_kk = 0;
    eg_tk = p.kk;
    eg_dk = eg_tk + p.tk;
    nd_ks = 0;
    nd_ts = p.ks;
    nd_ds = nd_ts + p.ts;
    if (pt_ds + p.ds > kMaxNumber || cv_dk + p.dk > kMaxNumber || p.mh > kMaxNumber ||
        p.target_points > kMaxNumber) {
      throw std::invalid_argument("sheet too large for six-digit numbering");
    }
  }
  int pt_cm, pt_kj, pt_ks, pt_gd, pt_ko, pt_ts, pt_ds;
  int cv_kk, cv_sk, cv_gk, cv_tk, cv_dk;
  int eg_kk, eg_tk, eg_dk;
  int nd_ks, nd_ts, nd_ds;
};

class Generator {
 public:
  Generator(const GeneratorOptions& options, const Profile& profile)
      : options_(options), p_(profile), ids_(profile), random_(options.seed) {
    if (options.dangling_points < 0 || options.unmatched_stations < 0) {
      throw std::invalid_argument("negative count");
    }
    if (p_.stations > p_.tk || p_.stations + options.unmatched_stations > kMaxStation) {
      throw std::invalid_argument("too many stations");
    }
    municipality_ = kMunicipalities[0];
  }

  LayerSet Run() {
    PointFeatures();
    Network kk{"KK", "KS", p_.kk, p_.ks, ids_.cv_kk, ids_.eg_kk, ids_.nd_ks, ids_.pt_ks};
    Network tk{"TK", "TS", p_.tk, p_.ts, ids_.cv_tk, ids_.eg_tk, ids_.nd_ts, ids_.pt_ts};
    Network dk{"DK", "DS", p_.dk, p_.ds, ids_.cv_dk, ids_.eg_dk, ids_.nd_ds, ids_.pt_ds};
    BuildNetwork(kk);
    AssignStations();
    BuildNetwork(tk);
    BuildNetwork(dk);
    Boundaries();
    Waters();
    Stations();
    ElevationPoints();
    return Assemble();
  }

 private:
  struct Network {
    std::string_view line_code, node_code;
    int lines, nodes;
    int cv_base, eg_base, nd_base, pt_base;
  };

  std::string& Layer(std::string_view code) {
    const auto& codes = LayerFileCodes();
    for (size_t i = 0; i < codes.size(); ++i) {
      if (codes[i] == code) return layers_[i];
    }
    throw std::logic_error("unknown layer");
  }

  int AddPoint(Point pt) {
    pt.x = std::clamp(pt.x, 0, kSheetWidth);
    pt.y = std::clamp(pt.y, 0, kSheetHeight);
    points_.push_back(pt);
    return static_cast<int>(points_.size());
  }
  Point RandomPlace() {
    return {random_.Between(0, kSheetWidth), random_.Between(0, kSheetHeight)};
  }
  int Municipality() { return kMunicipalities[random_.Next() % std::size(kMunicipalities)]; }

  void PointFeatures() {
    std::string& cm = Layer("CM");
    const int cm_codes[] = {0x91, 0x92, 0x93, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26};
    for (int i = 0; i < p_.cm; ++i) {
      Line(cm)
          .Element("CM", "CM", i + 1)
          .Raw("{")
          .Value("SR", Hex2(cm_codes[random_.Next() % std::size(cm_codes)]))
          .Value("NM", random_.Pick(names_.places))
          .Element("PT", "PT", ids_.pt_cm + i + 1)
          .Point(AddPoint(RandomPlace()))
          .End();
    }
    std::string& kj = Layer("KJ");
    for (int i = 0; i < p_.kj; ++i) {
      const int height = random_.Between(50, 4500);  // centimetres
      std::string hk = std::to_string(height / 100) + "." + std::to_string(height % 100 / 10) +
                       std::to_string(height % 10);
      Line(kj)
          .Element("KJ", "KJ", i + 1)
          .Raw("{")
          .Value("SR", Hex2(0x61 + random_.Between(0, 2)))
          .Value("NM", random_.Pick(names_.controls))
          .Value("HK", hk)
          .Element("PT", "PT", ids_.pt_kj + i + 1)
          .Point(AddPoint(RandomPlace()))
          .Element("PD", "PD", i + 1)
          .Raw("{")
          .Digits(random_.Between(1, 9999), 4)
          .Raw("}")
          .End();
    }
    std::string& gd = Layer("GD");
    for (int i = 0; i < p_.gd; ++i) {
      Line(gd)
          .Element("GD", "GD", i + 1)
          .Raw("{")
          .Value("SB", "25")
          .Value("NM", random_.Pick(names_.admins))
          .Reference("KA", "KA", Municipality(), i + 1)
          .Element("PT", "PT", ids_.pt_gd + i + 1)
          .Point(AddPoint(RandomPlace()))
          .End();
    }
    std::string& ko = Layer("KO");
    for (int i = 0; i < p_.ko; ++i) {
      Line(ko)
          .Element("KO", "KO", i + 1)
          .Raw("{")
          .Value("SR", Hex2(0x81 + random_.Between(0, 7)))
          .Value("NM", random_.Pick(names_.facilities))
          .Value("JS", random_.Pick(names_.addresses))
          .Element("PT", "PT", ids_.pt_ko + i + 1)
          .Point(AddPoint(RandomPlace()))
          .End();
    }
  }

  // Station numbers: the first ones are named by TK lines' ER references,
  // the rest (if asked for) by none.
  void AssignStations() {
    std::vector<int> numbers;
    const int total = p_.stations + options_.unmatched_stations;
    std::vector<bool> used(kMaxStation + 1, false);
    while (static_cast<int>(numbers.size()) < total) {
      const int k = random_.Between(1, kMaxStation);
      if (!used[k]) {
        used[k] = true;
        numbers.push_back(k);
      }
    }
    matched_stations_.assign(numbers.begin(), numbers.begin() + p_.stations);
    unmatched_station_numbers_.assign(numbers.begin() + p_.stations, numbers.end());
    // Each matched station is named by one TK line, some by a second.
    station_of_line_.assign(static_cast<size_t>(p_.tk), 0);
    std::vector<int> order(static_cast<size_t>(p_.tk));
    for (int i = 0; i < p_.tk; ++i) order[static_cast<size_t>(i)] = i;
    for (int i = p_.tk - 1; i > 0; --i)
      std::swap(order[static_cast<size_t>(i)], order[random_.Next() % (i + 1)]);
    size_t next = 0;
    for (int k : matched_stations_) station_of_line_[static_cast<size_t>(order[next++])] = k;
    for (int k : matched_stations_) {
      if (next < order.size() && random_.Chance(0.4))
        station_of_line_[static_cast<size_t>(order[next++])] = k;
    }
  }

  int InteriorCount(const Network& net, int index) {
    if (net.line_code != "DK") return random_.Geometric(p_.other_interior, 200);
    if (index < p_.very_long) return random_.Between(4002, 4600) - 2;
    if (random_.Chance(p_.tail_share)) return random_.Between(18, 398);
    return random_.Geometric(p_.road_interior, 60);
  }

  // Nodes spread over the sheet, lines joining nodes that lie near each
  // other; the first lines form a path through every node.
  void BuildNetwork(const Network& net) {
    std::vector<int> node_point(static_cast<size_t>(net.nodes));
    std::vector<Point> node_place(static_cast<size_t>(net.nodes));
    for (int i = 0; i < net.nodes; ++i) {
      node_place[static_cast<size_t>(i)] = RandomPlace();
      node_point[static_cast<size_t>(i)] = AddPoint(node_place[static_cast<size_t>(i)]);
    }
    // Visit the nodes band by band, alternating direction, so that
    // neighbours in this order are neighbours on the map.
    const int bands = std::max(1, static_cast<int>(std::sqrt(net.nodes * 2.0 / 3.0)));
    std::vector<int> order(static_cast<size_t>(net.nodes));
    for (int i = 0; i < net.nodes; ++i) order[static_cast<size_t>(i)] = i;
    auto band = [&](int i) {
      return std::min(bands - 1, node_place[static_cast<size_t>(i)].y * bands / (kSheetHeight + 1));
    };
    std::sort(order.begin(), order.end(), [&](int a, int b) {
      const int ba = band(a), bb = band(b);
      if (ba != bb) return ba < bb;
      const int xa = node_place[static_cast<size_t>(a)].x,
                xb = node_place[static_cast<size_t>(b)].x;
      if (xa != xb) return (ba % 2 == 0) ? xa < xb : xa > xb;
      return a < b;
    });

    std::vector<int> node_cv(static_cast<size_t>(net.nodes), 0);
    std::string& text = Layer(net.line_code);
    const int n = net.nodes;
    for (int i = 0; i < net.lines; ++i) {
      const int interior = InteriorCount(net, i);
      const int k = i % (n - 1);
      const int round = i / (n - 1);
      int step = 1 + round % (n - 1);
      if (interior > 40) step = std::max(step, n / 3);  // long lines cross the sheet
      const int a = order[static_cast<size_t>(k)];
      int b = order[static_cast<size_t>((k + step) % n)];
      if (b == a) b = order[static_cast<size_t>((k + 1) % n)];

      const int cv = net.cv_base + i + 1;
      std::vector<int> line_points;
      line_points.reserve(static_cast<size_t>(interior) + 2);
      line_points.push_back(node_point[static_cast<size_t>(a)]);
      AddInterior(node_place[static_cast<size_t>(a)], node_place[static_cast<size_t>(b)], interior,
                  line_points);
      line_points.push_back(node_point[static_cast<size_t>(b)]);
      for (int end : {a, b}) {
        if (node_cv[static_cast<size_t>(end)] == 0) node_cv[static_cast<size_t>(end)] = cv;
      }

      Line line(text);
      line.Element(net.line_code, net.line_code, i + 1).Raw("{");
      if (net.line_code == "TK") {
        RailwayAttributes(line);
      } else {
        RoadAttributes(line, net.line_code == "KK" ? 0.6 : 0.15);
      }
      line.Element("CV", "CV", cv).Points(line_points);
      line.Element("EG", "EG", net.eg_base + i + 1)
          .Raw("{")
          .Reference("BD", "ND", municipality_, net.nd_base + a + 1)
          .Reference("BD", "ND", municipality_, net.nd_base + b + 1)
          .Reference("GM", "CV", municipality_, cv)
          .Raw("}");
      if (net.line_code == "TK" && station_of_line_[static_cast<size_t>(i)] != 0) {
        line.Reference("ER", "ER", municipality_, station_of_line_[static_cast<size_t>(i)]);
      }
      line.End();
    }

    std::string& nodes = Layer(net.node_code);
    for (int i = 0; i < net.nodes; ++i) {
      // A node no line reached (only when there are fewer lines than nodes)
      // still names a line of its network.
      const int cv =
          node_cv[static_cast<size_t>(i)] != 0 ? node_cv[static_cast<size_t>(i)] : net.cv_base + 1;
      Line(nodes)
          .Element(net.node_code, net.node_code, i + 1)
          .Raw("{")
          .Element("PT", "PT", net.pt_base + i + 1)
          .Point(node_point[static_cast<size_t>(i)])
          .Element("ND", "ND", net.nd_base + i + 1)
          .Raw("{")
          .Reference("GM", "CV", municipality_, cv)
          .Raw("}")
          .End();
    }
  }

  // Points between two ends, bowed a little to one side and jittered.
  void AddInterior(Point from, Point to, int count, std::vector<int>& out) {
    const double dx = to.x - from.x, dy = to.y - from.y;
    const double bow = (random_.Unit() - 0.5) * 0.3;
    for (int j = 1; j <= count; ++j) {
      const double t = static_cast<double>(j) / (count + 1);
      const double side = bow * std::sin(t * 3.14159265358979);
      const double jitter = 200.0 * (random_.Unit() - 0.5);
      out.push_back(AddPoint({static_cast<int>(from.x + dx * t - dy * side + jitter),
                              static_cast<int>(from.y + dy * t + dx * side + jitter)}));
    }
  }

  void RoadAttributes(Line& line, double named_share) {
    // As a sheet's roads come: nearly all in service, most of them ordinary
    // roads, the narrow classes the most common, expressways rare.
    line.Value("JT", random_.Chance(0.97) ? "11" : "12")
        .Value("YU", random_.Chance(0.7) ? "1C" : "1D")
        .Value("SB", random_.Share({{"15", 85}, {"1E", 6}, {"13", 4}, {"14", 3}, {"16", 2}}))
        .Value("FI", random_.Share({{"17", 30}, {"18", 34}, {"19", 20}, {"1A", 12}, {"1B", 4}}));
    if (random_.Chance(named_share)) line.Value("NM", random_.Pick(names_.roads));
    if (random_.Chance(0.1)) line.Value("KB", std::to_string(random_.Between(1, 9)));
    // Road administration references: some lines carry one, a few two.
    const double r = random_.Unit();
    const int count = r < p_.two_references ? 2 : r < p_.reference_share ? 1 : 0;
    if (count == 0) return;
    const int first = random_.Between(0, 2);
    const int second = (first + random_.Between(1, 2)) % 3;
    static constexpr std::string_view kTags[] = {"HR", "TR", "YR"};
    static constexpr std::string_view kLetters[] = {"HA", "TO", "YO"};
    for (int which = 0; which < 3; ++which) {  // keep the HR TR YR order
      if (which == first || (count == 2 && which == second)) {
        line.Reference(kTags[which], kLetters[which], Municipality(), ++reference_count_[which]);
      }
    }
    if (random_.Chance(0.15)) {
      static constexpr std::string_view kExtra[] = {"DH", "TH", "KH", "TT"};
      const int e = random_.Between(0, 3);
      line.Reference(kExtra[e], kExtra[e], Municipality(), ++extra_count_[e]);
      if (e < 3 && random_.Chance(0.3)) {
        line.Reference(kExtra[e + 1], kExtra[e + 1], Municipality(), ++extra_count_[e + 1]);
      }
    }
  }

  void RailwayAttributes(Line& line) {
    line.Value("JT", "41")
        .Value("SB", random_.Share({{"43", 45}, {"44", 40}, {"45", 5}, {"46", 7}, {"47", 3}}))
        .Value("NM", random_.Pick(names_.railways));
  }

  // A wandering line of new points starting anywhere on the sheet.
  std::vector<int> Wander(int count) {
    std::vector<int> out;
    out.reserve(static_cast<size_t>(count));
    Point at = RandomPlace();
    double heading = random_.Unit() * 6.2831853;
    for (int j = 0; j < count; ++j) {
      out.push_back(AddPoint(at));
      heading += (random_.Unit() - 0.5) * 0.8;
      const double step = 2000 + random_.Unit() * 6000;
      at.x += static_cast<int>(step * std::cos(heading));
      at.y += static_cast<int>(step * std::sin(heading));
      if (at.x < 0 || at.x > kSheetWidth || at.y < 0 || at.y > kSheetHeight) {
        heading += 3.14159265358979;  // turn back at the sheet's edge
        at.x = std::clamp(at.x, 0, kSheetWidth);
        at.y = std::clamp(at.y, 0, kSheetHeight);
      }
    }
    return out;
  }

  void Boundaries() {
    std::string& gk = Layer("GK");
    for (int i = 0; i < p_.gk; ++i) {
      const int count = std::max(2, random_.Between(p_.gk_points / 2, p_.gk_points * 3 / 2));
      Line(gk)
          .Element("GK", "GK", i + 1)
          .Raw("{")
          .Value("JT", random_.Chance(0.7) ? "11" : "12")
          .Value("SR", random_.Share(
                           {{"27", 30}, {"2C", 35}, {"2B", 20}, {"29", 8}, {"28", 5}, {"2A", 2}}))
          .Element("CV", "CV", ids_.cv_gk + i + 1)
          .Points(Wander(count))
          .End();
    }
  }

  // Water lines come last and take the points still missing from the
  // target size, so the point file has the size of the sheet it stands for.
  void Waters() {
    const int left = std::max(0, p_.target_points - static_cast<int>(points_.size()));
    std::vector<int> counts(static_cast<size_t>(p_.sk), 2);
    if (left > 2 * p_.sk) {
      // Lengths vary in pairs around the mean so that they add up exactly.
      const int mean = left / p_.sk;
      int given = 0;
      for (size_t i = 0; i < counts.size(); i += 2) {
        const int d = i + 1 < counts.size() ? random_.Between(0, (mean - 2) / 2) : 0;
        counts[i] = mean + d;
        if (i + 1 < counts.size()) counts[i + 1] = mean - d;
        given += i + 1 < counts.size() ? 2 * mean : mean;
      }
      for (int r = 0; r < left - given; ++r) ++counts[static_cast<size_t>(r) % counts.size()];
    }
    int total = static_cast<int>(points_.size());
    for (int c : counts) total += c;

    std::string& sk = Layer("SK");
    for (int i = 0; i < p_.sk; ++i) {
      std::vector<int> line_points = Wander(counts[static_cast<size_t>(i)]);
      // Broken references, when asked for, point just past the file's end.
      for (int d = i; d < options_.dangling_points; d += p_.sk)
        line_points.push_back(total + 1 + d);
      Line line(sk);
      line.Element("SK", "SK", i + 1)
          .Raw("{")
          .Value("SR", random_.Share({{"51", 40},
                                      {"52", 10},
                                      {"55", 20},
                                      {"56", 10},
                                      {"50", 5},
                                      {"57", 5},
                                      {"58", 3},
                                      {"53", 2},
                                      {"54", 2},
                                      {"59", 3}}));
      if (random_.Chance(0.4)) line.Value("NM", random_.Pick(names_.waters));
      line.Element("CV", "CV", ids_.cv_sk + i + 1).Points(line_points).End();
    }
  }

  void Stations() {
    std::vector<int> all = matched_stations_;
    all.insert(all.end(), unmatched_station_numbers_.begin(), unmatched_station_numbers_.end());
    std::sort(all.begin(), all.end());
    std::string& ek = Layer("EK");
    const int names = static_cast<int>(names_.stations.size());
    for (size_t i = 0; i < all.size(); ++i) {
      std::string name = names_.stations[i % static_cast<size_t>(names)];
      if (static_cast<int>(i) >= names) name += "(" + std::to_string(i / names + 1) + ")";
      Line(ek)
          .Element("EK", "EK", all[i])
          .Raw("{")
          .Value("NM", name + names_.station_suffix)
          .Reference("KN", "KN", municipality_, static_cast<int>(i) + 1)
          .End();
    }
  }

  void ElevationPoints() {
    std::string& mh = Layer("MH");
    mh_points_.reserve(static_cast<size_t>(p_.mh));
    for (int i = 0; i < p_.mh; ++i) {
      mh_points_.push_back(RandomPlace());
      Line(mh)
          .Element("MH", "MH", i + 1)
          .Raw("{")
          .Value("HK", std::to_string(random_.Between(0, 45)))
          .Element("PT", "PM", i + 1)
          .Point(i + 1)
          .End();
    }
  }

  static std::string PointFile(const std::vector<Point>& points) {
    std::string out;
    out.reserve(points.size() * 18);
    Line line(out);
    for (const Point& pt : points) line.Digits(pt.x, 8).Digits(pt.y, 8).Raw("\r\n");
    return out;
  }

  // Origin of the sheet: from a six-digit sheet code (the south-west corner
  // of that 1:25,000 mesh), otherwise that of sheet 533945.
  long long OriginX() const {
    return SheetCodeValid() ? (Code(2, 2) + 100) * 36'000'000LL + Code(5, 1) * 4'500'000LL
                            : 5'026'500'000LL;
  }
  long long OriginY() const {
    return SheetCodeValid() ? Code(0, 2) * 24'000'000LL + Code(4, 1) * 3'000'000LL
                            : 1'284'000'000LL;
  }
  bool SheetCodeValid() const {
    const std::string& b = options_.base_name;
    if (b.size() != 6 ||
        !std::all_of(b.begin(), b.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return false;
    }
    return b[4] <= '7' && b[5] <= '7';
  }
  long long Code(size_t pos, size_t len) const {
    return std::stoll(options_.base_name.substr(pos, len));
  }

  LayerSet Assemble() {
    LayerSet set;
    const std::string& base = options_.base_name;
    set.points = static_cast<int>(points_.size());
    set.mh_points = static_cast<int>(mh_points_.size());
    set.files.push_back({base + ".slm", std::to_string(OriginX()) + "," +
                                            std::to_string(OriginY()) + "\r\n0,0\r\n"});
    set.files.push_back({base + ".slp", PointFile(points_)});
    set.files.push_back({base + "MH.slp", PointFile(mh_points_)});
    const auto& codes = LayerFileCodes();
    for (size_t i = 0; i < codes.size(); ++i) {
      set.files.push_back({base + std::string(codes[i]) + ".sal", std::move(layers_[i])});
    }
    return set;
  }

  const GeneratorOptions& options_;
  const Profile p_;
  const IdBases ids_;
  Random random_;
  Names names_;
  int municipality_;
  std::vector<std::string> layers_ = std::vector<std::string>(LayerFileCodes().size());
  std::vector<Point> points_;
  std::vector<Point> mh_points_;
  std::vector<int> matched_stations_;
  std::vector<int> unmatched_station_numbers_;
  std::vector<int> station_of_line_;
  int reference_count_[3] = {};
  int extra_count_[4] = {};
};

}  // namespace

const LayerFile* LayerSet::Find(std::string_view name) const {
  for (const LayerFile& file : files) {
    if (file.name == name) return &file;
  }
  return nullptr;
}

const std::vector<std::string_view>& LayerFileCodes() {
  static const std::vector<std::string_view> codes = [] {
    std::vector<std::string_view> list;
    for (const quellmark::LayerSpec& layer : quellmark::Layers()) {
      if (layer.input == quellmark::LayerInput::kLayerFile) list.push_back(layer.code);
    }
    return list;
  }();
  return codes;
}

LayerSet GenerateLayerSet(const GeneratorOptions& options) {
  const std::string& base = options.base_name;
  if (base.empty() || base.find('/') != std::string::npos || base.find('\0') != std::string::npos ||
      base == "." || base == "..") {
    throw std::invalid_argument("base name must be a plain file name");
  }
  Profile profile;
  if (options.road_lines > 0) {
    profile = ScaledProfile(options.road_lines);
  } else {
    switch (options.size) {
      case SheetSize::kSmall:
        profile = kSmall;
        break;
      case SheetSize::kMedian:
        profile = kMedian;
        break;
      case SheetSize::kDense:
        profile = kDense;
        break;
    }
  }
  return Generator(options, profile).Run();
}

void WriteLayerSet(const LayerSet& set, const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  for (const LayerFile& file : set.files) {
    const std::filesystem::path path = folder / file.name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(file.bytes.data(), static_cast<std::streamsize>(file.bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
}

}  // namespace quellmark::gen
