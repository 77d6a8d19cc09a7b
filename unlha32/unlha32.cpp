// Entry points of libunlha32.so.
#include "unlha32.h"

#include <exception>
#include <string>

#include "command_line.h"
#include "extractor.h"

using quellmark::unlha32::ExtractArchive;
using quellmark::unlha32::ExtractionResult;
using quellmark::unlha32::ParseCommand;
using quellmark::unlha32::WriteReport;

extern "C" UNLHA32_API int Unlha(void* /*window*/, const char* commandLine, char* output,
                                 uint32_t outputSize) {
  try {
    const auto command = commandLine != nullptr ? ParseCommand(commandLine) : std::nullopt;
    if (!command) {
      std::string report = "command line not understood: ";
      report += commandLine != nullptr ? commandLine : "(none)";
      WriteReport(report, output, outputSize);
      return UNLHA32_ERROR_COMMAND;
    }
    const ExtractionResult result = ExtractArchive(*command);
    WriteReport(result.report, output, outputSize);
    return result.code;
  } catch (const std::exception& e) {
    WriteReport(std::string("internal error: ") + e.what(), output, outputSize);
  } catch (...) {
    WriteReport("internal error", output, outputSize);
  }
  return UNLHA32_ERROR_INTERNAL;
}

extern "C" UNLHA32_API int UnlhaGetVersion(void) { return UNLHA32_VERSION; }
