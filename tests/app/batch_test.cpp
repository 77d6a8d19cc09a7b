#include "app/batch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/archive_library.h"
#include "app/sheet_lock.h"
#include "support/test_support.h"

namespace quellmark {
namespace {

// Records every command; fails those naming an archive in `failing`.
class FakeLibrary : public ArchiveLibrary {
 public:
  std::int32_t Unlha(void*, const char* command_line, char* output,
                     std::uint32_t output_size) const override {
    std::lock_guard lock(mutex);
    commands.emplace_back(command_line);
    sizes.push_back(output_size);
    for (const auto& archive : failing) {
      if (std::string(command_line).find(" \"" + archive + "\" ") != std::string::npos) {
        std::snprintf(output, output_size, "cannot open %s\n", archive.c_str());
        return 1;
      }
    }
    return 0;
  }
  mutable std::mutex mutex;
  mutable std::vector<std::string> commands;
  mutable std::vector<std::uint32_t> sizes;
  std::set<std::string> failing;
};

// A format the batch only names; the conversion it would run is the test's.
struct NamedFormat : OutputFormat {
  explicit NamedFormat(std::string_view name) : name(name) {}
  std::string_view id() const override { return name; }
  std::string_view label() const override { return name; }
  const GeometryRules& geometry_rules() const override { return rules; }
  std::unique_ptr<SheetOutput> OpenSheet(const SheetTarget&) const override { return nullptr; }
  std::string_view name;
  GeometryRules rules;
};
const NamedFormat kTab("tab");
const NamedFormat kShape("shape");

struct Events : BatchObserver {
  void ArchiveStarted(std::size_t i, const ArchiveNames& n) override {
    log.push_back("start " + std::to_string(i) + " " + n.base_name);
  }
  void LayerStarted(std::size_t i, std::string_view code) override {
    log.push_back("layer " + std::to_string(i) + " " + std::string(code));
  }
  void TableWritten(std::size_t i, std::string_view, std::string_view code) override {
    log.push_back("table " + std::to_string(i) + " " + std::string(code));
  }
  void ArchiveDone(std::size_t i) override { log.push_back("done " + std::to_string(i)); }
  void ArchiveFailed(std::size_t i, const QuellmarkError& e) override {
    log.push_back("failed " + std::to_string(i) + " " + e.file());
  }
  std::vector<std::string> log;
};

class BatchTest : public ::testing::Test {
 protected:
  BatchServices Services() {
    BatchServices s{library, &notifier, &events, nullptr, {}};
    s.convert_sheet = [this](const ExtractedArchive& archive, const OutputFormat& format,
                             ExportContext& ctx) {
      const std::string sheet = archive.folder + "/" + archive.base_name;
      calls.push_back(std::string(format.id()) + " " + sheet + " -> " + archive.target.prefix());
      if (format.id() != "tab") return;
      if (ctx.layer_started) ctx.layer_started("CM");
      if (sheet == throw_for) throw InputError(sheet + ".slm", 0, "cannot open the sheet header");
      if (sheet == throw_std_for) throw std::runtime_error("library trouble");
      if (ctx.table_written) ctx.table_written(archive.target.prefix(), "CM");
    };
    return s;
  }
  FakeLibrary library;
  testing::RecordingNotifier notifier;
  Events events;
  std::vector<std::string> calls;
  std::string throw_for;
  std::string throw_std_for;
};

TEST_F(BatchTest, EmptyListCallsNothing) {
  BatchOptions options;
  options.format = &kTab;
  auto result = RunBatch(options, Services());
  EXPECT_EQ(result.converted, 0u);
  EXPECT_TRUE(library.commands.empty());
  EXPECT_TRUE(calls.empty());
  // Without a format nothing is converted to some other one.
  options.format = nullptr;
  options.archives = {"/m/a.lzh"};
  EXPECT_THROW(RunBatch(options, Services()), std::invalid_argument);
  EXPECT_TRUE(library.commands.empty());
  // Nor into one file by a format that cannot hold several sheets.
  options.format = &kTab;
  options.output_file = "/m/all.gpkg";
  EXPECT_THROW(RunBatch(options, Services()), std::invalid_argument);
  EXPECT_TRUE(library.commands.empty());
}

TEST_F(BatchTest, ExtractsThenConvertsEachArchiveInOrder) {
  BatchOptions options;
  options.format = &kTab;
  // The archive named is the one extracted; one listed twice, by any path,
  // is converted once and its second place gets a notice and its mark.
  options.archives = {"/m/a.lzh", "/m/b.LZH", "/m/x/../a.lzh"};
  auto result = RunBatch(options, Services());
  EXPECT_EQ(result.converted, 2u);
  EXPECT_EQ(library.commands, (std::vector<std::string>{" e -x1 \"/m/a.lzh\" *.* -p2 -y1",
                                                        " e -x1 \"/m/b.LZH\" *.* -p2 -y1"}));
  EXPECT_EQ(library.sizes, (std::vector<std::uint32_t>{6000, 6000}));
  EXPECT_EQ(calls, (std::vector<std::string>{"tab /m/a/a -> /m/a", "tab /m/b/b -> /m/b"}));
  EXPECT_EQ(events.log, (std::vector<std::string>{"start 0 a", "layer 0 CM", "table 0 CM", "done 0",
                                                  "start 1 b", "layer 1 CM", "table 1 CM", "done 1",
                                                  "done 2"}));
  ASSERT_EQ(notifier.notices.size(), 1u);
  EXPECT_EQ(notifier.notices[0].text, "listed more than once; converted once");
  EXPECT_EQ(notifier.notices[0].archive, "/m/x/../a.lzh");

  options.format = &kShape;
  options.archives = {"/m/c.lzh"};
  calls.clear();
  RunBatch(options, Services());
  EXPECT_EQ(calls, std::vector<std::string>{"shape /m/c/c -> /m/c"});
}

TEST_F(BatchTest, AStopEndsTheBatchAndNamesTheArchiveCutShort) {
  std::atomic<bool> stop{false};
  BatchServices services = Services();
  services.stop = &stop;
  services.convert_sheet = [&](const ExtractedArchive& archive, const OutputFormat&,
                               ExportContext& ctx) {
    const std::string sheet = archive.folder + "/" + archive.base_name;
    calls.push_back(sheet);
    if (sheet != "/m/b/b") return;
    stop = true;
    if (ctx.stop != nullptr && ctx.stop->load()) throw Interrupted(sheet + "DK.sal", 7, "stop");
  };
  BatchOptions options;
  options.format = &kTab;
  options.keep_going = true;  // a stop ends the batch all the same
  options.archives = {"/m/a.lzh", "/m/b.lzh", "/m/c.lzh"};
  BatchResult result = RunBatch(options, services);
  EXPECT_TRUE(result.interrupted);
  EXPECT_EQ(result.converted, 1u);
  EXPECT_EQ(result.failed, 1u);
  EXPECT_EQ(calls, (std::vector<std::string>{"/m/a/a", "/m/b/b"}));
  EXPECT_EQ(events.log,
            (std::vector<std::string>{"start 0 a", "done 0", "start 1 b", "failed 1 /m/b.lzh"}));

  // Stopped before it starts, a batch converts nothing.
  calls.clear();
  options.keep_going = false;
  result = RunBatch(options, services);
  EXPECT_TRUE(result.interrupted);
  EXPECT_FALSE(result.stopped_after_outputs);
  EXPECT_TRUE(calls.empty());

  // A stop once the last archive is converted cuts nothing short; one
  // between two archives leaves the second as it was.
  for (const std::string last : {"/m/c/c", "/m/b/b"}) {
    SCOPED_TRACE("stop after " + last);
    stop = false;
    calls.clear();
    services.convert_sheet = [&](const ExtractedArchive& archive, const OutputFormat&,
                                 ExportContext&) {
      calls.push_back(archive.folder + "/" + archive.base_name);
      if (calls.back() == last) stop = true;
    };
    result = RunBatch(options, services);
    const bool all = last == "/m/c/c";
    EXPECT_EQ(result.interrupted, !all);
    EXPECT_EQ(result.stopped_after_outputs, all);
    EXPECT_EQ(result.converted, all ? 3u : 2u);
    EXPECT_EQ(result.failed, 0u);
  }
}

// A collection that stands in for one file holding every sheet: what the
// batch asks of it.
struct FakeCollection : CollectionOutput {
  std::unique_ptr<SheetOutput> OpenSheet(std::size_t, const std::string&) override {
    return nullptr;
  }
  void Settle(std::size_t position, bool keep) override {
    log.push_back("settle " + std::to_string(position) + (keep ? " kept" : " left out"));
    if (settled) settled(position);
  }
  bool failed() const override { return false; }
  void Commit() override {
    log.push_back("commit");
    if (commit) commit();
  }
  std::vector<std::string>& log;
  std::function<void(std::size_t)> settled;
  std::function<void()> commit;
  explicit FakeCollection(std::vector<std::string>& log) : log(log) {}
};

struct CollectingFormat : NamedFormat {
  CollectingFormat() : NamedFormat("gpkg") {}
  std::string_view collection_extension() const override { return ".gpkg"; }
  std::unique_ptr<CollectionOutput> OpenCollection(const CollectionRequest&) const override {
    auto collection = std::make_unique<FakeCollection>(log);
    collection->settled = settled;
    collection->commit = commit;
    return collection;
  }
  mutable std::vector<std::string> log;
  std::function<void(std::size_t)> settled;
  std::function<void()> commit;
};

// The one file is completed and put in place only when no stop came
// first: a stop once every archive is settled leaves it, as does a
// completion that ends Interrupted (reported as a stop, not an error); one
// that comes while the file is put in place cut nothing short. A stop while
// waiting for another run writing the file ends the batch without error.
TEST_F(BatchTest, AStopLeavesTheOneFileUnlessItCameOnceTheFileWasInPlace) {
  std::atomic<bool> stop{false};
  CollectingFormat format;
  BatchServices services = Services();
  services.stop = &stop;
  services.convert_sheet = [](const ExtractedArchive&, const OutputFormat&, ExportContext&) {};
  testing::TempDir dir;
  BatchOptions options;
  options.format = &format;
  options.output_file = (dir.path() / "all.gpkg").string();
  options.archives = {"/m/a.lzh", "/m/b.lzh"};
  struct Case {
    const char* what;
    std::function<void(std::size_t)> settled;
    std::function<void()> commit;
    bool interrupted;
    std::vector<std::string> log;
  } cases[] = {
      {"stop once every archive is settled",
       [&](std::size_t p) { stop = p == 1; },
       {},
       true,
       {"settle 0 kept", "settle 1 kept"}},
      {"completion interrupted",
       {},
       [&] {
         stop = true;
         throw Interrupted("all.gpkg", 0, "x");
       },
       true,
       {"settle 0 kept", "settle 1 kept", "commit"}},
      {"stop once the file is in place",
       {},
       [&] { stop = true; },
       false,
       {"settle 0 kept", "settle 1 kept", "commit"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    stop = false;
    format.log.clear();
    format.settled = c.settled;
    format.commit = c.commit;
    BatchResult result;
    ASSERT_NO_THROW(result = RunBatch(options, services));
    EXPECT_EQ(result.interrupted, c.interrupted);
    EXPECT_EQ(result.stopped_after_outputs, !c.interrupted);
    EXPECT_EQ(format.log, c.log);
  }

  // Another run holds the file; the stop comes while this one waits.
  stop = false;
  format.log.clear();
  const auto other = SheetLock::Acquire(options.output_file, options.output_file, {}, nullptr);
  ASSERT_NE(other, nullptr);
  struct StopOnNotice : Notifier {
    std::atomic<bool>& stop;
    explicit StopOnNotice(std::atomic<bool>& s) : stop(s) {}
    void Notify(const Notice&) override { stop = true; }
  } stop_on_notice(stop);
  services.notifier = &stop_on_notice;
  BatchResult result;
  ASSERT_NO_THROW(result = RunBatch(options, services));
  EXPECT_TRUE(result.interrupted);
  EXPECT_TRUE(format.log.empty());
}

TEST_F(BatchTest, FailedExtractionEndsTheBatchAtThatArchive) {
  library.failing = {"/m/b.lzh"};
  BatchOptions options;
  options.format = &kTab;
  options.archives = {"/m/a.lzh", "/m/b.lzh", "/m/c.lzh"};
  try {
    RunBatch(options, Services());
    FAIL() << "no error";
  } catch (const ArchiveError& e) {
    EXPECT_EQ(e.file(), "/m/b.lzh");
    EXPECT_EQ(std::string(e.what()), "/m/b.lzh: extraction failed: cannot open /m/b.lzh");
  }
  EXPECT_EQ(calls, std::vector<std::string>{"tab /m/a/a -> /m/a"});
  EXPECT_EQ(events.log, (std::vector<std::string>{"start 0 a", "layer 0 CM", "table 0 CM", "done 0",
                                                  "start 1 b"}));
}

TEST_F(BatchTest, ConversionErrorsEndTheBatchOrAreSkippedWithKeepGoing) {
  throw_for = "/m/b/b";
  BatchOptions options;
  options.format = &kTab;
  options.archives = {"/m/a.lzh", "/m/b.lzh", "/m/c.lzh"};
  EXPECT_THROW(RunBatch(options, Services()), InputError);
  EXPECT_EQ(calls.size(), 2u);

  calls.clear();
  events.log.clear();
  options.keep_going = true;
  library.failing = {"/m/a.lzh"};
  auto result = RunBatch(options, Services());
  EXPECT_EQ(result.converted, 1u);
  EXPECT_EQ(result.failed, 2u);
  EXPECT_EQ(events.log, (std::vector<std::string>{"start 0 a", "failed 0 /m/a.lzh", "start 1 b",
                                                  "layer 1 CM", "failed 1 /m/b/b.slm", "start 2 c",
                                                  "layer 2 CM", "table 2 CM", "done 2"}));

  // Errors that are not the system's own still name the archive.
  throw_std_for = "/m/c/c";
  options.keep_going = false;
  library.failing.clear();
  throw_for.clear();
  options.archives = {"/m/c.lzh"};
  try {
    RunBatch(options, Services());
    FAIL() << "no error";
  } catch (const QuellmarkError& e) {
    EXPECT_EQ(std::string(e.what()), "/m/c.lzh: library trouble");
  }
}

}  // namespace
}  // namespace quellmark

namespace quellmark {
namespace {

TEST(ParallelBatch, ConvertsEveryArchiveOnceAndNeverTheSameOneTwiceAtOnce) {
  FakeLibrary library;
  testing::RecordingNotifier notifier;
  std::mutex mutex;
  std::set<std::string> running;
  std::vector<std::string> converted;
  bool overlap = false;
  SheetConverter convert = [&](const ExtractedArchive& archive, const OutputFormat&,
                               ExportContext& ctx) {
    const std::string sheet = archive.folder + "/" + archive.base_name;
    {
      std::lock_guard lock(mutex);
      if (!running.insert(sheet).second) overlap = true;
    }
    ctx.layer_started("DK");
    Reporter reporter(ctx.notifier);
    reporter.Report("over scoordnum");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard lock(mutex);
    running.erase(sheet);
    converted.push_back(sheet);
  };
  BatchServices services{library, &notifier, nullptr, nullptr, convert};
  BatchOptions options;
  options.format = &kTab;
  options.jobs = 3;
  // a.lzh and a.LZH are two archives with the same outputs.
  options.archives = {"/m/a.lzh", "/m/a.LZH", "/m/b.lzh", "/m/c.lzh", "/m/a.lzh", "/m/d.lzh"};
  auto result = RunBatch(options, services);
  EXPECT_EQ(result.converted, 5u);
  EXPECT_FALSE(overlap);
  std::multiset<std::string> got(converted.begin(), converted.end());
  EXPECT_EQ(got.count("/m/a/a"), 2u);
  EXPECT_EQ(got.size(), 5u);
  ASSERT_EQ(notifier.notices.size(), 6u);
  for (const auto& n : notifier.notices) {
    EXPECT_EQ(n.archive.rfind("/m/", 0), 0u);
    if (n.text != "listed more than once; converted once") {
      EXPECT_EQ(n.layer, "DK");
    }
  }
}

TEST(ParallelBatch, FirstFailureInListOrderEndsTheBatch) {
  FakeLibrary library;
  library.failing = {"/m/b.lzh", "/m/d.lzh"};
  BatchServices services{library, nullptr, nullptr, nullptr,
                         [](const ExtractedArchive&, const OutputFormat&, ExportContext&) {}};
  BatchOptions options;
  options.format = &kTab;
  options.jobs = 2;
  options.archives = {"/m/a.lzh", "/m/b.lzh", "/m/c.lzh", "/m/d.lzh", "/m/e.lzh"};
  try {
    RunBatch(options, services);
    FAIL() << "no error";
  } catch (const ArchiveError& e) {
    EXPECT_EQ(e.file(), "/m/b.lzh");
  }
  options.keep_going = true;
  auto result = RunBatch(options, services);
  EXPECT_EQ(result.converted, 3u);
  EXPECT_EQ(result.failed, 2u);
}

}  // namespace
}  // namespace quellmark
