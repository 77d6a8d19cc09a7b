#include "app/batch.h"

#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>

#include "app/unlha32.h"

namespace quellmark {

namespace {

// The library's report, for the error message of a failed extraction.
std::string LibraryReport(const std::vector<char>& buffer) {
  std::size_t n = strnlen(buffer.data(), buffer.size());
  std::string report(buffer.data(), n);
  while (!report.empty() && (report.back() == '\n' || report.back() == '\r')) report.pop_back();
  return report;
}

void ConvertOne(std::size_t index, const ArchiveNames& names, const BatchServices& services,
                const ExportDriver& driver, std::vector<char>& output, SheetState& state) {
  BatchObserver* observer = services.observer;
  const std::string command = ExtractionCommandLine(names.stem);
  const std::int32_t result = services.archive_library.Unlha(services.window, command.c_str(),
                                                             output.data(), kLibraryOutputSize);
  if (result != 0) {
    std::string message = "extraction failed";
    const std::string report = LibraryReport(output);
    if (!report.empty()) message += ": " + report;
    throw ArchiveError(names.archive, 0, message);
  }
  ExportContext context{state, services.notifier, {}};
  if (observer != nullptr) {
    context.layer_started = [observer, index](std::string_view code) {
      observer->LayerStarted(index, code);
    };
  }
  driver(names.sheet_prefix, names.output_prefix, context);
}

}  // namespace

BatchResult RunBatch(const BatchOptions& options, const BatchServices& services) {
  ExportDriver driver =
      options.format == OutputFormat::kMapInfoTab ? services.tab_driver : services.shape_driver;
  if (!driver) throw std::logic_error("no export driver for the chosen format");

  BatchResult result;
  std::vector<char> output(kLibraryOutputAllocated, '\0');
  auto state = std::make_unique<SheetState>();
  const std::size_t count = options.archives.size();
  for (std::size_t index = 0; index < count; ++index) {
    const ArchiveNames names = DeriveArchiveNames(options.archives[index]);
    if (services.observer != nullptr) services.observer->ArchiveStarted(index, names);
    try {
      try {
        ConvertOne(index, names, services, driver, output, *state);
      } catch (const QuellmarkError&) {
        throw;
      } catch (const std::bad_alloc&) {
        throw QuellmarkError(names.archive, 0, "out of memory");
      } catch (const std::exception& e) {
        throw QuellmarkError(names.archive, 0, e.what());
      }
    } catch (const QuellmarkError& error) {
      ++result.failed;
      if (!options.keep_going) throw;
      if (services.observer != nullptr) services.observer->ArchiveFailed(index, error);
      continue;
    }
    ++result.converted;
    if (services.observer != nullptr) services.observer->ArchiveDone(index);
  }
  return result;
}

}  // namespace quellmark
