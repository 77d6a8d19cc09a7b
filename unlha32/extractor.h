// Extraction of one LHA archive into a folder.
#pragma once

#include <cstdint>
#include <string>

#include "command_line.h"

namespace quellmark::unlha32 {

struct ExtractionResult {
  int code = 0;        // UNLHA32_OK or one of the UNLHA32_ERROR_* values
  std::string report;  // human-readable summary or reason for failure
};

// Extracts the archive that the command names, as Unlha() documents.
ExtractionResult ExtractArchive(const Command& command);

// Copies text into output, cut to outputSize - 1 bytes (never inside a UTF-8
// sequence) and NUL-terminated. Writes nothing when output is null or the size
// is zero.
void WriteReport(const std::string& text, char* output, uint32_t output_size);

}  // namespace quellmark::unlha32
