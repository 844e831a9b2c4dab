#include "download/body_writer.h"

#include <algorithm>
#include <cstring>

namespace wuqu::download {

bool BodyWriter::Write(DownloadFile& file, const char* data, std::size_t n,
                       std::uint64_t offset) {
  if (!file.Write(data, n, offset)) return false;
  // The disk writes as the bytes come, not all at the flush that makes them
  // durable.
  unwritten_back_ += n;
  if (unwritten_back_ >= kWritebackBytes) {
    file.StartWriteback();
    unwritten_back_ = 0;
  }
  return true;
}

bool BodyWriter::Same(DownloadFile& file, const char* data, std::uint64_t n,
                      std::uint64_t offset) {
  if (buffer_.empty()) buffer_.resize(kCompareChunk);
  while (n > 0) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(n, kCompareChunk));
    if (!file.Read(buffer_.data(), chunk, offset) || std::memcmp(buffer_.data(), data, chunk) != 0)
      return false;
    data += chunk;
    n -= chunk;
    offset += chunk;
  }
  return true;
}

}  // namespace wuqu::download
