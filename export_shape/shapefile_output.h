// One layer's output files: the shape file and its index, the attribute
// table, and beside them the code page (.cpg) and coordinate system (.prj)
// files. Every library call is checked; a layer that cannot be completed
// leaves no files behind.
#pragma once

#include <shapefil.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "convert/datum.h"
#include "layers/catalogue.h"

namespace quellmark {

class Reporter;

class ShapefileOutput {
 public:
  // Creates `base` + ".shp", ".shx", ".prj" (holding `prj`), ".dbf" and
  // ".cpg", replacing existing files, and declares `fields` (which must
  // outlive the output). Throws OutputError naming the file that could not be
  // created.
  ShapefileOutput(const std::string& base, LayerGeometry geometry,
                  std::span<const FieldSpec> fields, std::string_view prj = kAsBeforePrj);
  // Closes what is still open. Unless Close() completed, removes the files
  // this output created, so no half-written layer is left.
  ~ShapefileOutput();
  ShapefileOutput(const ShapefileOutput&) = delete;
  ShapefileOutput& operator=(const ShapefileOutput&) = delete;

  // Append the next shape. Throw OutputError when the shape file cannot be
  // written.
  void WritePoint(double x, double y);
  void WriteArc(int vertex_count, const double* x, const double* y, const double* z,
                const double* m);
  void WriteNull();

  // Attribute values of `record` (0-based: the last record or the next one).
  // A text is cut to the field's width at a character boundary. An integer
  // with more digits than the field holds is not truncated: it is reported
  // through `reporter` and the field is left null. Throw OutputError when the
  // table cannot be written.
  void WriteText(int record, int field, std::string_view text);
  void WriteInteger(int record, int field, std::int32_t value, const Reporter& reporter);

  // Completes and closes every file. Throws OutputError.
  void Close();

  const std::string& shp_path() const { return shp_path_; }
  const std::string& dbf_path() const { return dbf_path_; }

 private:
  void WriteShape(SHPObject* object);
  [[noreturn]] void TableWriteFailed(int record);
  void RemoveCreatedFiles();

  std::string base_;
  std::string shp_path_;
  std::string dbf_path_;
  std::span<const FieldSpec> fields_;
  SHPHandle shp_ = nullptr;
  DBFHandle dbf_ = nullptr;
  int created_ = 0;  // how many of the files, in creation order, were touched
  bool completed_ = false;
  // The zero-terminated value handed to the library. A dBASE field holds at
  // most 255 bytes; the library declares a wider one that wide.
  static constexpr std::size_t kMaxTextWidth = 255;
  char text_[kMaxTextWidth + 1];
};

}  // namespace quellmark
