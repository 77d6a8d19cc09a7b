#include "convert/buffered_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>

#include "support/test_support.h"

namespace quellmark {
namespace {

constexpr std::size_t kBuffer = BufferedFile::kBufferSize;

// Random writes, seeks and reads, mostly the way the output libraries move
// (records at the end, a mark overwritten, headers rewritten at the start),
// some far away or larger than the buffer; every read and the finished file
// must match a plain in-memory model of the file.
TEST(BufferedFile, ReadsAndTheFinishedFileHoldWhatWasWritten) {
  testing::TempDir dir;
  const std::string path = dir / "out.bin";
  testing::WriteFile(path, "existing content");
  auto file = BufferedFile::Open(path, "r+b");
  ASSERT_NE(file, nullptr);
  std::string model = "existing content";
  std::uint64_t position = 0;
  std::mt19937 random(7);
  auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };

  for (int step = 0; step < 4000; ++step) {
    switch (pick(6)) {
      case 0:  // to the end, or just before it
        position = model.size() - std::min<std::size_t>(model.size(), pick(2));
        ASSERT_TRUE(file->Seek(
            static_cast<std::int64_t>(position) - static_cast<std::int64_t>(model.size()),
            SEEK_END));
        break;
      case 1:  // back to the start, or anywhere
        position = pick(2) == 0 ? 0 : pick(model.size() + kBuffer);
        ASSERT_TRUE(file->Seek(static_cast<std::int64_t>(position), SEEK_SET));
        break;
      case 2: {  // a read, within or across what was written
        const std::size_t size = pick(3) == 0 ? pick(kBuffer) : pick(200);
        std::string got(size, '?');
        const std::size_t n = file->Read(got.data(), size);
        const std::string expected = position < model.size() ? model.substr(position, size) : "";
        ASSERT_EQ(got.substr(0, n), expected) << "step " << step;
        position += n;
        ASSERT_EQ(file->Tell(), position);
        break;
      }
      default: {  // a write, now and then larger than the buffer
        const std::size_t size = pick(40) == 0 ? kBuffer + pick(kBuffer) : 1 + pick(300);
        std::string bytes(size, static_cast<char>('a' + step % 26));
        ASSERT_EQ(file->Write(bytes.data(), size), size);
        if (position > model.size()) model.resize(position, '\0');
        model.replace(position, std::min(size, model.size() - position), bytes);
        position += size;
        ASSERT_EQ(file->Tell(), position);
        ASSERT_EQ(file->Size(), model.size());
        break;
      }
    }
  }
  ASSERT_TRUE(file->Close());
  EXPECT_EQ(testing::ReadFile(path), model);
}

TEST(BufferedFile, OpenModesCreateTruncateAndAppend) {
  testing::TempDir dir;
  const std::string path = dir / "f.txt";
  errno = 0;
  EXPECT_EQ(BufferedFile::Open(path, "rb"), nullptr);
  EXPECT_EQ(errno, ENOENT);

  auto created = BufferedFile::Open(path, "wb");
  ASSERT_NE(created, nullptr);
  created->Write("header", 6);
  ASSERT_TRUE(created->Close());

  auto appended = BufferedFile::Open(path, "ab");
  ASSERT_NE(appended, nullptr);
  appended->Seek(0, SEEK_SET);  // appending writes at the end wherever it stands
  appended->Write("+tail", 5);
  ASSERT_TRUE(appended->Close());
  EXPECT_EQ(testing::ReadFile(path), "header+tail");

  auto truncated = BufferedFile::Open(path, "wb+");
  ASSERT_NE(truncated, nullptr);
  EXPECT_EQ(truncated->Size(), 0u);
  ASSERT_TRUE(truncated->Close());
  EXPECT_EQ(testing::ReadFile(path), "");
}

// A write that fails only when the buffer reaches the disk is still
// reported: by the writes after it, and by Close, with the system's reason.
TEST(BufferedFile, AWriteThatFailsLaterIsReported) {
  auto file = BufferedFile::Open("/dev/full", "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Write("record", 6), 6u);  // still in the buffer
  EXPECT_FALSE(file->Flush());
  EXPECT_EQ(file->error(), ENOSPC);
  EXPECT_EQ(file->Write("more", 4), 0u);
  errno = 0;
  EXPECT_FALSE(file->Close());
  EXPECT_EQ(errno, ENOSPC);

  auto unflushed = BufferedFile::Open("/dev/full", "wb");
  ASSERT_NE(unflushed, nullptr);
  EXPECT_EQ(unflushed->Write("record", 6), 6u);
  errno = 0;
  EXPECT_FALSE(unflushed->Close());
  EXPECT_EQ(errno, ENOSPC);
}

}  // namespace
}  // namespace quellmark
