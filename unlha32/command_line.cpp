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

  const size_t wildcard = FindWildcard(s);
  if (wildcard == std::string_view::npos) return std::nullopt;
  std::string_view names = s.substr(0, wildcard);
  std::string_view rest = s.substr(wildcard + 4);

  // Only switches may follow the wildcard.
  SkipBlanks(rest);
  while (!rest.empty()) {
    if (TakeToken(rest).front() != '-') return std::nullopt;
    SkipBlanks(rest);
  }

  // "ARCHIVE" "DEST/": the last quoted word, after a blank, follows another.
  if (names.size() >= 2 && names.back() == '"') {
    const size_t open = names.rfind('"', names.size() - 2);
    if (open != std::string_view::npos && open > 0 && IsBlank(names[open - 1])) {
      std::string_view archive = names.substr(0, open);
      while (!archive.empty() && IsBlank(archive.back())) archive.remove_suffix(1);
      if (archive.size() >= 2 && archive.front() == '"' && archive.back() == '"') {
        archive = archive.substr(1, archive.size() - 2);
        const std::string_view destination = names.substr(open + 1, names.size() - open - 2);
        if (archive.empty() || destination.empty() || destination.back() != '/') {
          return std::nullopt;
        }
        return Command{std::string(archive), std::string(destination)};
      }
    }
  }

  if (names.size() >= 2 && names.front() == '"' && names.back() == '"') {
    names = names.substr(1, names.size() - 2);
  }
  if (names.empty()) return std::nullopt;
  return Command{std::string(names), std::nullopt};
}

}  // namespace quellmark::unlha32
