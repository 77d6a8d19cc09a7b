// Counts heap allocations around the hot paths: parsing a line and loading a
// sheet's points must not allocate once their buffers have grown.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "sal/coordinates.h"
#include "sal/geometry.h"
#include "sal/layer_reader.h"
#include "sal/sal_record.h"
#include "support/test_support.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace quellmark {
namespace {

const char kRoadLine[] =
    "DK(ID{DK003913}){JT{11}YU{1C}SB{16}FI{1B}NM{Road}HR(IR{HA28204000082})CV(ID{CV004052}){"
    "031845,031846}EG(ID{EG008847}){BD(IR{ND28204004495})BD(IR{ND28204004266})GM(IR{"
    "CV28204004052})}}";

TEST(Allocations, ParsingALineAllocatesNothingOnceBuffersHaveGrown) {
  Reporter reporter(nullptr);
  SalRecord record;
  std::string name;
  std::string points;
  ParseSalLine(kRoadLine, name, points, record, reporter);  // grows name and points
  const long before = g_allocations.load();
  for (int i = 0; i < 1000; ++i) ParseSalLine(kRoadLine, name, points, record, reporter);
  EXPECT_EQ(g_allocations.load() - before, 0);
  EXPECT_EQ(points, "031845,031846");
}

// Allocations of one load-and-read round over a sheet of `lines` lines.
long RoundAllocations(const testing::TempDir& dir, int lines, CoordinateTables& tables,
                      SalLayerReader& reader, LineVertices& vertices) {
  std::string slp;
  std::string layer;
  for (int i = 0; i < lines; ++i) {
    slp += "0000000100000002\r\n";
    layer += std::string(kRoadLine) + "\r\n";
  }
  testing::WriteFile(dir / "s.slm", "1,2\r\n");
  testing::WriteFile(dir / "s.slp", slp);
  testing::WriteFile(dir / "sDK.sal", layer);
  const long before = g_allocations.load();
  EXPECT_TRUE(tables.LoadCoordinates(dir / "s"));
  EXPECT_TRUE(reader.Open(dir / "sDK.sal"));
  int read = 0;
  while (reader.Next()) {
    GatherLine(reader.point_list(), tables, PointSource::kPointTable, reader.reporter(), vertices);
    ++read;
  }
  EXPECT_EQ(read, lines);
  return g_allocations.load() - before;
}

TEST(Allocations, ReadingLayersAndReloadingPointsCostNothingPerLine) {
  testing::TempDir dir;
  CoordinateTables tables;
  SalLayerReader reader(nullptr);
  LineVertices vertices;
  RoundAllocations(dir, 3000, tables, reader, vertices);  // buffers grow here
  const long small = RoundAllocations(dir, 5000, tables, reader, vertices);
  const long large = RoundAllocations(dir, 30000, tables, reader, vertices);
  // Opening files costs a few allocations per sheet; lines and points none.
  EXPECT_EQ(small, large);
  EXPECT_EQ(vertices.count, 2u);
}

}  // namespace
}  // namespace quellmark
