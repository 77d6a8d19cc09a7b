#include "member_path.h"

namespace quellmark::unlha32 {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

MemberPath SplitMemberPath(std::string_view path) {
  MemberPath result;
  if (path.empty()) {
    result.refusal = "empty member name";
    return result;
  }
  if (IsSeparator(path.front())) {
    result.refusal = "absolute member path";
    return result;
  }
  if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == ':') {
    result.refusal = "member path starts with a drive";
    return result;
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    std::string_view part = path.substr(start, end - start);
    if (part == "..") {
      result.parts.clear();
      result.refusal = "member path climbs out with \"..\"";
      return result;
    }
    if (!part.empty() && part != ".") result.parts.emplace_back(part);
    start = end + 1;
  }
  return result;
}

}  // namespace quellmark::unlha32
