#include "sal/tokenizer.h"

#include <array>
#include <charconv>
#include <string>

#include "sal/cp932.h"

namespace quellmark {

namespace {

// Byte classes of a delimiter search: 0 for a byte that is none of the set,
// the delimiter's kind for one of it, and kLead for a double-byte lead byte
// (whose second byte is never taken for a delimiter).
constexpr std::uint8_t kLead = 0xFF;
using ByteClasses = std::array<std::uint8_t, 256>;

constexpr ByteClasses Classes(std::string_view delimiters) {
  ByteClasses classes{};
  for (int c = 0; c < 256; ++c) {
    if (IsLeadByte(static_cast<unsigned char>(c))) classes[static_cast<std::size_t>(c)] = kLead;
  }
  for (std::size_t k = 0; k < delimiters.size(); ++k) {
    classes[static_cast<unsigned char>(delimiters[k])] = static_cast<std::uint8_t>(k + 1);
  }
  return classes;
}

// SplitToken's kinds: 1 "(", 2 "{", 3 ")", 4 "}"; SplitBraceToken's: 1 "{", 2 "}".
constexpr ByteClasses kTokenClasses = Classes("({)}");
constexpr ByteClasses kBraceClasses = Classes("{}");

// Position (0-based) of the first delimiter of the set that does not lie on a
// trail byte, or npos. A single forward walk over whole characters finds the
// same byte as searching for each delimiter and rejecting trail-byte hits.
std::size_t FindDelimiter(std::string_view text, const ByteClasses& classes, int& kind) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t k = classes[static_cast<unsigned char>(text[i])];
    if (k == 0) {
      ++i;
    } else if (k == kLead) {
      i += 2;
    } else {
      kind = k;
      return i;
    }
  }
  return std::string_view::npos;
}

void TakeToken(std::string_view& line, std::size_t pos, std::string_view& token) {
  if (pos == std::string_view::npos) {
    token = line;
    line = std::string_view();
  } else {
    token = line.substr(0, pos);
    line.remove_prefix(pos + 1);
  }
}

}  // namespace

void SplitToken(std::string_view& line, int& kind, std::string_view& token) {
  kind = 0;
  TakeToken(line, FindDelimiter(line, kTokenClasses, kind), token);
}

void SplitBraceToken(std::string_view& line, int& kind, std::string_view& token) {
  kind = 0;
  TakeToken(line, FindDelimiter(line, kBraceClasses, kind), token);
}

std::int32_t ReadIntToken(std::string_view& line, int& kind) {
  std::string_view token;
  SplitToken(line, kind, token);
  return StrToIntOr(token, -1);
}

void SplitAtComma(std::string_view& list, std::string_view& item) {
  std::size_t pos = list.find(',');
  TakeToken(list, pos, item);
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::int32_t StrToIntOr(std::string_view text, std::int32_t fallback) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  if (i == n) return fallback;

  // Most texts are a few plain digits (point numbers): no sign, no prefix,
  // too few digits to overflow.
  if (n - i <= 9) {
    std::uint32_t value = 0;
    std::size_t k = i;
    for (; k < n; ++k) {
      const unsigned digit = static_cast<unsigned char>(text[k]) - static_cast<unsigned>('0');
      if (digit > 9) break;
      value = value * 10 + digit;
    }
    if (k == n) return static_cast<std::int32_t>(value);
  }

  bool negative = false;
  bool signed_text = false;
  if (text[i] == '-' || text[i] == '+') {
    negative = text[i] == '-';
    signed_text = true;
    ++i;
  }

  if (!signed_text) {
    std::size_t hex_at = 0;  // 0: decimal
    if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
      hex_at = i + 1;
    } else if (text[i] == '0' && i + 1 < n && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      hex_at = i + 2;
    }
    if (hex_at != 0) {
      if (hex_at >= n) return fallback;
      std::uint64_t value = 0;
      for (std::size_t j = hex_at; j < n; ++j) {
        int d = HexDigit(text[j]);
        if (d < 0) return fallback;
        value = value * 16 + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFull) return fallback;
      }
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }
  }

  if (i == n) return fallback;
  std::int64_t value = 0;
  for (; i < n; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return fallback;
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) return fallback;
  }
  if (negative) value = -value;
  if (value > 2147483647LL) return fallback;
  return static_cast<std::int32_t>(value);
}

bool StrToDecimal(std::string_view text, double& value) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !((text.front() >= '0' && text.front() <= '9') || text.front() == '.')) {
    return false;
  }
  std::string digits(text);
  if (digits.front() == '.') digits.insert(0, 1, '0');
  double number = 0.0;
  const char* last = digits.data() + digits.size();
  const auto [end, error] =
      std::from_chars(digits.data(), last, number, std::chars_format::general);
  if (error != std::errc() || end != last) return false;
  value = negative ? -number : number;
  return true;
}

}  // namespace quellmark
