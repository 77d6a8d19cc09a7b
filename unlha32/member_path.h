// Checking archive member paths before anything is written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quellmark::unlha32 {

struct MemberPath {
  std::vector<std::string> parts;  // folders, then the file name (if any)
  std::string refusal;             // non-empty when the path must not be used
};

// Splits a member path into its components, reading '\' as a separator like
// '/'. Empty and "." components are dropped. Refused are absolute paths,
// paths starting with a drive ("C:"), and paths with a ".." component: those
// could name something outside the extraction folder.
MemberPath SplitMemberPath(std::string_view path);

}  // namespace quellmark::unlha32
