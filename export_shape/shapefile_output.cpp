#include "export_shape/shapefile_output.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include "export_shape/buffered_hooks.h"
#include "sal/cp932.h"
#include "sal/errors.h"
#include "sal/notify.h"

namespace quellmark {

namespace {

// The tables hold code page 932 text: language driver 0x13 in the header and
// "932" in the .cpg file, which GDAL, QGIS and ArcGIS read as Shift_JIS.
constexpr const char* kLanguageDriver = "LDID/19";
constexpr std::string_view kCodePage = "932";

// The files of one layer in the order they are created.
constexpr const char* kExtensions[] = {".shp", ".shx", ".prj", ".dbf", ".cpg"};
constexpr int kShapeFilesTouched = 2;  // .shp and .shx
constexpr int kPrjTouched = 3;
constexpr int kTableFilesTouched = 5;  // .dbf, and the .cpg the library removes

// What the library reported through its error hook since the last Clear.
// One per thread, so conversions on different threads do not mix messages.
std::string& LibraryMessage() {
  thread_local std::string message;
  return message;
}

void CaptureLibraryMessage(const char* message) {
  std::string& captured = LibraryMessage();
  if (!captured.empty()) captured += "; ";
  captured += message;
}

const SAHooks& FileHooks() {
  static const SAHooks hooks = BufferedFileHooks();
  return hooks;
}

// The library does not look at the result of closing a file, where buffered
// data is written last; this hook reports a failed close like any other error.
int CheckedClose(SAFile file) {
  const int result = FileHooks().FClose(file);
  if (result != 0) CaptureLibraryMessage(("closing failed: " + SystemMessage(errno)).c_str());
  return result;
}

SAHooks CheckingHooks() {
  SAHooks hooks = FileHooks();
  hooks.Error = &CaptureLibraryMessage;
  hooks.FClose = &CheckedClose;
  return hooks;
}

std::string LibraryReason(const char* fallback) {
  const std::string& message = LibraryMessage();
  return message.empty() ? std::string(fallback) : message;
}

void WriteSmallFile(const std::string& path, std::string_view content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw OutputError(path, 0, "cannot create: " + SystemMessage(errno));
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  const int write_errno = errno;
  if (std::fclose(file) != 0 || !written) {
    throw OutputError(path, 0, "cannot write: " + SystemMessage(written ? errno : write_errno));
  }
}

struct ShapeDeleter {
  void operator()(SHPObject* object) const { SHPDestroyObject(object); }
};
using ShapePtr = std::unique_ptr<SHPObject, ShapeDeleter>;

// The widest integer field written without the library's formatting.
constexpr std::size_t kMaxIntegerWidth = 20;

int DecimalDigits(std::int32_t value) {
  std::int64_t rest = value;
  int digits = 1;
  if (rest < 0) {
    rest = -rest;
    ++digits;  // the sign
  }
  while (rest >= 10) {
    rest /= 10;
    ++digits;
  }
  return digits;
}

}  // namespace

ShapefileOutput::ShapefileOutput(const std::string& base, LayerGeometry geometry,
                                 std::span<const FieldSpec> fields, std::string_view prj)
    : base_(base), shp_path_(base + ".shp"), dbf_path_(base + ".dbf"), fields_(fields) {
  try {
    // The handles keep their own copy of the hooks.
    SAHooks hooks = CheckingHooks();
    LibraryMessage().clear();
    created_ = kShapeFilesTouched;
    shp_ = SHPCreateLL(shp_path_.c_str(), geometry == LayerGeometry::kPoint ? SHPT_POINT : SHPT_ARC,
                       &hooks);
    if (shp_ == nullptr || !LibraryMessage().empty()) {
      throw OutputError(shp_path_, 0, "cannot create: " + LibraryReason("shapelib failed"));
    }
    created_ = kPrjTouched;
    WriteSmallFile(base_ + ".prj", prj);

    created_ = kTableFilesTouched;
    dbf_ = DBFCreateLL(dbf_path_.c_str(), kLanguageDriver, &hooks);
    if (dbf_ == nullptr || !LibraryMessage().empty()) {
      throw OutputError(dbf_path_, 0, "cannot create: " + LibraryReason("shapelib failed"));
    }
    WriteSmallFile(base_ + ".cpg", kCodePage);
    for (const FieldSpec& field : fields_) {
      const std::string name(field.name);
      const DBFFieldType type = field.type == FieldType::kInteger ? FTInteger : FTString;
      if (DBFAddField(dbf_, name.c_str(), type, field.width, field.decimals) < 0) {
        throw OutputError(
            dbf_path_, 0,
            "cannot declare the field " + name + ": " + LibraryReason("shapelib refused it"));
      }
    }
  } catch (...) {
    RemoveCreatedFiles();
    throw;
  }
}

ShapefileOutput::~ShapefileOutput() {
  if (!completed_) RemoveCreatedFiles();
}

void ShapefileOutput::RemoveCreatedFiles() {
  if (shp_ != nullptr) SHPClose(shp_);
  if (dbf_ != nullptr) DBFClose(dbf_);
  shp_ = nullptr;
  dbf_ = nullptr;
  for (int i = 0; i < created_; ++i) {
    const std::filesystem::path path = base_ + kExtensions[i];
    std::error_code ec;
    // Never a folder that happens to carry the name.
    if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::directory) {
      std::filesystem::remove(path, ec);
    }
  }
  created_ = 0;
}

void ShapefileOutput::WriteShape(SHPObject* object) {
  if (object == nullptr) throw std::bad_alloc();
  ShapePtr owned(object);
  LibraryMessage().clear();
  if (SHPWriteObject(shp_, -1, object) < 0) {
    throw OutputError(shp_path_, 0, "cannot write a shape: " + LibraryReason("shapelib failed"));
  }
}

void ShapefileOutput::WritePoint(double x, double y) {
  const double zero = 0.0;
  WriteShape(SHPCreateObject(SHPT_POINT, -1, 0, nullptr, nullptr, 1, &x, &y, &zero, &zero));
}

void ShapefileOutput::WriteArc(int vertex_count, const double* x, const double* y, const double* z,
                               const double* m) {
  WriteShape(SHPCreateObject(SHPT_ARC, -1, 0, nullptr, nullptr, vertex_count, x, y, z, m));
}

void ShapefileOutput::WriteNull() {
  WriteShape(
      SHPCreateObject(SHPT_NULL, -1, 0, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr));
}

void ShapefileOutput::TableWriteFailed(int record) {
  throw OutputError(dbf_path_, 0,
                    "cannot write record " + std::to_string(record + 1) + ": " +
                        LibraryReason("shapelib failed"));
}

void ShapefileOutput::WriteText(int record, int field, std::string_view text) {
  const FieldSpec& def = fields_[static_cast<std::size_t>(field)];
  const std::size_t width = std::min(static_cast<std::size_t>(def.width), kMaxTextWidth);
  const std::string_view kept = CutToWidth(text, width);
  // An empty value may have no bytes at all to copy from.
  if (!kept.empty()) std::memcpy(text_, kept.data(), kept.size());
  text_[kept.size()] = '\0';
  LibraryMessage().clear();
  if (!DBFWriteStringAttribute(dbf_, record, field, text_)) TableWriteFailed(record);
}

void ShapefileOutput::WriteInteger(int record, int field, std::int32_t value,
                                   const Reporter& reporter) {
  const FieldSpec& def = fields_[static_cast<std::size_t>(field)];
  LibraryMessage().clear();
  if (DecimalDigits(value) > def.width) {
    reporter.Report(std::string(def.name) + " value " + std::to_string(value) +
                    " does not fit its " + std::to_string(def.width) +
                    "-character field; left empty in " + dbf_path_);
    if (!DBFWriteNULLAttribute(dbf_, record, field)) TableWriteFailed(record);
    return;
  }
  // The library would format the value as a floating-point number, which
  // takes most of the time of writing a record; these are the same bytes:
  // the digits right-aligned in the field's width.
  char text[kMaxIntegerWidth + 1];
  const auto width = static_cast<std::size_t>(def.width);
  if (width > kMaxIntegerWidth) {
    if (!DBFWriteIntegerAttribute(dbf_, record, field, value)) TableWriteFailed(record);
    return;
  }
  char digits[16];
  const auto length =
      static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
  std::memset(text, ' ', width - length);
  std::memcpy(text + (width - length), digits, length);
  text[width] = '\0';
  if (!DBFWriteAttributeDirectly(dbf_, record, field, text)) TableWriteFailed(record);
}

void ShapefileOutput::Close() {
  LibraryMessage().clear();
  SHPClose(shp_);
  shp_ = nullptr;
  if (!LibraryMessage().empty()) {
    throw OutputError(shp_path_, 0, "cannot complete: " + LibraryMessage());
  }
  DBFClose(dbf_);
  dbf_ = nullptr;
  if (!LibraryMessage().empty()) {
    throw OutputError(dbf_path_, 0, "cannot complete: " + LibraryMessage());
  }
  completed_ = true;
}

}  // namespace quellmark
