#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// The shape of an MP4 file as far as tagging it safely needs, read without
// trusting a single length in it: every atom lies inside its parent, the
// top-level atoms fill the file exactly, there is one movie atom and media
// data, and the file is not fragmented. Only read here; the tags themselves
// are written by TagLib (tags/tag_file.h). Bounded: the movie atom is read
// at most kMaxMovieAtom bytes, the tree at most kMaxDepth deep, at most
// kMaxTopAtoms atoms at the top; every chunk is placed by a binary search.
namespace wuqu::tags {

inline constexpr std::uint64_t kMaxMovieAtom = 16ull << 20;
inline constexpr int kMaxDepth = 16;
inline constexpr int kMaxTopAtoms = 4096;

// Random access to the bytes of a file (or of memory, for the fuzz target).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Exactly `size` bytes at `offset` into `out`; false when they are not there.
  virtual bool ReadAt(std::uint64_t offset, std::size_t size, char* out) const = 0;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, std::size_t size, char* out) const override;

 private:
  std::string_view bytes_;
};

// pread on an open file descriptor, which stays the caller's.
class FileSource final : public ByteSource {
 public:
  FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, std::size_t size, char* out) const override;

 private:
  int fd_;
  std::uint64_t size_;
};

struct ByteSpan {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  bool operator==(const ByteSpan&) const = default;
};

struct Mp4Layout {
  // The payloads of the media data atoms, in file order: the samples.
  std::vector<ByteSpan> media;
  // Every chunk offset of every track (stco and co64), in file order.
  std::vector<std::uint64_t> chunk_offsets;
};

// The layout of the MP4 file in `source`; nullopt for anything that is not
// a whole, unfragmented MP4 file whose atoms all fit where they stand.
std::optional<Mp4Layout> ReadMp4Layout(const ByteSource& source);

// Whether `tagged` holds the same samples as `original`, where each track
// finds them: the media payloads byte for byte, and every chunk offset moved
// by exactly as much as the media data it points into.
bool SameSamples(const ByteSource& original, const Mp4Layout& original_layout,
                 const ByteSource& tagged, const Mp4Layout& tagged_layout);

}  // namespace wuqu::tags
