// The command-line program, given the formats it offers: main() passes the
// program's registry; a test passes a registry with a format of its own.
#pragma once

#include <span>

#include "convert/output_format.h"

namespace quellmark {

// Parses the arguments, runs the batch and reports it; returns the exit
// status. `default_format` is one of `formats`: written when no --format
// is given.
int ConvertMain(int argc, char** argv, std::span<const OutputFormat* const> formats,
                const OutputFormat& default_format);

}  // namespace quellmark
