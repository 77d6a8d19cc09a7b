// The one seam through which the reading and export code reports data
// problems. The code never talks to a user directly: the window shows each
// notice as a message box, the command line prints a warning, tests record.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace quellmark {

struct Notice {
  std::string text;     // the system's own wording, CP932 bytes ("over scoordnum")
  std::string caption;  // CP932; empty for data problems, "PANIC!!" for the archive library
  std::string file;     // the file being read (file-system bytes), empty if none
  long line = 0;        // 1-based line in that file, 0 if none
  std::string archive;  // the archive being converted, when a batch runs
  std::string layer;    // the layer code being converted, when a batch runs
};

class Notifier {
 public:
  virtual ~Notifier() = default;
  // Called once per problem; returns when the user (if any) has taken note.
  virtual void Notify(const Notice& notice) = 0;
};

// Attaches the current file and line to every notice of one reader.
class Reporter {
 public:
  explicit Reporter(Notifier* sink = nullptr) : sink_(sink) {}

  void SetFile(std::string_view file) {
    file_.assign(file);
    line_ = 0;
  }
  void SetLine(long line) { line_ = line; }
  const std::string& file() const { return file_; }
  long line() const { return line_; }
  Notifier* sink() const { return sink_; }

  void Report(std::string text) const {
    if (sink_ == nullptr) return;
    Notice notice;
    notice.text = std::move(text);
    notice.file = file_;
    notice.line = line_;
    sink_->Notify(notice);
  }

 private:
  Notifier* sink_;
  std::string file_;
  long line_ = 0;
};

}  // namespace quellmark
