// The archives a path named by the user stands for.
#pragma once

#include <string>
#include <vector>

namespace quellmark {

// A folder stands for every ".lzh" file under it, at any depth and with the
// extension in any letter case, in path order (byte order of the paths);
// links to folders are not followed. Anything else stands for itself.
std::vector<std::string> ArchivesUnder(const std::string& path);

}  // namespace quellmark
