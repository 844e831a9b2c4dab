// The resume record decoder on whatever a disk holds: a record it takes is
// one it could have written (encoding it again gives a record that decodes
// to the same), with ascending ranges apart from each other inside the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "download/resume_record.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace wuqu::download;
  const auto record =
      DecodeResumeRecord(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!record) return 0;
  std::uint64_t previous_end = 0;
  for (std::size_t i = 0; i < record->done.size(); ++i) {
    const auto [first, end] = record->done[i];
    Check(first < end && end <= record->size);
    if (i > 0) Check(first > previous_end);
    previous_end = end;
  }
  Check(record->DoneBytes() <= record->size);
  const auto again = DecodeResumeRecord(EncodeResumeRecord(*record));
  Check(again.has_value() && *again == *record);
  return 0;
}
