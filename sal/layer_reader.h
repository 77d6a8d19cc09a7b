// Reads one layer file (or list file) line by line and parses each line,
// keeping the feature name and point list that carry over between lines.
#pragma once

#include <string>
#include <string_view>

#include "sal/notify.h"
#include "sal/sal_record.h"
#include "sal/text_reader.h"

namespace quellmark {

class SalLayerReader {
 public:
  explicit SalLayerReader(Notifier* sink) : reporter_(sink) {}

  // Opens the file; false when it cannot be opened (the layer is skipped).
  // The feature name and point list start empty.
  bool Open(const std::string& path);
  void Close() { reader_.Close(); }

  // Reads and parses the next line; false at the end of the file.
  bool Next();

  std::string_view raw_line() const { return raw_line_; }  // the line as read
  long line_number() const { return reader_.line_number(); }
  const std::string& path() const { return reader_.path(); }

  // The current line's values, views into the line: valid until the next
  // Next().
  const SalRecord& record() const { return record_; }
  const std::string& feature_name() const { return feature_name_; }
  std::string& point_list() { return point_list_; }

  // Reports a data problem at the current line.
  const Reporter& reporter() const { return reporter_; }

 private:
  TextLineReader reader_;
  Reporter reporter_;
  std::string_view raw_line_;
  SalRecord record_;
  std::string feature_name_;
  std::string point_list_;
};

}  // namespace quellmark
