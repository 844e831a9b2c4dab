// The download file on its own, on real files in a scratch folder: which
// record an earlier run left counts, a new file leaves an older one alone
// until it takes its name, the steps that end a download, and a reply's
// bytes written into it or compared with it.
#include "download/download_file.h"

#include <gtest/gtest.h>

#include "download/body_writer.h"

#include <filesystem>
#include <fstream>
#include <vector>

namespace wuqu::download {
namespace {

class DownloadFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "wuqu-df-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    target_ = dir_ + "/track.mp4";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static ResumeRecord Record(const std::string& source, std::uint64_t size) {
    ResumeRecord r;
    r.source = source;
    r.size = size;
    r.etag = "\"v1\"";
    return r;
  }
  // A file of 10 bytes with its first 4 written and a record claiming them.
  void Unfinished() {
    DownloadFile file(target_, disk_);
    ASSERT_TRUE(file.Create(10, Record("src", 10)));
    ASSERT_TRUE(file.Write("abcd", 4, 0));
    ResumeRecord r = Record("src", 10);
    r.done = {{0, 4}};
    ASSERT_TRUE(file.SaveRecord(r));
  }

  std::string dir_, target_;
  DiskSteps disk_;
};

TEST_F(DownloadFileTest, OnlyTheRecordOfTheSameSourceAndTheVeryFileCounts) {
  struct Case {
    const char* name;
    std::string source;
    bool replace_file;
    bool found;
  };
  const Case cases[] = {
      {"the same source and file", "src", false, true},
      {"another source", "other", false, false},
      {"the file replaced by another of the same size", "src", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unfinished();
    if (c.replace_file) {
      // Made while the old one still exists, so it cannot reuse its inode.
      std::ofstream(target_ + ".other", std::ios::binary) << "0123456789";
      std::filesystem::rename(target_ + ".other", target_);
    }
    DownloadFile file(target_, disk_);
    const auto record = file.FindRecord(c.source);
    ASSERT_EQ(record.has_value(), c.found);
    if (!record) continue;
    EXPECT_EQ(record->done, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 4}}));
    file.UseRecordedFile(*record);
    ASSERT_TRUE(file.Write("efghij", 6, 4));
    ASSERT_TRUE(file.FinishInPlace());
    EXPECT_EQ(Read(target_), "abcdefghij");
    EXPECT_FALSE(std::filesystem::exists(ResumeRecordPath(target_)));
  }
}

TEST_F(DownloadFileTest, ANewFileLeavesAnOlderOneAloneUntilItTakesItsName) {
  std::ofstream(target_, std::ios::binary) << "the older file";
  {
    DownloadFile file(target_, disk_);
    // A folder where the new file would be made: making it fails.
    std::filesystem::create_directory(NewFilePath(target_));
    std::filesystem::create_directory(NewFilePath(target_) + "/x");
    EXPECT_FALSE(file.Create(5, Record("src", 5)));
    EXPECT_EQ(Read(target_), "the older file");
    std::filesystem::remove_all(NewFilePath(target_));
    ASSERT_TRUE(file.Create(5, Record("src", 5)));
    EXPECT_EQ(std::filesystem::file_size(target_), 5u);
    const auto record = LoadResumeRecord(ResumeRecordPath(target_));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->DoneBytes(), 0u);
  }
  EXPECT_FALSE(std::filesystem::exists(NewFilePath(target_)));
}

TEST_F(DownloadFileTest, ASideFileTakesTheTargetsNameOnlyWhenFinished) {
  std::ofstream(target_, std::ios::binary) << "the older file";
  DownloadFile file(target_, disk_);
  ASSERT_TRUE(file.CreateSide());
  ASSERT_TRUE(file.Write("new bytes", 9, 0));
  EXPECT_EQ(Read(target_), "the older file");
  ASSERT_TRUE(file.FinishSide());
  EXPECT_EQ(Read(target_), "new bytes");
  EXPECT_FALSE(std::filesystem::exists(SideFilePath(target_)));

  DownloadFile other(target_, disk_);
  ASSERT_TRUE(other.CreateSide());
  other.Close();
  other.DiscardSide();
  EXPECT_FALSE(std::filesystem::exists(SideFilePath(target_)));
  EXPECT_EQ(Read(target_), "new bytes");
}

// Bytes arriving for a stretch the file already holds are compared chunk by
// chunk at their own offset: a difference in any chunk, not only the first,
// is seen, and so is a stretch past the file's end.
TEST_F(DownloadFileTest, ABodyWriterWritesAtTheOffsetAndComparesEveryChunk) {
  constexpr std::size_t kChunk = BodyWriter::kCompareChunk;
  const std::uint64_t size = 3 * kChunk + 100;
  std::vector<char> bytes(size);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  DownloadFile file(target_, disk_);
  ASSERT_TRUE(file.Create(size, Record("src", size)));
  BodyWriter writer;
  // Written in two stretches, the later one first.
  ASSERT_TRUE(writer.Write(file, bytes.data() + 1000, size - 1000, 1000));
  ASSERT_TRUE(writer.Write(file, bytes.data(), 1000, 0));
  EXPECT_EQ(Read(target_), std::string(bytes.begin(), bytes.end()));

  struct Case {
    const char* name;
    std::uint64_t offset, n;
    std::int64_t changed = -1;  // the byte of the arriving stretch made different
    bool same;
  };
  const Case cases[] = {
      {"all of it", 0, size, -1, true},
      {"a stretch across chunks at an odd offset", 777, 2 * kChunk + 5, -1, true},
      {"a difference in the first chunk", 0, size, 10, false},
      {"a difference in the last chunk", 0, size, static_cast<std::int64_t>(size - 1), false},
      {"a difference one past a chunk", 777, 2 * kChunk + 5, static_cast<std::int64_t>(kChunk),
       false},
      {"past the file's end", size - 10, 20, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> arriving(c.n, 0);
    for (std::uint64_t i = 0; i < c.n && c.offset + i < size; ++i)
      arriving[i] = bytes[c.offset + i];
    if (c.changed >= 0) arriving[static_cast<std::size_t>(c.changed)] ^= 0x5a;
    EXPECT_EQ(writer.Same(file, arriving.data(), c.n, c.offset), c.same);
  }
}

}  // namespace
}  // namespace wuqu::download
