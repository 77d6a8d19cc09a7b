#include "sal/cp932.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace quellmark {

bool IsTrailBytePos(std::string_view text, std::size_t position) {
  if (position < 1 || position > text.size()) throw std::out_of_range("Illegal Index");
  if (position == 1) return false;
  // Count the lead-valued bytes standing directly before the position; an odd
  // run means the byte at the position completes a double-byte character.
  std::size_t count = 0;
  for (std::size_t i = position - 1; i >= 1; --i) {
    if (!IsLeadByte(static_cast<unsigned char>(text[i - 1]))) break;
    ++count;
  }
  return (count % 2) == 1;
}

std::size_t FindCharMbcs(char needle, std::string_view text) {
  std::size_t offset = 0;
  while (true) {
    std::string_view rest = text.substr(offset);
    std::size_t k = rest.find(needle);
    if (k == std::string_view::npos) return 0;
    offset += k + 1;
    if (!IsTrailBytePos(rest, k + 1)) return offset;
  }
}

std::size_t Cp932PrefixLength(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text.size();
  std::size_t i = 0;
  while (i < max_bytes) {
    std::size_t step = IsLeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
    if (i + step > max_bytes) break;
    i += step;
  }
  return i;
}

namespace {

std::string Convert(const char* to, const char* from, std::string_view text, bool hex_escape) {
  std::string out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
  out.reserve(text.size() * 2);
  char* in = const_cast<char*>(text.data());
  std::size_t in_left = text.size();
  char buffer[256];
  while (in_left > 0) {
    char* outp = buffer;
    std::size_t out_left = sizeof buffer;
    std::size_t r = iconv(cd, &in, &in_left, &outp, &out_left);
    out.append(buffer, static_cast<std::size_t>(outp - buffer));
    if (r == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: show the byte (or a stand-in) and step over it.
      if (hex_escape) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(*in));
        out += hex;
        ++in;
        --in_left;
      } else {
        out += '?';
        // Step over one whole UTF-8 sequence.
        ++in;
        --in_left;
        while (in_left > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80) {
          ++in;
          --in_left;
        }
      }
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace

std::string DecodeCp932ForDisplay(std::string_view text) {
  // Control bytes (never part of a double-byte character) are shown escaped,
  // so a NUL or an escape sequence in damaged data cannot cut or garble a
  // message; the runs between them are decoded.
  std::string out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const bool end = i == text.size();
    const auto c = end ? 0 : static_cast<unsigned char>(text[i]);
    if (!end && c >= 0x20 && c != 0x7F) continue;
    std::string_view run = text.substr(start, i - start);
    bool ascii = true;
    for (unsigned char r : run) ascii = ascii && r < 0x80;
    out += ascii ? std::string(run) : Convert("UTF-8", "CP932", run, true);
    if (!end) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
    start = i + 1;
  }
  return out;
}

std::string EncodeCp932(std::string_view utf8) { return Convert("CP932", "UTF-8", utf8, false); }

Cp932ToUtf8::Cp932ToUtf8() : descriptor_(iconv_open("UTF-8", "CP932")) {
  if (descriptor_ == reinterpret_cast<void*>(-1)) {
    throw std::runtime_error("the C library cannot convert code page 932 to UTF-8");
  }
}

Cp932ToUtf8::~Cp932ToUtf8() { iconv_close(static_cast<iconv_t>(descriptor_)); }

bool Cp932ToUtf8::Convert(std::string_view text, std::string& utf8) {
  utf8.clear();
  bool whole = true;
  const auto cd = static_cast<iconv_t>(descriptor_);
  std::size_t start = 0;
  while (start < text.size()) {
    // ASCII runs are UTF-8 already.
    std::size_t end = start;
    while (end < text.size() && static_cast<unsigned char>(text[end]) < 0x80 && text[end] != 0) {
      ++end;
    }
    utf8.append(text, start, end - start);
    start = end;
    if (start == text.size()) break;
    if (text[start] == 0) {
      utf8 += "\xEF\xBF\xBD";
      whole = false;
      ++start;
      continue;
    }
    // The run up to the next ASCII byte that cannot be a second byte (below
    // 0x40) goes through iconv.
    while (end < text.size() && (static_cast<unsigned char>(text[end]) >= 0x40)) ++end;
    char* in = const_cast<char*>(text.data() + start);
    std::size_t in_left = end - start;
    while (in_left > 0) {
      char buffer[256];
      char* out = buffer;
      std::size_t out_left = sizeof buffer;
      const std::size_t result = iconv(cd, &in, &in_left, &out, &out_left);
      utf8.append(buffer, static_cast<std::size_t>(out - buffer));
      if (result != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
      // EILSEQ, or EINVAL for a lead byte at the end: that byte stands as
      // U+FFFD and the conversion goes on after it.
      utf8 += "\xEF\xBF\xBD";
      whole = false;
      ++in;
      --in_left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    start = end;
  }
  return whole;
}

}  // namespace quellmark
