#include "tags/mp4_layout.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace wuqu::tags {
namespace {

std::uint64_t Be(std::string_view bytes) {
  std::uint64_t value = 0;
  for (const char c : bytes) value = value << 8 | static_cast<unsigned char>(c);
  return value;
}

struct Atom {
  std::uint64_t offset = 0;  // of its header, from the start of what holds it
  std::uint64_t size = 0;    // header included
  std::uint64_t header = 8;
  std::string type;
  std::uint64_t PayloadOffset() const { return offset + header; }
  std::uint64_t PayloadSize() const { return size - header; }
};

// The atom whose header starts at `offset`, when it lies wholly before `end`.
// A size of 0 ("to the end of the file") is refused: a finished file names
// every size.
std::optional<Atom> AtomAt(const ByteSource& source, std::uint64_t offset, std::uint64_t end) {
  if (offset > end || end - offset < 8) return std::nullopt;
  char head[16];
  if (!source.ReadAt(offset, 8, head)) return std::nullopt;
  Atom atom;
  atom.offset = offset;
  atom.size = Be(std::string_view(head, 4));
  atom.type.assign(head + 4, 4);
  if (atom.size == 1) {
    if (end - offset < 16 || !source.ReadAt(offset + 8, 8, head + 8)) return std::nullopt;
    atom.size = Be(std::string_view(head + 8, 8));
    atom.header = 16;
  }
  if (atom.size < atom.header || atom.size > end - offset) return std::nullopt;
  return atom;
}

// What a fragmented file has at its top; such a file's offsets are not only
// in the movie atom, and TagLib does not move them.
bool IsFragmentAtom(const std::string& type) {
  return type == "moof" || type == "mfra" || type == "sidx" || type == "styp" || type == "ssix";
}

// How many bytes of a container's payload come before its children; -1 for
// an atom whose children are not looked into.
int ChildrenStart(const std::string& type) {
  static const char* const kPlain[] = {"moov", "trak", "mdia", "minf", "stbl", "udta",
                                       "dinf", "edts", "ilst"};
  for (const char* plain : kPlain) {
    if (type == plain) return 0;
  }
  if (type == "meta") return 4;  // version and flags
  if (type == "stsd") return 8;  // version, flags and the entry count
  return -1;
}

class MovieReader {
 public:
  MovieReader(const MemorySource& movie, Mp4Layout& layout) : movie_(movie), layout_(layout) {}

  // The children of the payload [begin, end) fill it exactly, and so on down.
  bool Children(std::uint64_t begin, std::uint64_t end, int depth, bool in_ilst) {
    if (depth > kMaxDepth) return false;
    for (std::uint64_t at = begin; at < end;) {
      const std::optional<Atom> atom = AtomAt(movie_, at, end);
      if (!atom || !Visit(*atom, depth, in_ilst)) return false;
      at += atom->size;
    }
    return true;
  }

 private:
  bool Visit(const Atom& atom, int depth, bool in_ilst) {
    if (atom.type == "mvex") return false;  // fragments follow the movie
    if (atom.type == "stco" || atom.type == "co64") return ChunkOffsets(atom);
    // An item of the tag list holds its data atoms.
    const int start = in_ilst ? 0 : ChildrenStart(atom.type);
    if (start < 0) return true;
    if (atom.PayloadSize() < static_cast<std::uint64_t>(start)) return false;
    return Children(atom.PayloadOffset() + start, atom.offset + atom.size, depth + 1,
                    atom.type == "ilst");
  }

  bool ChunkOffsets(const Atom& atom) {
    const std::uint64_t width = atom.type == "co64" ? 8 : 4;
    if (atom.PayloadSize() < 8) return false;
    std::string head(8, '\0');
    if (!movie_.ReadAt(atom.PayloadOffset(), 8, head.data())) return false;
    const std::uint64_t count = Be(std::string_view(head).substr(4, 4));
    if (count > (atom.PayloadSize() - 8) / width) return false;
    std::string table(count * width, '\0');
    if (!movie_.ReadAt(atom.PayloadOffset() + 8, table.size(), table.data())) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
      layout_.chunk_offsets.push_back(Be(std::string_view(table).substr(i * width, width)));
    }
    return true;
  }

  const MemorySource& movie_;
  Mp4Layout& layout_;
};

// The media payload that holds byte `offset` of the file, or -1. The
// payloads are in file order and apart.
long MediaHolding(const Mp4Layout& layout, std::uint64_t offset) {
  const auto after = std::upper_bound(
      layout.media.begin(), layout.media.end(), offset,
      [](std::uint64_t o, const ByteSpan& m) { return o < m.offset; });
  if (after == layout.media.begin()) return -1;
  const ByteSpan& m = *(after - 1);
  if (offset - m.offset >= m.size) return -1;
  return static_cast<long>(after - 1 - layout.media.begin());
}

bool SameBytes(const ByteSource& a, std::uint64_t a_offset, const ByteSource& b,
               std::uint64_t b_offset, std::uint64_t size) {
  constexpr std::size_t kBlock = 1 << 20;
  std::string x(kBlock, '\0');
  std::string y(kBlock, '\0');
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - done));
    if (!a.ReadAt(a_offset + done, n, x.data()) || !b.ReadAt(b_offset + done, n, y.data())) {
      return false;
    }
    if (std::memcmp(x.data(), y.data(), n) != 0) return false;
    done += n;
  }
  return true;
}

}  // namespace

bool MemorySource::ReadAt(std::uint64_t offset, std::size_t size, char* out) const {
  if (offset > bytes_.size() || bytes_.size() - offset < size) return false;
  std::memcpy(out, bytes_.data() + offset, size);
  return true;
}

bool FileSource::ReadAt(std::uint64_t offset, std::size_t size, char* out) const {
  if (offset > size_ || size_ - offset < size) return false;
  while (size > 0) {
    const ssize_t n = ::pread(fd_, out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<Mp4Layout> ReadMp4Layout(const ByteSource& source) {
  Mp4Layout layout;
  std::optional<Atom> movie;
  bool first = true;
  int atoms = 0;
  for (std::uint64_t at = 0; at < source.Size();) {
    const std::optional<Atom> atom = AtomAt(source, at, source.Size());
    if (!atom || ++atoms > kMaxTopAtoms) return std::nullopt;
    if (first && atom->type != "ftyp") return std::nullopt;
    first = false;
    if (IsFragmentAtom(atom->type)) return std::nullopt;
    if (atom->type == "moov") {
      if (movie) return std::nullopt;
      movie = atom;
    } else if (atom->type == "mdat") {
      layout.media.push_back({atom->PayloadOffset(), atom->PayloadSize()});
    }
    at += atom->size;
  }
  if (!movie || layout.media.empty() || movie->size > kMaxMovieAtom) return std::nullopt;
  std::string bytes(movie->size, '\0');
  if (!source.ReadAt(movie->offset, bytes.size(), bytes.data())) return std::nullopt;
  const MemorySource movie_bytes(bytes);
  MovieReader reader(movie_bytes, layout);
  if (!reader.Children(movie->header, movie->size, 1, false)) return std::nullopt;
  // A chunk outside the media data: the file is damaged, or not what it says.
  for (const std::uint64_t offset : layout.chunk_offsets) {
    if (MediaHolding(layout, offset) < 0) return std::nullopt;
  }
  return layout;
}

bool SameSamples(const ByteSource& original, const Mp4Layout& original_layout,
                 const ByteSource& tagged, const Mp4Layout& tagged_layout) {
  const auto& before = original_layout.media;
  const auto& after = tagged_layout.media;
  if (before.size() != after.size()) return false;
  if (original_layout.chunk_offsets.size() != tagged_layout.chunk_offsets.size()) return false;
  for (std::size_t k = 0; k < before.size(); ++k) {
    if (before[k].size != after[k].size) return false;
  }
  for (std::size_t i = 0; i < original_layout.chunk_offsets.size(); ++i) {
    const std::uint64_t was = original_layout.chunk_offsets[i];
    const long k = MediaHolding(original_layout, was);
    if (k < 0) return false;
    const auto moved = static_cast<std::int64_t>(after[k].offset - before[k].offset);
    if (static_cast<std::int64_t>(tagged_layout.chunk_offsets[i] - was) != moved) return false;
  }
  for (std::size_t k = 0; k < before.size(); ++k) {
    if (!SameBytes(original, before[k].offset, tagged, after[k].offset, before[k].size)) {
      return false;
    }
  }
  return true;
}

}  // namespace wuqu::tags
