#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "text/text.h"

// Writing a complete download's tags (title, album, comment) into its MP4
// file, with TagLib, so that a crash or a full disk at any moment leaves the
// file either as it was or tagged, never half written: a copy beside it
// ("<file>.wuqu-tagging") is tagged, checked, flushed and renamed over it,
// and the folder flushed. Only the metadata changes: the copy goes in only
// when its samples are the original's, byte for byte, where its tracks find
// them. A file that is not a whole, unfragmented MP4 file whose atoms fit
// where they stand is not touched at all. Free of Qt and of the catalogue;
// blocking (it copies the whole file), so the program runs it on a worker
// (tags/file_tagger.h).
namespace wuqu::tags {

// What goes into the file, as program text (code page 936); converted to
// Unicode for TagLib here. An empty field is left as the file has it.
struct TrackTags {
  Text title;
  Text album;
  Text comment;
};

// The steps that decide what a crash leaves, told to an observer after each
// has happened (path: the file it concerns), so tests can stop at each.
enum class TagStep {
  kStrayRemoved,   // a copy left by an earlier attempt is gone (path: the copy)
  kCopyTagged,     // the copy holds the tags and was checked; not flushed yet
  kCopyFlushed,    // the copy's bytes are on stable storage
  kRenamed,        // the copy took the file's name (path: the file)
  kFolderFlushed,  // the folder's names are on stable storage (path: the folder)
};
using TagObserver = std::function<void(TagStep step, const std::string& path)>;

enum class TagOutcome {
  kTagged,         // written now; size is the tagged file's
  kAlreadyTagged,  // the file held these tags already; nothing was written
  kNotMp4,         // not an MP4 file TagLib and the checks can take: left as it is
  kFailed,         // could not be written (a full disk, a file gone): left as it is
};

struct TagResult {
  TagOutcome outcome = TagOutcome::kFailed;
  std::int64_t size = -1;  // of the file afterwards, when it is there
  bool operator==(const TagResult&) const = default;
};

// Files larger than this are left as they are (kNotMp4).
inline constexpr std::int64_t kMaxTaggedFile = std::int64_t{2} << 30;

// The suffix of the copy being tagged, and the copy of `path` (UTF-8).
inline constexpr const char* kTaggingSuffix = ".wuqu-tagging";
std::string TaggingCopyOf(const std::string& path);

// Tags the file at `path` (UTF-8). Removes first a copy an earlier attempt
// left beside it.
TagResult TagFile(const std::string& path, const TrackTags& tags, const TagObserver& observer = {});

// Removes every copy a crash left in `folder` (UTF-8); how many it removed.
int RemoveStrayCopies(const std::string& folder, const TagObserver& observer = {});

// Whether the file at `path` is an MP4 file that carries every non-empty
// field of `tags`: one this program tagged.
bool CarriesTags(const std::string& path, const TrackTags& tags);

}  // namespace wuqu::tags
