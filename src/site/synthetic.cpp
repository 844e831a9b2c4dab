#include "site/synthetic.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace wuqu {
namespace {

constexpr std::size_t kTableWords = 8192;  // 64 KiB

// SplitMix64's finaliser over a counter: a fast, well-spread function of both.
std::uint64_t Mix(std::uint64_t key, std::uint64_t counter) {
  std::uint64_t z = key + (counter + 1) * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t BlockKey(std::uint64_t seed, std::uint64_t block) {
  return Mix(~seed, block);
}

std::uint64_t ToLittleEndian(std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(v);
  return v;
}

}  // namespace

SyntheticBytes::SyntheticBytes(std::uint64_t seed) : seed_(seed), table_(kTableWords) {
  for (std::size_t i = 0; i < kTableWords; ++i) table_[i] = ToLittleEndian(Mix(seed, i));
}

std::uint64_t SyntheticBytes::Word(std::uint64_t index) const {
  return table_[index % kTableWords] ^ ToLittleEndian(BlockKey(seed_, index / kTableWords));
}

void SyntheticBytes::Fill(std::uint64_t offset, char* out, std::size_t length) const {
  std::uint64_t word = offset / 8;
  // A leading partial word.
  if (const std::size_t skip = offset % 8; skip != 0 && length > 0) {
    const std::uint64_t w = Word(word++);
    const std::size_t n = std::min(length, 8 - skip);
    std::memcpy(out, reinterpret_cast<const char*>(&w) + skip, n);
    out += n;
    length -= n;
  }
  // Whole words, one run per 64 KiB block: a loop the compiler vectorises.
  while (length >= 8) {
    const std::size_t in_table = word % kTableWords;
    const std::size_t run = std::min(length / 8, kTableWords - in_table);
    const std::uint64_t key = ToLittleEndian(BlockKey(seed_, word / kTableWords));
    const std::uint64_t* src = table_.data() + in_table;
    for (std::size_t i = 0; i < run; ++i) {
      const std::uint64_t w = src[i] ^ key;
      std::memcpy(out + i * 8, &w, 8);
    }
    out += run * 8;
    length -= run * 8;
    word += run;
  }
  // A trailing partial word.
  if (length > 0) {
    const std::uint64_t w = Word(word);
    std::memcpy(out, &w, length);
  }
}

std::string SyntheticBytes::Range(std::uint64_t offset, std::size_t length) const {
  std::string bytes(length, '\0');
  Fill(offset, bytes.data(), length);
  return bytes;
}

}  // namespace wuqu
