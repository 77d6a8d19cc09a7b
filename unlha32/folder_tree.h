// Removing folder trees and what killed extractions left behind, without
// ever following a link.
#pragma once

#include <string>

namespace quellmark::unlha32 {

// Removes the folder `name` in the folder open as `parent`, with everything
// in it; a link is removed itself, never followed. Goes on past what cannot
// be removed and returns the first failure's errno, or 0.
int RemoveTree(int parent, const std::string& name);

// Whether `name` is that of a file that earlier versions of this library
// wrote a member under until it was checked: ".unlha32-" 16 hex digits ".tmp".
bool IsOldTemporaryName(const std::string& name);

// Removes such files from the folder `name` in `parent` and from every
// folder below it.
void RemoveOldTemporaryFiles(int parent, const std::string& name);

}  // namespace quellmark::unlha32
