// Tokenizer for SAL lines: the small string operations that take a line
// apart front to back. Every operation works on a view of the remainder and
// removes what it returns from its front; nothing here allocates but
// StrToDecimal of an unusually long text.
#pragma once

#include <cstdint>
#include <string_view>

namespace quellmark {

// Delimiter kinds set by SplitToken: 0 none, 1 "(", 2 "{", 3 ")", 4 "}".
// SplitBraceToken numbers its own: 0 none, 1 "{", 2 "}".
void SplitToken(std::string_view& line, int& kind, std::string_view& token);
void SplitBraceToken(std::string_view& line, int& kind, std::string_view& token);

// The next token (as by SplitToken) as an integer, -1 when it is not one.
std::int32_t ReadIntToken(std::string_view& line, int& kind);

// Takes the text before the first "," off the list (the whole list when it
// holds no comma).
void SplitAtComma(std::string_view& list, std::string_view& item);

// Signed 32-bit value of `text`, or `fallback` when it is not an integer.
// Leading blanks are skipped; an optional sign; decimal digits, or, without a
// sign, hexadecimal after "$", "x", "X", "0x" or "0X" (a 32-bit pattern).
std::int32_t StrToIntOr(std::string_view text, std::int32_t fallback);

// The decimal number `text` holds, blanks around it allowed: an optional
// sign, digits with an optional fraction, an optional exponent; nothing else
// (no "inf", "nan" or hexadecimal). False when it holds none.
bool StrToDecimal(std::string_view text, double& value);

}  // namespace quellmark
