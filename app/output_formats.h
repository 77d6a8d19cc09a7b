// The program's output formats: what the command line's --format takes, what
// the window offers, what the batch converts to.
#pragma once

#include <span>

#include "convert/output_format.h"

namespace quellmark {

// In the order the window lists them.
std::span<const OutputFormat* const> OutputFormats();

// The format chosen when none is named.
const OutputFormat& DefaultOutputFormat();

}  // namespace quellmark
