#include "app/batch.h"

#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

#include "app/archive_library.h"
#include "convert/sheet_conversion.h"

namespace quellmark {

namespace {

// The library's report, for the error message of a failed extraction.
std::string LibraryReport(const std::vector<char>& buffer) {
  std::size_t n = strnlen(buffer.data(), buffer.size());
  std::string report(buffer.data(), n);
  while (!report.empty() && (report.back() == '\n' || report.back() == '\r')) report.pop_back();
  return report;
}

// Stamps the archive and the layer under way onto every notice of one
// archive's conversion.
class ArchiveNotifier : public Notifier {
 public:
  ArchiveNotifier(Notifier* sink, std::string archive)
      : sink_(sink), archive_(std::move(archive)) {}
  void SetLayer(std::string_view code) { layer_ = code; }
  void Notify(const Notice& notice) override {
    if (sink_ == nullptr) return;
    Notice stamped = notice;
    stamped.archive = archive_;
    stamped.layer = layer_;
    sink_->Notify(stamped);
  }

 private:
  Notifier* sink_;
  std::string archive_;
  std::string layer_;
};

// What one job owns: the library's output buffer and the sheet state.
struct Job {
  std::vector<char> output = std::vector<char>(kLibraryOutputAllocated, '\0');
  std::unique_ptr<SheetState> state = std::make_unique<SheetState>();
};

class Batch {
 public:
  Batch(const BatchOptions& options, const BatchServices& services, SheetConverter convert)
      : options_(options),
        services_(services),
        convert_(std::move(convert)),
        errors_(options.archives.size()) {}

  BatchResult Run() {
    const std::size_t count = options_.archives.size();
    const unsigned jobs = static_cast<unsigned>(
        std::max<std::size_t>(1, std::min<std::size_t>(options_.jobs, count)));
    if (jobs <= 1) {
      Job job;
      Work(job);
    } else {
      std::vector<std::thread> threads;
      std::vector<Job> job_state(jobs);
      for (unsigned i = 0; i < jobs; ++i)
        threads.emplace_back([this, &job_state, i] { Work(job_state[i]); });
      for (auto& t : threads) t.join();
    }
    for (const auto& error : errors_) {
      if (error && !options_.keep_going) std::rethrow_exception(error);
    }
    return result_;
  }

 private:
  void Work(Job& job) {
    while (true) {
      std::size_t index;
      ArchiveNames names;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] {
          return stop_ || next_ >= options_.archives.size() ||
                 !active_.count(ArchiveStem(options_.archives[next_]));
        });
        if (stop_ || next_ >= options_.archives.size()) return;
        index = next_++;
        names = DeriveArchiveNames(options_.archives[index]);
        active_.insert(names.stem);
      }
      std::exception_ptr error = Convert(index, names, job);
      {
        std::lock_guard lock(mutex_);
        active_.erase(names.stem);
        if (error) {
          ++result_.failed;
          errors_[index] = error;
          if (!options_.keep_going) stop_ = true;
        } else {
          ++result_.converted;
        }
      }
      changed_.notify_all();
      if (BatchObserver* observer = services_.observer) {
        if (!error) {
          observer->ArchiveDone(index);
        } else if (options_.keep_going) {
          try {
            std::rethrow_exception(error);
          } catch (const QuellmarkError& e) {
            observer->ArchiveFailed(index, e);
          }
        }
      }
    }
  }

  // Extracts and converts one archive; the error that ended it, if any,
  // always a QuellmarkError naming a file.
  std::exception_ptr Convert(std::size_t index, const ArchiveNames& names, Job& job) {
    BatchObserver* observer = services_.observer;
    if (observer != nullptr) observer->ArchiveStarted(index, names);
    try {
      try {
        const std::string command = ExtractionCommandLine(names.stem);
        job.output[0] = '\0';
        const std::int32_t status = services_.archive_library.Unlha(
            services_.window, command.c_str(), job.output.data(), kLibraryOutputSize);
        if (status != 0) {
          std::string message = "extraction failed";
          const std::string report = LibraryReport(job.output);
          if (!report.empty()) message += ": " + report;
          throw ArchiveError(names.archive, 0, message);
        }
        ArchiveNotifier notifier(services_.notifier, names.archive);
        ExportContext context{*job.state, &notifier, {}};
        context.layer_started = [observer, index, &notifier](std::string_view code) {
          notifier.SetLayer(code);
          if (observer != nullptr) observer->LayerStarted(index, code);
        };
        if (observer != nullptr) {
          context.table_written = [observer, index](std::string_view code) {
            observer->TableWritten(index, code);
          };
        }
        convert_(names.sheet_prefix, names.output_prefix, *options_.format, context);
      } catch (const QuellmarkError&) {
        throw;
      } catch (const std::bad_alloc&) {
        throw QuellmarkError(names.archive, 0, "out of memory");
      } catch (const std::exception& e) {
        throw QuellmarkError(names.archive, 0, e.what());
      }
    } catch (const QuellmarkError&) {
      return std::current_exception();
    }
    return nullptr;
  }

  const BatchOptions& options_;
  const BatchServices& services_;
  SheetConverter convert_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;
  bool stop_ = false;
  std::set<std::string> active_;  // stems under conversion
  std::vector<std::exception_ptr> errors_;
  BatchResult result_;
};

}  // namespace

BatchResult RunBatch(const BatchOptions& options, const BatchServices& services) {
  if (options.format == nullptr) throw std::invalid_argument("no output format chosen");
  SheetConverter convert = services.convert_sheet ? services.convert_sheet : ConvertSheet;
  return Batch(options, services, std::move(convert)).Run();
}

}  // namespace quellmark
