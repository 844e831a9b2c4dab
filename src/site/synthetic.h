#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wuqu {

// The bytes of a synthetic media file: made up on the fly from a seed, so a
// file of any size costs no disk and no memory, and any range of it can be
// computed on its own (downloader tests compare what they saved with these).
//
// Byte o is byte (o mod 8) of the little-endian word W(o div 8), where
// W(w) = T(w mod 8192) xor K(w div 8192): a 64 KiB table made from the seed,
// with every 64 KiB block of the file xored by a key of its own. So the bytes
// never repeat at any distance a misplaced piece could have, and filling is
// about as cheap as copying memory.
class SyntheticBytes {
 public:
  explicit SyntheticBytes(std::uint64_t seed);

  // Writes the `length` bytes that start at `offset` to `out`.
  void Fill(std::uint64_t offset, char* out, std::size_t length) const;
  std::string Range(std::uint64_t offset, std::size_t length) const;

  std::uint64_t seed() const { return seed_; }

 private:
  std::uint64_t Word(std::uint64_t index) const;

  std::uint64_t seed_;
  std::vector<std::uint64_t> table_;
};

}  // namespace wuqu
