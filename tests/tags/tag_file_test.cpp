// The tag step on real MP4 files, read back by ffprobe: what it writes, that
// the samples stay, what a crash at each step leaves, and the files it must
// leave alone.
#include "tags/tag_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tags/mp4_layout.h"
#include "tags/tag_testing.h"
#include "text/codepage.h"
#include "text/readable_title.h"

namespace wuqu::tags {
namespace {

using namespace testing;
namespace fs = std::filesystem;

class TagFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wuqu-tags-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Make(Shape shape, const std::string& name, const std::string& metadata = "") {
    const std::string path = dir_ + "/" + name;
    EXPECT_TRUE(MakeTrack(shape, path, 1, metadata)) << "ffmpeg could not make " << name;
    return path;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    return names;
  }

  std::string dir_;
};

TrackTags TagsOf(std::string_view title_cell_utf8) {
  return {ReadableTitle(Utf8ToLocalText(title_cell_utf8)), Utf8ToLocalText("中文舞曲"),
          "http://127.0.0.1:8077/m/216717/"};
}

TEST_F(TagFileTest, WritesTitleAlbumAndCommentAndLeavesTheSamples) {
  std::string long_title;
  for (int i = 0; i < 200; ++i) long_title += "舞";
  struct Case {
    Shape shape;
    std::string cell;      // the title cell as the page gives it (UTF-8 here)
    std::string title;     // what a second reader finds in the file
    std::string metadata;  // tags the file held before, by ffmpeg
  };
  const Case cases[] = {
      {Shape::kFaststart, "<b>新</b> DJ北川 &amp; DJ小满", "新 DJ北川 & DJ小满", ""},
      {Shape::kMoovAtEnd, "<b>新</b> DJ北川 &amp; DJ小满", "新 DJ北川 & DJ小满", ""},
      {Shape::kFaststart, "DJ&#20025; &quot;丂亐囧&quot; 說", "DJ丹 \"丂亐囧\" 說", ""},
      {Shape::kMoovAtEnd, long_title, long_title, ""},
      {Shape::kFaststart, long_title, long_title, ""},
      // Tagged before by another program: ours replace its three fields.
      {Shape::kFaststart, "新曲", "新曲", "-metadata title=Old -metadata comment=old -metadata artist=Keep"},
      {Shape::kMoovAtEnd, "新曲", "新曲", "-metadata title=Old -metadata album=Old"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("case " + std::to_string(n) + ": " + c.cell.substr(0, 60));
    const std::string path = Make(c.shape, "t" + std::to_string(n++) + ".mp4", c.metadata);
    const std::string packets = AudioPackets(path);
    ASSERT_FALSE(packets.empty());
    const TagResult result = TagFile(path, TagsOf(c.cell));
    EXPECT_EQ(result.outcome, TagOutcome::kTagged);
    EXPECT_EQ(result.size, static_cast<std::int64_t>(fs::file_size(path)));
    const auto tags = ProbeTags(path);
    EXPECT_EQ(tags.count("title") ? tags.at("title") : "", c.title);
    EXPECT_EQ(tags.count("album") ? tags.at("album") : "", "中文舞曲");
    EXPECT_EQ(tags.count("comment") ? tags.at("comment") : "", "http://127.0.0.1:8077/m/216717/");
    if (c.metadata.find("artist") != std::string::npos) {
      EXPECT_EQ(tags.count("artist") ? tags.at("artist") : "", "Keep");
    }
    EXPECT_EQ(AudioPackets(path), packets) << "the audio changed";
    EXPECT_FALSE(Exists(TaggingCopyOf(path)));
  }
}

TEST_F(TagFileTest, AFileThatHoldsTheTagsAlreadyIsNotWrittenAgain) {
  const std::string path = Make(Shape::kFaststart, "t.mp4");
  const TrackTags tags = TagsOf("<b>新</b> DJ北川 &amp; DJ小满");
  ASSERT_EQ(TagFile(path, tags).outcome, TagOutcome::kTagged);
  const std::string tagged = Bytes(path);
  const auto inode = fs::status(path);
  const auto written = fs::last_write_time(path);
  const TagResult again = TagFile(path, tags);
  EXPECT_EQ(again, (TagResult{TagOutcome::kAlreadyTagged, static_cast<std::int64_t>(tagged.size())}));
  EXPECT_TRUE(Bytes(path) == tagged) << "written again";
  EXPECT_EQ(fs::last_write_time(path), written);
  EXPECT_TRUE(CarriesTags(path, tags));
  // Another title is another set of tags: written, not taken for ours.
  TrackTags other = tags;
  other.title = "other";
  EXPECT_FALSE(CarriesTags(path, other));
}

TEST_F(TagFileTest, TheMediaDataIsByteIdenticalAndItsOffsetsFollowIt) {
  for (const Shape shape : {Shape::kFaststart, Shape::kMoovAtEnd}) {
    const std::string path = Make(shape, shape == Shape::kFaststart ? "f.mp4" : "e.mp4");
    const std::string before = Bytes(path);
    ASSERT_EQ(TagFile(path, TagsOf("舞池心动")).outcome, TagOutcome::kTagged);
    const std::string after = Bytes(path);
    const auto a = ReadMp4Layout(MemorySource(before));
    const auto b = ReadMp4Layout(MemorySource(after));
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->media.size(), 1u);
    ASSERT_EQ(b->media.size(), 1u);
    EXPECT_TRUE(before.substr(a->media[0].offset, a->media[0].size) ==
                after.substr(b->media[0].offset, b->media[0].size));
    EXPECT_NE(before.size(), after.size());
  }
}

// A crash right after each step, in a process of its own: the file is the
// untagged one or the tagged one, a playable file either way; a copy left
// behind goes at the next start, which then tags a file that is not tagged
// and does not tag again one that is.
TEST_F(TagFileTest, ACrashAtEachStepLeavesTheFileWholeUntaggedOrTagged) {
  struct Case {
    TagStep crash_after;
    bool tagged;      // what the file is after the crash
    bool copy_left;   // a stray copy is there
    bool power_cut;   // the unflushed copy is cut short as a power cut would
  };
  const Case cases[] = {
      {TagStep::kCopyTagged, false, true, false},
      {TagStep::kCopyTagged, false, true, true},
      {TagStep::kCopyFlushed, false, true, false},
      {TagStep::kRenamed, true, false, false},
      {TagStep::kFolderFlushed, true, false, false},
  };
  const TrackTags tags = TagsOf("<b>新</b> DJ北川");
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("crash after step " + std::to_string(static_cast<int>(c.crash_after)));
    const Shape shape = n % 2 ? Shape::kMoovAtEnd : Shape::kFaststart;
    const std::string path = Make(shape, "c" + std::to_string(n++) + ".mp4");
    const std::string original = Bytes(path);
    const std::string packets = AudioPackets(path);
    const pid_t child = ::fork();
    if (child == 0) {
      TagFile(path, tags, [&c](TagStep step, const std::string&) {
        if (step == c.crash_after) ::_exit(42);
      });
      ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42);
    EXPECT_EQ(Exists(TaggingCopyOf(path)), c.copy_left);
    if (c.power_cut) {
      const std::string copy = Bytes(TaggingCopyOf(path));
      WriteBytes(TaggingCopyOf(path), copy.substr(0, copy.size() / 2));
    }
    if (c.tagged) {
      EXPECT_EQ(ProbeTags(path)["title"], "新 DJ北川");
      EXPECT_TRUE(CarriesTags(path, tags));
    } else {
      EXPECT_TRUE(Bytes(path) == original) << "changed";
    }
    EXPECT_EQ(AudioPackets(path), packets);
    // The next start.
    EXPECT_EQ(RemoveStrayCopies(dir_), c.copy_left ? 1 : 0);
    EXPECT_FALSE(Exists(TaggingCopyOf(path)));
    EXPECT_EQ(TagFile(path, tags).outcome,
              c.tagged ? TagOutcome::kAlreadyTagged : TagOutcome::kTagged);
    EXPECT_EQ(AudioPackets(path), packets);
  }
}

// A new download of the same file that starts while the copy is tagged
// (the downloader writes the file, or puts a new one in its place): the copy
// does not go over it, and the new bytes stay.
TEST_F(TagFileTest, AFileChangedMeanwhileIsNotReplaced) {
  const std::string path = Make(Shape::kFaststart, "t.mp4");
  const std::string other = Make(Shape::kMoovAtEnd, "other.mp4");
  for (const bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "a new file in its place" : "written in place");
    const std::string fresh = Bytes(other);
    // An hour old: a write now shows in its time, however coarse the clock.
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
    const TagResult r = TagFile(path, TagsOf("新曲"), [&](TagStep step, const std::string&) {
      if (step != TagStep::kCopyFlushed) return;
      if (replaced) {
        fs::copy_file(other, path + ".new");
        fs::rename(path + ".new", path);
      } else {
        std::string bytes = Bytes(path);
        bytes[bytes.size() - 1] ^= 1;
        std::ofstream(path, std::ios::binary | std::ios::in | std::ios::out)
            .seekp(static_cast<std::streamoff>(bytes.size() - 1))
            .put(bytes.back());
      }
    });
    EXPECT_EQ(r.outcome, TagOutcome::kFailed);
    if (replaced) {
      EXPECT_TRUE(Bytes(path) == fresh);
    }
    EXPECT_TRUE(ProbeTags(path).count("title") == 0);
    EXPECT_FALSE(Exists(TaggingCopyOf(path)));
  }
}

// A full disk, as a file size limit makes it: while the copy is made, and
// when TagLib grows it. The file stays as it was and no copy is left.
TEST_F(TagFileTest, AFullDiskLeavesTheFileAsItWas) {
  const std::string path = Make(Shape::kFaststart, "full.mp4");
  const std::string original = Bytes(path);
  for (const rlim_t limit : {static_cast<rlim_t>(original.size() / 2), static_cast<rlim_t>(original.size())}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    const pid_t child = ::fork();
    if (child == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit l{limit, limit};
      ::setrlimit(RLIMIT_FSIZE, &l);
      const TagResult r = TagFile(path, TagsOf("新曲"));
      ::_exit(r.outcome == TagOutcome::kTagged ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "called tagged";
    EXPECT_TRUE(Bytes(path) == original) << "changed";
    EXPECT_FALSE(Exists(TaggingCopyOf(path)));
  }
}

// Files the server may send that are no whole MP4 file: each is left byte
// for byte as it came, no copy stays, and the next one is tagged as usual.
TEST_F(TagFileTest, LeavesFilesItCannotTakeAsTheyCame) {
  const std::string fast = Bytes(Make(Shape::kFaststart, "fast.src"));
  const std::string end = Bytes(Make(Shape::kMoovAtEnd, "end.src"));
  const std::string fragmented = Bytes(Make(Shape::kFragmented, "frag.src"));
  const auto end_layout = ReadMp4Layout(MemorySource(end));
  ASSERT_TRUE(end_layout);
  // The top-level atom after the movie atom, and the movie atom's first child.
  const std::uint64_t after_moov = 28 + (static_cast<unsigned char>(fast[28]) << 24 |
                                         static_cast<unsigned char>(fast[29]) << 16 |
                                         static_cast<unsigned char>(fast[30]) << 8 |
                                         static_cast<unsigned char>(fast[31]));
  auto with_size = [](std::string bytes, std::size_t at, std::string size) {
    bytes.replace(at, size.size(), size);
    return bytes;
  };
  std::string big64 = fast;
  big64.insert(after_moov, std::string("\0\0\0\1mdat\0\0\0\1\0\0\0\0", 16));
  struct Case {
    std::string why;
    std::string bytes;
  };
  const Case cases[] = {
      {"not MP4: an error page", std::string(2000, 'x').insert(0, "<html>404 Not Found</html>")},
      {"empty", ""},
      {"truncated", fast.substr(0, fast.size() / 2)},
      {"truncated by one byte", fast.substr(0, fast.size() - 1)},
      {"moov missing", end.substr(0, end_layout->media[0].offset + end_layout->media[0].size)},
      {"an atom claiming 4 GiB", with_size(fast, after_moov, std::string("\xFF\xFF\xFF\xFF", 4))},
      {"a 64-bit atom claiming 4 GiB", big64},
      {"a child of moov claiming 4 GiB", with_size(fast, 36, std::string("\xFF\xFF\xFF\xF0", 4))},
      {"an atom of size 0", with_size(fast, after_moov, std::string("\0\0\0\0", 4))},
      {"fragmented", fragmented},
      {"two movie atoms", fast + fast.substr(28, after_moov - 28)},
      {"chunks outside the media", with_size(fast, fast.find("stco") + 12, std::string("\x7F\0\0\0", 4))},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string path = dir_ + "/h" + std::to_string(n++) + ".mp4";
    WriteBytes(path, c.bytes);
    const TagResult r = TagFile(path, TagsOf("新曲"));
    EXPECT_EQ(r, (TagResult{TagOutcome::kNotMp4, static_cast<std::int64_t>(c.bytes.size())}));
    EXPECT_TRUE(Bytes(path) == c.bytes) << "changed";
    EXPECT_FALSE(Exists(TaggingCopyOf(path)));
  }
  // The program carries on.
  const std::string path = Make(Shape::kFaststart, "after.mp4");
  EXPECT_EQ(TagFile(path, TagsOf("新曲")).outcome, TagOutcome::kTagged);
}

TEST_F(TagFileTest, AFileThatIsGoneFails) {
  EXPECT_EQ(TagFile(dir_ + "/none.mp4", TagsOf("x")).outcome, TagOutcome::kFailed);
  EXPECT_TRUE(Names().empty());
}

TEST_F(TagFileTest, RemovesOnlyItsOwnCopies) {
  for (const char* name : {"a.mp4.wuqu-tagging", "b.mp4", "b.mp4.wuqu-resume", ".wuqu-tagging",
                           "c.wuqu-tagging.mp4"}) {
    WriteBytes(dir_ + "/" + name, "x");
  }
  EXPECT_EQ(RemoveStrayCopies(dir_), 1);
  auto names = Names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".wuqu-tagging", "b.mp4", "b.mp4.wuqu-resume",
                                             "c.wuqu-tagging.mp4"}));
}

}  // namespace
}  // namespace wuqu::tags

namespace wuqu::tags {
namespace {

using namespace std::string_literals;

std::string Be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
std::string AtomOf(const char* type, const std::string& payload) {
  return Be32(static_cast<std::uint32_t>(payload.size() + 8)) + type + payload;
}

// Shapes a hostile server could make to cost the checks before TagLib
// unbounded time: chunks by the million against thousands of media atoms are
// placed by a search, not a scan; atoms at the top beyond any real file's
// count are refused.
TEST(Mp4LayoutTest, StaysBoundedOnManyChunksAndAtoms) {
  constexpr std::uint32_t kMedia = 4000;
  constexpr std::uint32_t kChunks = 3'000'000;
  const std::string ftyp = AtomOf("ftyp", "isom\0\0\0\0"s);
  std::string table = Be32(0) + Be32(kChunks);
  // Every chunk in the last media atom, after the movie atom.
  const std::uint64_t moov_size = 8 + 8 + 8 + 4ull * kChunks;
  const std::uint64_t last_media = ftyp.size() + moov_size + 16ull * (kMedia - 1) + 8;
  for (std::uint32_t i = 0; i < kChunks; ++i) table += Be32(static_cast<std::uint32_t>(last_media));
  std::string file = ftyp + AtomOf("moov", AtomOf("stco", table));
  ASSERT_EQ(file.size(), ftyp.size() + moov_size);
  for (std::uint32_t i = 0; i < kMedia; ++i) file += AtomOf("mdat", "12345678");
  const MemorySource source(file);
  const auto layout = ReadMp4Layout(source);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->media.size(), kMedia);
  EXPECT_EQ(layout->chunk_offsets.size(), kChunks);
  EXPECT_TRUE(SameSamples(source, *layout, source, *layout));

  std::string crowded = ftyp + AtomOf("moov", "") + AtomOf("mdat", "x");
  for (int i = 0; i < kMaxTopAtoms; ++i) crowded += AtomOf("free", "");
  EXPECT_FALSE(ReadMp4Layout(MemorySource(crowded)));
}

}  // namespace
}  // namespace wuqu::tags
