#include "sal/tokenizer.h"

#include "sal/cp932.h"

namespace quellmark {

namespace {

// Position (0-based) of the first delimiter of the set that does not lie on a
// trail byte, or npos. A single forward walk over whole characters finds the
// same byte as searching for each delimiter and rejecting trail-byte hits.
template <typename Classify>
std::size_t FindDelimiter(std::string_view text, Classify classify, int& kind) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (IsLeadByte(c)) {
      i += 2;
      continue;
    }
    int k = classify(c);
    if (k != 0) {
      kind = k;
      return i;
    }
    ++i;
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
  std::size_t pos = FindDelimiter(
      line,
      [](unsigned char c) {
        switch (c) {
          case '(':
            return 1;
          case '{':
            return 2;
          case ')':
            return 3;
          case '}':
            return 4;
          default:
            return 0;
        }
      },
      kind);
  TakeToken(line, pos, token);
}

void SplitBraceToken(std::string_view& line, int& kind, std::string_view& token) {
  kind = 0;
  std::size_t pos = FindDelimiter(
      line, [](unsigned char c) { return c == '{' ? 1 : (c == '}' ? 2 : 0); }, kind);
  TakeToken(line, pos, token);
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

}  // namespace quellmark
