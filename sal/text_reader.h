// Line reader for every text file the program reads (coordinate files, SAL
// layer files, list files). A line ends at CR, an LF right after it belongs
// to the same line end, a lone LF also ends a line, and a 0x1A byte ends the
// file. Lines are handed out as views into the reader's own buffer, valid
// until the next call; nothing is allocated per line once the buffer has
// grown to the longest line.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace quellmark {

class TextLineReader {
 public:
  TextLineReader();
  ~TextLineReader();
  TextLineReader(const TextLineReader&) = delete;
  TextLineReader& operator=(const TextLineReader&) = delete;

  // Opens the file; false when it cannot be opened (the caller decides
  // whether that matters). Closes a file opened before.
  bool Open(const std::string& path);
  void Close();
  bool is_open() const { return fd_ >= 0; }

  // The next line without its line end; false at the end of the file.
  // Throws InputError (naming the file and line) on a read error.
  bool ReadLine(std::string_view& line);

  // Number of the line last returned, from 1.
  long line_number() const { return line_number_; }
  const std::string& path() const { return path_; }
  // True when the file ended at a 0x1A byte with more bytes behind it.
  bool data_after_eof_marker() const { return data_after_marker_; }

 private:
  bool Fill();  // reads more bytes; false at the end of the file

  int fd_ = -1;
  std::string path_;
  std::unique_ptr<char[]> buffer_;  // kBufferSize bytes, not cleared
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;   // end of file or 0x1A seen
  bool skip_lf_ = false;  // the last line ended at CR: an LF next is part of it
  bool data_after_marker_ = false;
  long line_number_ = 0;
  std::string carry_;  // a line that spans two buffer fills
};

}  // namespace quellmark
