#include "sal/errors.h"

#include <cstring>

namespace quellmark {

namespace {

std::string Compose(const std::string& file, long line, const std::string& message) {
  std::string what = file;
  if (line > 0) what += ":" + std::to_string(line);
  if (!what.empty()) what += ": ";
  return what + message;
}

}  // namespace

QuellmarkError::QuellmarkError(std::string file, long line, std::string message)
    : std::runtime_error(Compose(file, line, message)),
      file_(std::move(file)),
      line_(line),
      message_(std::move(message)) {}

std::string SystemMessage(int errnum) {
  char buffer[256];
  // GNU strerror_r returns the message, possibly not in the buffer.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  return text;
}

}  // namespace quellmark
