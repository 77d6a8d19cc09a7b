#include "sal/geometry.h"

namespace quellmark {

void GatherLine(std::string_view list, const CoordinateTables& tables, PointSource source,
                const Reporter& reporter, LineVertices& vertices) {
  vertices.count = 0;
  std::int32_t n = 0;
  while (TakePointNumber(list, n)) {
    if (vertices.count == vertices.x.size()) {
      const std::size_t grown = vertices.x.empty() ? 4001 : vertices.x.size() * 2;
      vertices.x.resize(grown);
      vertices.y.resize(grown);
    }
    if (vertices.count == 0) vertices.first_point = n;
    ResolvePoint(tables, source, n, vertices.x[vertices.count], vertices.y[vertices.count],
                 reporter);
    ++vertices.count;
  }
}

}  // namespace quellmark
