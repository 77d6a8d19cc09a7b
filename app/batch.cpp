#include "app/batch.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "app/archive_library.h"
#include "app/sheet_lock.h"
#include "convert/sheet_conversion.h"
#include "convert/staged_sheet.h"

namespace quellmark {

namespace {

// How long a wait goes without looking at the stop flag.
constexpr std::chrono::milliseconds kStopPoll{50};

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

// The same archive, whatever path names it: the file's own path where it
// exists, else the path made absolute and plain.
std::string ArchiveKey(const std::string& path) {
  std::error_code error;
  std::filesystem::path key = std::filesystem::canonical(path, error);
  if (error) key = std::filesystem::absolute(path, error).lexically_normal();
  return error ? path : key.string();
}

class Batch {
 public:
  Batch(const BatchOptions& options, const BatchServices& services, SheetConverter convert)
      : options_(options),
        services_(services),
        convert_(std::move(convert)),
        errors_(options.archives.size()),
        first_(options.archives.size()),
        finished_(options.archives.size(), 0),
        output_dir_(options.output_dir) {
    if (!options.output_file.empty()) {
      const std::size_t slash = options.output_file.rfind('/');
      output_dir_ = slash == std::string::npos ? "." : options.output_file.substr(0, slash);
      if (output_dir_.empty()) output_dir_ = "/";
      file_prefix_ = options.output_file.substr(
          0, options.output_file.size() - options.format->collection_extension().size());
    }
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < options.archives.size(); ++i) {
      first_[i] = seen.emplace(ArchiveKey(options.archives[i]), i).first->second;
    }
  }

  BatchResult Run() {
    const std::size_t count = options_.archives.size();
    if (Stopping() && count > 0) {
      // Stopped before it began: nothing is touched.
      result_.interrupted = true;
      return result_;
    }
    std::unique_ptr<SheetLock> file_lock;
    if (!options_.output_file.empty()) {
      try {
        // One run at a time builds the file.
        file_lock = SheetLock::Acquire(
            options_.output_file, options_.output_file,
            [this] {
              if (services_.notifier == nullptr) return;
              Notice notice;
              notice.file = options_.output_file;
              notice.text = "another run is writing this file; waiting for it";
              services_.notifier->Notify(notice);
            },
            services_.stop);
        collection_ = options_.format->OpenCollection({.path = options_.output_file,
                                                       .positions = count,
                                                       .jobs = std::max(1u, options_.jobs),
                                                       .datum = options_.datum,
                                                       .append = options_.append,
                                                       .layers = options_.layers,
                                                       .stop = services_.stop});
      } catch (const Interrupted&) {
        // Stopped before any archive was started: the earlier file stays.
        result_.interrupted = true;
        return result_;
      }
    }
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
      if (!error || options_.keep_going) continue;
      try {
        std::rethrow_exception(error);
      } catch (const Interrupted&) {
        // Reported to the observer; the result says the batch was stopped.
      }
    }
    // Archives never started keep their earlier outputs.
    if (next_ < count) result_.interrupted = result_.interrupted || Stopping();
    // Kept when an archive was converted; the earlier file stays otherwise,
    // and once the run is asked to stop.
    if (collection_ && !result_.interrupted && (result_.converted > 0 || collection_->failed())) {
      if (Stopping()) {
        result_.interrupted = true;
      } else {
        try {
          collection_->Commit();
        } catch (const Interrupted&) {
          result_.interrupted = true;
        }
      }
    }
    // A stop that came once every output was in place cut nothing short.
    result_.stopped_after_outputs = !result_.interrupted && Stopping();
    return result_;
  }

 private:
  bool Stopping() const { return services_.stop != nullptr && services_.stop->load(); }

  void Work(Job& job) {
    while (true) {
      std::size_t index;
      ArchiveNames names;
      {
        std::unique_lock lock(mutex_);
        const auto ready = [this] {
          if (stop_ || Stopping() || next_ >= options_.archives.size()) return true;
          // A later place of an archive waits for its first; two archives
          // with the same outputs are not converted at once.
          const std::size_t first = first_[next_];
          if (first != next_) return finished_[first] != 0;
          return !active_.count(
              DeriveArchiveNames(options_.archives[next_], output_dir_).output_prefix);
        };
        // The stop flag is set by a signal handler, which cannot notify:
        // it is looked at as often as the wait is.
        while (!changed_.wait_for(lock, kStopPoll, ready)) {
        }
        if (stop_ || Stopping() || next_ >= options_.archives.size()) return;
        index = next_++;
        if (first_[index] != index) {
          const bool converted = finished_[first_[index]] == 1;
          finished_[index] = finished_[first_[index]];
          lock.unlock();
          Repeated(index, converted);
          continue;
        }
        names = DeriveArchiveNames(options_.archives[index], output_dir_);
        active_.insert(names.output_prefix);
      }
      std::exception_ptr error = Convert(index, names, job);
      if (collection_) collection_->Settle(index, !error);
      bool interrupted = false;
      if (error) {
        try {
          std::rethrow_exception(error);
        } catch (const Interrupted&) {
          interrupted = true;
        } catch (const QuellmarkError&) {
        }
      }
      {
        std::lock_guard lock(mutex_);
        active_.erase(names.output_prefix);
        finished_[index] = error ? 2 : 1;
        if (error) {
          ++result_.failed;
          errors_[index] = error;
          if (!options_.keep_going || interrupted) stop_ = true;
          if (interrupted) result_.interrupted = true;
        } else {
          ++result_.converted;
        }
        // The one file cannot be written: nothing more is worth converting.
        if (collection_ && collection_->failed()) stop_ = true;
      }
      changed_.notify_all();
      if (BatchObserver* observer = services_.observer) {
        if (!error) {
          observer->ArchiveDone(index);
        } else if (options_.keep_going || interrupted) {
          try {
            std::rethrow_exception(error);
          } catch (const QuellmarkError& e) {
            observer->ArchiveFailed(index, e);
          }
        }
      }
    }
  }

  // A later place in the list of an archive already done.
  void Repeated(std::size_t index, bool converted) {
    if (collection_) collection_->Settle(index, false);
    if (services_.notifier != nullptr) {
      Notice notice;
      notice.text = converted ? "listed more than once; converted once"
                              : "listed more than once; not tried again after it failed";
      notice.archive = options_.archives[index];
      services_.notifier->Notify(notice);
    }
    if (services_.observer != nullptr) services_.observer->ArchiveRepeated(index, converted);
    changed_.notify_all();
  }

  void CheckStop(const ArchiveNames& names) const {
    if (Stopping()) throw Interrupted(names.archive, 0, "interrupted");
  }

  // Extracts and converts one archive; the error that ended it, if any,
  // always a QuellmarkError naming a file.
  std::exception_ptr Convert(std::size_t index, const ArchiveNames& names, Job& job) {
    BatchObserver* observer = services_.observer;
    if (observer != nullptr) observer->ArchiveStarted(index, names);
    ArchiveNotifier notifier(services_.notifier, names.archive);
    try {
      try {
        const auto lock = SheetLock::Acquire(
            names.output_prefix, names.archive,
            [&notifier] {
              Notice notice;
              notice.text = "another run is converting this archive; waiting for it";
              notifier.Notify(notice);
            },
            services_.stop);
        CheckStop(names);
        // With an output folder, the archive is extracted there, into a
        // hidden folder of its own unless it is to be kept.
        std::string folder = names.extraction_folder;
        std::string command = ExtractionCommandLine(names.archive);
        if (!output_dir_.empty()) {
          if (!options_.keep_extracted) {
            // Named like the staging of the outputs, so that the next run
            // removes it if this one is killed.
            folder = StagedSheet::StagingPrefix(file_prefix_.empty() ? names.output_prefix
                                                                     : file_prefix_) +
                     std::to_string(getpid()) + "-extract-" + std::to_string(index);
          }
          command = ExtractionCommandLine(names.archive, folder + "/");
        }
        struct Scratch {
          std::string folder;
          ~Scratch() {
            std::error_code ignored;
            if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
          }
        } scratch{folder == names.extraction_folder ? std::string() : folder};
        job.output[0] = '\0';
        const std::int32_t status = services_.archive_library.Unlha(
            services_.window, command.c_str(), job.output.data(), kLibraryOutputSize);
        if (status != 0) {
          std::string message = "extraction failed";
          const std::string report = LibraryReport(job.output);
          if (!report.empty()) message += ": " + report;
          throw ArchiveError(names.archive, 0, message);
        }
        CheckStop(names);
        ExportContext context{*job.state, &notifier, {}};
        // Every sheet into the one file, at the archive's place in the list.
        std::optional<CollectionPlace> place;
        if (collection_) context.destination = &place.emplace(*collection_, index);
        context.layer_started = [observer, index, &notifier](std::string_view code) {
          notifier.SetLayer(code);
          if (observer != nullptr) observer->LayerStarted(index, code);
        };
        if (observer != nullptr) {
          // Every sheet's tables of one file are that file's tables.
          const std::string_view file = options_.output_file;
          context.table_written = [observer, index, file](std::string_view output_prefix,
                                                          std::string_view code) {
            observer->TableWritten(index, file.empty() ? output_prefix : file, code);
          };
        }
        context.stop = services_.stop;
        if (observer != nullptr) {
          context.datum_moved = [observer, index](std::string_view operation) {
            observer->DatumMoved(index, operation);
          };
        }
        convert_(ExtractedArchive{names.archive,
                                  folder,
                                  names.base_name,
                                  {names.output_folder, names.base_name, options_.datum, nullptr,
                                   options_.layers}},
                 *options_.format, context);
      } catch (const Interrupted&) {
        throw Interrupted(names.archive, 0, "interrupted; its earlier tables are unchanged");
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
  std::unique_ptr<CollectionOutput> collection_;
  SheetConverter convert_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;
  bool stop_ = false;
  std::set<std::string> active_;  // output prefixes under conversion
  std::vector<std::exception_ptr> errors_;
  std::vector<std::size_t> first_;  // per place: the first place of the same archive
  std::vector<char> finished_;      // per place: 0 not yet, 1 converted, 2 failed
  std::string output_dir_;          // where the outputs go; "" beside each archive
  std::string file_prefix_;         // the one output file without its extension, if any
  BatchResult result_;
};

}  // namespace

void ConvertArchive(const ExtractedArchive& archive, const OutputFormat& format,
                    ExportContext& context) {
  const std::vector<LayerSet> sets = FindLayerSets(archive.folder, archive.base_name);
  if (sets.empty()) throw InputError(archive.archive, 0, "no sheet header (.slm) in the archive");
  for (const LayerSet& set : sets) {
    // One sheet keeps the archive's name; several are named after themselves.
    SheetTarget target = archive.target;
    if (sets.size() > 1) target.sheet = set.name();
    ConvertSheet(set, target, format, context);
  }
}

void CheckBatchOptions(const BatchOptions& options) {
  if (options.format == nullptr) throw std::invalid_argument("no output format chosen");
  if (options.datum.to_jgd2000 && options.datum.label == DatumLabel::kTokyo) {
    throw std::invalid_argument(
        "positions moved onto JGD2000 (--to-jgd2000) are not Tokyo datum (--datum tokyo)");
  }
  if (options.datum.projected_epsg != 0) CheckProjectedCrs(options.datum.projected_epsg);
  if (!options.output_file.empty()) {
    const std::string_view extension = options.format->collection_extension();
    const std::string& file = options.output_file;
    if (extension.empty()) {
      throw std::invalid_argument(std::string(options.format->label()) +
                                  " cannot hold several sheets in one file");
    }
    if (!options.format->NamesCollection(file)) {
      throw std::invalid_argument("the one file for every sheet must end in " +
                                  std::string(extension) + ": " + file);
    }
    if (!options.output_dir.empty()) {
      throw std::invalid_argument("an output folder and one output file exclude each other");
    }
  }
}

BatchResult RunBatch(const BatchOptions& options, const BatchServices& services) {
  CheckBatchOptions(options);
  SheetConverter convert = services.convert_sheet ? services.convert_sheet : ConvertArchive;
  return Batch(options, services, std::move(convert)).Run();
}

}  // namespace quellmark
