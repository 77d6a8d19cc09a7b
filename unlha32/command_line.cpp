#include "command_line.h"

namespace quellmark::unlha32 {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void SkipBlanks(std::string_view& s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
}

std::string_view TakeToken(std::string_view& s) {
  size_t end = 0;
  while (end < s.size() && !IsBlank(s[end])) ++end;
  std::string_view token = s.substr(0, end);
  s.remove_prefix(end);
  return token;
}

// Takes a word in double quotes off the front of `s`: "" inside stands for
// one quote, and the closing quote must be followed by a blank or the end.
std::optional<std::string> TakeQuoted(std::string_view& s) {
  std::string word;
  for (size_t i = 1; i < s.size(); ++i) {
    if (s[i] != '"') {
      word += s[i];
    } else if (i + 1 < s.size() && s[i + 1] == '"') {
      word += '"';
      ++i;
    } else if (i + 1 == s.size() || IsBlank(s[i + 1])) {
      s.remove_prefix(i + 1);
      return word;
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// Only switches may follow the wildcard.
bool OnlySwitches(std::string_view rest) {
  SkipBlanks(rest);
  while (!rest.empty()) {
    if (TakeToken(rest).front() != '-') return false;
    SkipBlanks(rest);
  }
  return true;
}

// Finds the last " *.*" that stands alone as a word.
size_t FindWildcard(std::string_view s) {
  constexpr std::string_view kWildcard = " *.*";
  size_t pos = s.rfind(kWildcard);
  while (pos != std::string_view::npos) {
    const size_t after = pos + kWildcard.size();
    if (after == s.size() || IsBlank(s[after])) return pos;
    if (pos == 0) break;
    pos = s.rfind(kWildcard, pos - 1);
  }
  return std::string_view::npos;
}

// "ARCHIVE" *.* or "ARCHIVE" "DEST/" *.*, and switches.
std::optional<Command> ParseQuoted(std::string_view s) {
  Command command;
  auto archive = TakeQuoted(s);
  if (!archive || archive->empty()) return std::nullopt;
  command.archive = std::move(*archive);
  SkipBlanks(s);
  if (!s.empty() && s.front() == '"') {
    auto destination = TakeQuoted(s);
    if (!destination || destination->empty() || destination->back() != '/') return std::nullopt;
    command.destination = std::move(*destination);
    SkipBlanks(s);
  }
  if (TakeToken(s) != "*.*" || !OnlySwitches(s)) return std::nullopt;
  return command;
}

}  // namespace

std::optional<Command> ParseCommand(std::string_view s) {
  SkipBlanks(s);
  std::string_view command = TakeToken(s);
  if (!command.empty() && command.front() == '-') command.remove_prefix(1);
  if (command != "e" && command != "E" && command != "x" && command != "X") return std::nullopt;

  SkipBlanks(s);
  while (!s.empty() && s.front() == '-') {
    TakeToken(s);
    SkipBlanks(s);
  }
  if (!s.empty() && s.front() == '"') return ParseQuoted(s);

  // NAME unquoted: the text up to the last " *.*", blanks and all.
  const size_t wildcard = FindWildcard(s);
  if (wildcard == std::string_view::npos || !OnlySwitches(s.substr(wildcard + 4))) {
    return std::nullopt;
  }
  const std::string_view name = s.substr(0, wildcard);
  if (name.empty()) return std::nullopt;
  return Command{std::string(name), std::nullopt};
}

}  // namespace quellmark::unlha32
