// Reading the file types that member headers declare.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quellmark::unlha32 {

struct HeaderModes {
  std::vector<uint16_t> modes;  // every UNIX mode the header declares, in order
  std::string error;            // non-empty when the header could not be read
};

// Reads the member header that starts at `offset` of the archive open as `fd`
// and returns the UNIX modes it declares: the UNIX extension of a level-0
// header, the mode extended headers of levels 1 to 3. libarchive keeps only
// a mode's permission bits and passes on every member that is neither a link
// nor a folder as a regular file, so devices, FIFOs and sockets can only be
// told apart here. Headers that cannot be read whole are an error.
HeaderModes ReadHeaderModes(int fd, int64_t offset);

}  // namespace quellmark::unlha32
