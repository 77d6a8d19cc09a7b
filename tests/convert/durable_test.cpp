// Putting outputs on disk: a failure names what the user knows, the final
// name of a staged file (the first in order of several) or the folder, and a
// bare name's folder is the current one.
#include "convert/durable.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "sal/errors.h"
#include "support/test_support.h"

namespace quellmark {
namespace {

TEST(Durable, FlushesAndNamesWhatFailedAsTheUserKnowsIt) {
  testing::TempDir dir;
  testing::WriteFile(dir / "a.shp", "whole");
  struct Case {
    const char* what;
    std::function<void()> flush;
    std::string named;  // in the error; empty: no error
  } cases[] = {
      {"a file", [&dir] { FlushFile(dir / "a.shp", dir / "b.shp"); }, ""},
      {"a staged file that is gone", [&dir] { FlushFile(dir / ".staging/b.shp", dir / "b.shp"); },
       dir / "b.shp"},
      {"the folder of a file", [&dir] { FlushFolderOf(dir / "b.shp"); }, ""},
      {"several files, two of them gone",
       [&dir] {
         const FileToFlush files[] = {{dir / "a.shp", dir / "a.shp"},
                                      {dir / ".staging/b.dbf", dir / "b.dbf"},
                                      {dir / ".staging/b.shp", dir / "b.shp"}};
         FlushFiles(files);
       },
       dir / "b.dbf"},
      {"a missing folder", [&dir] { FlushFolderOf(dir / "gone/b.shp"); }, dir / "gone"},
      {"the folder of a bare name", [] { FlushFolderOf("b.shp"); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      c.flush();
      EXPECT_EQ(c.named, "") << "no error";
    } catch (const OutputError& error) {
      EXPECT_EQ(error.file(), c.named) << error.what();
      EXPECT_NE(std::string(error.what()).find(std::strerror(ENOENT)), std::string::npos)
          << error.what();
    }
  }
}

}  // namespace
}  // namespace quellmark
