#include "sal/layer_reader.h"

namespace quellmark {

bool SalLayerReader::Open(const std::string& path) {
  if (!reader_.Open(path)) return false;
  reporter_.SetFile(path);
  feature_name_.clear();
  point_list_.clear();
  return true;
}

bool SalLayerReader::Next() {
  if (!reader_.ReadLine(raw_line_)) {
    if (reader_.data_after_eof_marker()) {
      reporter_.SetLine(reader_.line_number() + 1);
      reporter_.Report("data after the end-of-file mark (0x1A) ignored");
    }
    return false;
  }
  reporter_.SetLine(reader_.line_number());
  ParseSalLine(raw_line_, feature_name_, point_list_, record_, reporter_);
  return true;
}

}  // namespace quellmark
