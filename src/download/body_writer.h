#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "download/download_file.h"

// A reply's body bytes into the download's file: written at their offset, or,
// where the file already holds bytes not proved to be of the same version,
// compared with what it holds. Every so many bytes written it starts the
// disk's writeback, so the flush that calls the file complete has little left
// to wait for.
namespace wuqu::download {

class BodyWriter {
 public:
  // Bytes compared at a time.
  static constexpr std::size_t kCompareChunk = 64 * 1024;
  // Bytes written between two starts of the disk's writeback.
  static constexpr std::uint64_t kWritebackBytes = std::uint64_t{16} << 20;

  // Writes `n` bytes at `offset` into `file`.
  bool Write(DownloadFile& file, const char* data, std::size_t n, std::uint64_t offset);
  // True when `file` holds these very `n` bytes at `offset`.
  bool Same(DownloadFile& file, const char* data, std::uint64_t n, std::uint64_t offset);

 private:
  std::vector<char> buffer_;         // what the file holds, a chunk at a time
  std::uint64_t unwritten_back_ = 0;  // bytes written since writeback was last started
};

}  // namespace wuqu::download
