// Point lists to coordinates, shared by both exports.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "sal/coordinates.h"
#include "sal/notify.h"
#include "sal/tokenizer.h"

namespace quellmark {

// Which table a layer's point numbers refer to.
enum class PointSource : std::uint8_t { kPointTable, kMhPointTable };

// Takes the next item off a point list as a point number (an item that is not
// an integer, or an empty item, is point 0). False when the list is used up.
inline bool TakePointNumber(std::string_view& list, std::int32_t& n) {
  if (list.empty()) return false;
  std::string_view item;
  SplitAtComma(list, item);
  n = StrToIntOr(item, 0);
  return true;
}

inline bool ResolvePoint(const CoordinateTables& tables, PointSource source, std::int32_t n,
                         double& x, double& y, const Reporter& reporter) {
  return source == PointSource::kMhPointTable ? tables.LookupMhPoint(n, x, y, reporter)
                                              : tables.LookupPoint(n, x, y, reporter);
}

// The vertices of one line, in list order. The arrays keep their storage from
// line to line and grow for longer lines.
struct LineVertices {
  std::vector<double> x;
  std::vector<double> y;
  std::size_t count = 0;
  std::int32_t first_point = 0;  // point number of the first item, when count > 0
};

// Every item of the point list becomes a vertex; the list is used up.
void GatherLine(std::string_view list, const CoordinateTables& tables, PointSource source,
                const Reporter& reporter, LineVertices& vertices);

}  // namespace quellmark
