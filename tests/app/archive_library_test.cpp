#include "app/archive_library.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "support/test_support.h"

namespace quellmark {
namespace {

TEST(Unlha32Binding, MissingLibraryLeavesEveryEntryPointOnTheFallback) {
  testing::RecordingNotifier notifier;
  Unlha32 library(&notifier, "libquellmark-no-such-library.so");
  EXPECT_FALSE(library.loaded());
  EXPECT_TRUE(notifier.notices.empty());  // nothing is said at load time
  for (const char* name : Unlha32::kEntryPointNames) EXPECT_FALSE(library.bound(name)) << name;

  // Unlha's box, then a failure: nothing was extracted, so nothing the
  // extraction folder holds is the archive's. The report, cut to the
  // buffer's size, says why.
  char output[41];
  std::memset(output, 'x', sizeof output);
  EXPECT_NE(library.Unlha(nullptr, " e -x1 x *.* -p2 -y1", output, 40), 0);
  ASSERT_EQ(notifier.notices.size(), 1u);
  EXPECT_EQ(notifier.notices[0].caption, "PANIC!!");
  EXPECT_EQ(notifier.notices[0].text, "Unlha: LHA.DLL not loaded.");
  EXPECT_EQ(std::string(output, strnlen(output, sizeof output)),
            "the archive library is not loaded: libq");
  EXPECT_EQ(output[40], 'x');
  EXPECT_NE(library.Unlha(nullptr, " e -x1 x *.* -p2 -y1", nullptr, 0), 0);

  EXPECT_EQ(library.NotLoaded("UnlhaGetVersion"), 0);
  EXPECT_EQ(notifier.notices.back().text, "UnlhaGetVersion: LHA.DLL not loaded.");
}

TEST(Unlha32Binding, EntryPointNamesAreDistinct) {
  std::set<std::string> names(Unlha32::kEntryPointNames.begin(), Unlha32::kEntryPointNames.end());
  EXPECT_EQ(names.size(), 43u);
  EXPECT_EQ(std::string(Unlha32::kEntryPointNames[9]), "Unlha");
}

#ifdef QUELLMARK_UNLHA32_PATH
TEST(Unlha32Binding, OurLibraryBindsUnlhaAndLeavesTheRestOnTheFallback) {
  testing::RecordingNotifier notifier;
  Unlha32 library(&notifier, QUELLMARK_UNLHA32_PATH);
  ASSERT_TRUE(library.loaded()) << library.load_error();
  EXPECT_TRUE(library.bound("Unlha"));
  EXPECT_FALSE(library.bound("UnlhaFindFirst"));

  testing::TempDir dir;
  char output[6001] = {};
  // A missing archive: the library reports failure, the binding passes it on.
  const std::string command = " e -x1 " + (dir / "missing") + " *.* -p2 -y1";
  EXPECT_NE(library.Unlha(nullptr, command.c_str(), output, 6000), 0);
  EXPECT_TRUE(notifier.notices.empty());
}
#endif

}  // namespace
}  // namespace quellmark
