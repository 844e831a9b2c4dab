#include "tags/tag_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <taglib/mp4file.h>
#include <taglib/tdebuglistener.h>
#include <taglib/tfilestream.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

#include "download/disk_steps.h"
#include "tags/mp4_layout.h"
#include "text/codepage.h"

namespace wuqu::tags {
namespace {

// TagLib's own words on a damaged file would reach the terminal.
class QuietTagLib final : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String&) override {}
};

void SilenceTagLib() {
  static QuietTagLib quiet;
  static std::once_flag once;
  std::call_once(once, [] { TagLib::setDebugListener(&quiet); });
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  bool Close() {
    if (fd_ < 0) return true;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return closed;
  }

 private:
  int fd_;
};

TagLib::String Unicode(const Text& local) {
  return TagLib::String(LocalTextToUtf8(local), TagLib::String::UTF8);
}

// The fields of `tags` that are set, each as the file should hold it.
struct Wanted {
  std::optional<TagLib::String> title, album, comment;
};
Wanted WantedOf(const TrackTags& tags) {
  Wanted w;
  if (!tags.title.empty()) w.title = Unicode(tags.title);
  if (!tags.album.empty()) w.album = Unicode(tags.album);
  if (!tags.comment.empty()) w.comment = Unicode(tags.comment);
  return w;
}

bool Holds(TagLib::Tag& tag, const Wanted& w) {
  return (!w.title || tag.title() == *w.title) && (!w.album || tag.album() == *w.album) &&
         (!w.comment || tag.comment() == *w.comment);
}

// Whether TagLib reads `path` as MP4 holding `w`; nullopt when it cannot
// read it. Never throws.
std::optional<bool> ReadHolds(const std::string& path, const Wanted& w) {
  try {
    TagLib::FileStream stream(path.c_str(), true);
    if (!stream.isOpen()) return std::nullopt;
    TagLib::MP4::File file(&stream, false);
    if (!file.isValid() || file.tag() == nullptr) return std::nullopt;
    return Holds(*file.tag(), w);
  } catch (...) {
    return std::nullopt;
  }
}

// Writes `w` into the MP4 file at `path` in place.
bool WriteTags(const std::string& path, const Wanted& w) {
  try {
    TagLib::FileStream stream(path.c_str(), false);
    if (!stream.isOpen() || stream.readOnly()) return false;
    TagLib::MP4::File file(&stream, false);
    if (!file.isValid() || file.tag() == nullptr) return false;
    TagLib::Tag& tag = *file.tag();
    if (w.title) tag.setTitle(*w.title);
    if (w.album) tag.setAlbum(*w.album);
    if (w.comment) tag.setComment(*w.comment);
    return file.save();
  } catch (...) {
    return false;
  }
}

// `from` into the new file `to`, whole. False on any short or failed write.
bool CopyBytes(int from, int to, std::uint64_t size) {
  off_t in = 0, out = 0;
  bool kernel_copy = true;
  std::string buffer;
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, 8u << 20));
    ssize_t n;
    if (kernel_copy) {
      n = ::copy_file_range(from, &in, to, &out, want, 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
        kernel_copy = false;
        continue;
      }
    } else {
      buffer.resize(want);
      n = ::pread(from, buffer.data(), want, in);
      if (n > 0) {
        const ssize_t w = ::pwrite(to, buffer.data(), static_cast<std::size_t>(n), out);
        if (w != n) return false;
        in += n;
        out += n;
      }
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::uint64_t>(n);
  }
  return true;
}

std::int64_t SizeOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

// The disk steps of download/disk_steps.h, told as the tag steps they are.
download::DiskSteps StepsFor(const TagObserver& observer) {
  return download::DiskSteps([&observer](download::DiskStep step, const std::string& path) {
    if (!observer) return;
    switch (step) {
      case download::DiskStep::kFlushData:
        observer(TagStep::kCopyFlushed, path);
        break;
      case download::DiskStep::kRename:
        observer(TagStep::kRenamed, path);
        break;
      case download::DiskStep::kFlushFolder:
        observer(TagStep::kFolderFlushed, path);
        break;
      case download::DiskStep::kRemove:
        observer(TagStep::kStrayRemoved, path);
        break;
    }
  });
}

// Whether `path` is still the file `was` describes, unchanged.
bool StillTheSame(const std::string& path, const struct stat& was) {
  struct stat now {};
  return ::stat(path.c_str(), &now) == 0 && now.st_dev == was.st_dev && now.st_ino == was.st_ino &&
         now.st_size == was.st_size && now.st_mtim.tv_sec == was.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == was.st_mtim.tv_nsec;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The tagged copy, written and checked; removed again unless it is taken.
class TaggedCopy {
 public:
  TaggedCopy(std::string path, const download::DiskSteps& steps)
      : path_(std::move(path)), steps_(steps) {}
  ~TaggedCopy() {
    if (!taken_) steps_.Remove(path_);
  }
  TaggedCopy(const TaggedCopy&) = delete;
  TaggedCopy& operator=(const TaggedCopy&) = delete;
  const std::string& path() const { return path_; }
  void Taken() { taken_ = true; }

 private:
  std::string path_;
  const download::DiskSteps& steps_;
  bool taken_ = false;
};

}  // namespace

std::string TaggingCopyOf(const std::string& path) {
  return path + kTaggingSuffix;
}

TagResult TagFile(const std::string& path, const TrackTags& tags, const TagObserver& observer) {
  SilenceTagLib();
  const download::DiskSteps steps = StepsFor(observer);
  const std::string copy_path = TaggingCopyOf(path);
  if (::access(copy_path.c_str(), F_OK) == 0 && !steps.Remove(copy_path)) return {};

  Fd original(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!original.ok()) return {};
  const std::int64_t size = SizeOf(original.get());
  if (size < 0) return {};
  const TagResult untouched{TagOutcome::kNotMp4, size};
  if (size > kMaxTaggedFile) return untouched;
  const FileSource original_bytes(original.get(), static_cast<std::uint64_t>(size));
  const std::optional<Mp4Layout> layout = ReadMp4Layout(original_bytes);
  if (!layout) return untouched;
  const Wanted wanted = WantedOf(tags);
  const std::optional<bool> holds = ReadHolds(path, wanted);
  if (!holds) return untouched;
  if (*holds) return {TagOutcome::kAlreadyTagged, size};

  struct stat st {};
  if (::fstat(original.get(), &st) != 0) return {};
  TaggedCopy copy(copy_path, steps);
  {
    Fd out(::open(copy_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out.ok()) return {};
    if (!CopyBytes(original.get(), out.get(), static_cast<std::uint64_t>(size)) ||
        ::fchmod(out.get(), st.st_mode & 07777) != 0 || !out.Close()) {
      return {};
    }
  }
  // A write TagLib could not make (a full disk) leaves a copy that fails
  // the checks below; so does anything TagLib would get wrong.
  if (!WriteTags(copy.path(), wanted)) return untouched;
  Fd tagged(::open(copy.path().c_str(), O_RDONLY | O_CLOEXEC));
  if (!tagged.ok()) return {};
  const std::int64_t tagged_size = SizeOf(tagged.get());
  if (tagged_size < 0) return {};
  const FileSource tagged_bytes(tagged.get(), static_cast<std::uint64_t>(tagged_size));
  const std::optional<Mp4Layout> tagged_layout = ReadMp4Layout(tagged_bytes);
  if (!tagged_layout || !SameSamples(original_bytes, *layout, tagged_bytes, *tagged_layout) ||
      ReadHolds(copy.path(), wanted) != std::optional<bool>(true)) {
    return untouched;
  }
  if (observer) observer(TagStep::kCopyTagged, copy.path());
  if (!steps.FlushData(tagged.get(), copy.path()) || !tagged.Close()) return {};
  // A new download of the same file may have begun meanwhile: its bytes must
  // not go into a file about to be unlinked.
  if (!StillTheSame(path, st)) return {};
  if (!steps.Rename(copy.path(), path)) return {};
  copy.Taken();
  // Renamed: the file is the tagged one now, whether or not the folder's
  // flush holds it there through a power cut.
  steps.FlushFolderOf(path);
  return {TagOutcome::kTagged, tagged_size};
}

int RemoveStrayCopies(const std::string& folder, const TagObserver& observer) {
  const download::DiskSteps steps = StepsFor(observer);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  int removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (!EndsWith(name, kTaggingSuffix) || name.size() == std::strlen(kTaggingSuffix)) continue;
    if (steps.Remove(folder + "/" + std::string(name))) ++removed;
  }
  ::closedir(dir);
  return removed;
}

bool CarriesTags(const std::string& path, const TrackTags& tags) {
  SilenceTagLib();
  Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.ok()) return false;
  const std::int64_t size = SizeOf(file.get());
  if (size < 0 || size > kMaxTaggedFile) return false;
  if (!ReadMp4Layout(FileSource(file.get(), static_cast<std::uint64_t>(size)))) return false;
  return ReadHolds(path, WantedOf(tags)) == std::optional<bool>(true);
}

}  // namespace wuqu::tags
