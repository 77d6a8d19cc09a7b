// Shift_JIS (code page 932) byte-level helpers.
//
// All map text is handled as CP932 byte strings. These helpers find
// delimiters without mistaking the second byte of a double-byte character
// for one, cut texts to a byte width at a character boundary, and decode text
// for display only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quellmark {

// True for a CP932 lead byte (0x81-0x9F, 0xE0-0xFC).
constexpr bool IsLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// True when the byte at 1-based `position` of `text` is the second byte of a
// double-byte character. Throws std::out_of_range("Illegal Index") when the
// position is outside 1..text.size().
bool IsTrailBytePos(std::string_view text, std::size_t position);

// 1-based position of the first `needle` in `text` that is not a trail byte,
// or 0 when there is none.
std::size_t FindCharMbcs(char needle, std::string_view text);

// Length of the longest prefix of `text` of at most `max_bytes` bytes that
// does not end inside a double-byte character. A text that already fits is
// kept whole.
std::size_t Cp932PrefixLength(std::string_view text, std::size_t max_bytes);

// `text` cut to at most `max_bytes` bytes at a character boundary.
inline std::string_view CutToWidth(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;  // most texts fit
  return text.substr(0, Cp932PrefixLength(text, max_bytes));
}

// CP932 bytes decoded to UTF-8 for display (terminal, window). Bytes that do
// not decode are shown as \xNN so nothing is silently lost.
std::string DecodeCp932ForDisplay(std::string_view text);

// UTF-8 text encoded as CP932; characters without a CP932 form become '?'.
// Used where the program's own Japanese texts must reach CP932 outputs.
std::string EncodeCp932(std::string_view utf8);

// CP932 text to UTF-8 for outputs that hold UTF-8, losslessly where the text
// is CP932 (NEC and IBM extensions included). One converter keeps its
// conversion state for all its texts; not for sharing between threads.
class Cp932ToUtf8 {
 public:
  Cp932ToUtf8();
  ~Cp932ToUtf8();
  Cp932ToUtf8(const Cp932ToUtf8&) = delete;
  Cp932ToUtf8& operator=(const Cp932ToUtf8&) = delete;

  // Replaces `utf8` with the text. Bytes that are not CP932 text, and NUL,
  // become U+FFFD each (a lead byte whose second byte does not fit: the lead
  // byte); false when there were any.
  bool Convert(std::string_view text, std::string& utf8);

 private:
  void* descriptor_;  // iconv_t
};

}  // namespace quellmark
