// Errors that end a batch. Each names the file (and the line where there is
// one); the message is formed here, in one place, so every front end shows
// the same "FILE:LINE: what happened" line.
#pragma once

#include <stdexcept>
#include <string>

namespace quellmark {

class QuellmarkError : public std::runtime_error {
 public:
  QuellmarkError(std::string file, long line, std::string message);

  const std::string& file() const { return file_; }
  long line() const { return line_; }
  const std::string& message() const { return message_; }

 private:
  std::string file_;
  long line_;
  std::string message_;
};

// A layer set's file could not be read, or holds what cannot be converted
// where the conversion cannot go on (a missing ".slm", an origin that is not
// a number, a read error).
class InputError : public QuellmarkError {
 public:
  using QuellmarkError::QuellmarkError;
};

// An output table or list file could not be created or written.
class OutputError : public QuellmarkError {
 public:
  using QuellmarkError::QuellmarkError;
};

// An archive could not be extracted.
class ArchiveError : public QuellmarkError {
 public:
  using QuellmarkError::QuellmarkError;
};

// The run was asked to stop (SIGINT, SIGTERM) while the archive was being
// converted; what it had written of the sheet is gone, its earlier tables stay.
class Interrupted : public QuellmarkError {
 public:
  using QuellmarkError::QuellmarkError;
};

// "<strerror(errnum)>", for messages about failed system calls.
std::string SystemMessage(int errnum);

}  // namespace quellmark
