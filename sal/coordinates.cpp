#include "sal/coordinates.h"

#include <cerrno>
#include <charconv>

#include "sal/cp932.h"
#include "sal/errors.h"
#include "sal/layer_set.h"
#include "sal/notify.h"
#include "sal/text_reader.h"
#include "sal/tokenizer.h"

namespace quellmark {

namespace {

// 36,000,000 units of 0.0001 arc second make one degree.
constexpr double kUnitsPerDegree = 36000000.0;

// Reads an origin field with ".0" appended as a decimal number: leading
// blanks, an optional sign, digits, a fraction, an optional exponent, and
// nothing else. Independent of the process locale.
bool ParseOrigin(const std::string& text, double& value) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || text[i] == '-' || text[i] == '+') return false;
  const char* first = text.data() + i;
  const char* last = text.data() + text.size();
  // from_chars does not take a bare ".5"; the digits before the point may be
  // missing (an empty field reads as ".0").
  std::string padded;
  if (*first == '.') {
    padded = "0" + std::string(first, last);
    first = padded.data();
    last = padded.data() + padded.size();
  }
  auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec != std::errc() || end != last) return false;
  if (negative) value = -value;
  return true;
}

void LoadPointFile(TextLineReader& reader, double x_origin, double y_origin, PointTable& table) {
  std::string_view line;
  while (reader.ReadLine(line)) {
    const std::int32_t x = StrToIntOr(line.substr(0, 8), 0);
    const std::int32_t y = line.size() > 8 ? StrToIntOr(line.substr(8, 8), 0) : 0;
    table.Append(CoordPoint{(y + y_origin) / kUnitsPerDegree, (x + x_origin) / kUnitsPerDegree});
  }
  reader.Close();
}

bool Lookup(const PointTable& table, std::int32_t n, double& x, double& y) {
  CoordPoint point;
  if (!table.Find(n, point)) {
    x = 0.0;
    y = 0.0;
    return false;
  }
  x = point.longitude;
  y = point.latitude;
  return true;
}

}  // namespace

CoordinateTables::CoordinateTables()
    : point_table_(kPointReserve), mh_point_table_(kMhPointReserve) {}

bool CoordinateTables::LoadCoordinates(const std::string& sheet_prefix) {
  return LoadCoordinates(LayerSet::AtPrefix(sheet_prefix));
}

bool CoordinateTables::LoadCoordinates(const LayerSet& set) {
  point_table_.Reset();
  mh_point_table_.Reset();
  x_origin_ = y_origin_ = 0.0;

  TextLineReader reader;
  const std::string slm = set.Path(".slm");
  if (!reader.Open(slm)) {
    throw InputError(slm, 0, "cannot open the sheet header: " + SystemMessage(errno));
  }
  std::string_view line;
  if (!reader.ReadLine(line)) {
    throw InputError(slm, 1, "the sheet header holds no origin line");
  }
  std::string_view x_field;
  std::string_view y_field;
  SplitAtComma(line, x_field);
  SplitAtComma(line, y_field);
  for (auto [field, origin] : {std::pair{x_field, &x_origin_}, std::pair{y_field, &y_origin_}}) {
    std::string text(field);
    text += ".0";
    if (!ParseOrigin(text, *origin)) {
      throw InputError(slm, 1,
                       "'" + DecodeCp932ForDisplay(text) + "' is not a valid floating point value");
    }
  }
  reader.Close();

  bool loaded = false;
  if (reader.Open(set.Path(".slp"))) {
    LoadPointFile(reader, x_origin_, y_origin_, point_table_);
    loaded = true;
  }
  if (reader.Open(set.Path("MH.slp"))) {
    LoadPointFile(reader, x_origin_, y_origin_, mh_point_table_);
    loaded = true;
  }
  return loaded;
}

bool CoordinateTables::LookupPoint(std::int32_t n, double& x, double& y,
                                   const Reporter& reporter) const {
  if (n > point_table_.count()) reporter.Report("over scoordnum");
  return Lookup(point_table_, n, x, y);
}

bool CoordinateTables::LookupMhPoint(std::int32_t n, double& x, double& y,
                                     const Reporter& reporter) const {
  if (n > mh_point_table_.count()) reporter.Report("over scoordnum cd=" + std::to_string(n));
  return Lookup(mh_point_table_, n, x, y);
}

}  // namespace quellmark
