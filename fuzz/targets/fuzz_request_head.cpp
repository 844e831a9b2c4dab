// The demo site's request head reader on whatever a client sends: bytes that
// arrive piece by piece (cut where the input's first byte says) end in the
// same state, at the same place, as when they arrive at once; the Range
// header of the same bytes gives a range inside the body or none.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "site/http_bits.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using wuqu::RequestHeadScanner;
  if (size < 1) return 0;
  const std::size_t step = 1 + data[0] % 7;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  RequestHeadScanner whole(8, 512);
  const auto at_once = whole.Scan(bytes);
  RequestHeadScanner pieces(8, 512);
  auto state = RequestHeadScanner::State::kIncomplete;
  for (std::size_t n = 0; n < bytes.size() && state == RequestHeadScanner::State::kIncomplete;) {
    n = n + step < bytes.size() ? n + step : bytes.size();
    state = pieces.Scan(bytes.substr(0, n));
  }
  Check(state == at_once);
  if (state == RequestHeadScanner::State::kComplete) {
    Check(pieces.head_size() == whole.head_size());
    Check(whole.head_size() <= bytes.size() && whole.head_size() <= 512);
    Check(bytes.substr(0, whole.head_size()).ends_with("\r\n"));
  }

  const std::uint64_t body = size * 997;
  const auto range = wuqu::EvaluateRange(bytes, body);
  if (range.kind == wuqu::ByteRangeAnswer::Kind::kPartial)
    Check(range.first <= range.last && range.last < body);
  return 0;
}
