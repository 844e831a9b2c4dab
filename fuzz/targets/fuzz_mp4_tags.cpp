// What a server may send, read as a track file and as a title cell: the
// layout check that stands before TagLib, TagLib's MP4 reader and writer on
// what that check lets through (in memory), and the readable title. Nothing
// may crash, hang or read out of bounds; a layout taken has its media inside
// the file and its samples the same as themselves; a readable title has no
// blank at either end nor two in a row, and is never longer than its cell.
#include <taglib/mp4file.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/tdebuglistener.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tags/mp4_layout.h"
#include "text/readable_title.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

class Quiet final : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String&) override {}
};

void TagInMemory(std::string_view bytes) {
  TagLib::ByteVectorStream stream(TagLib::ByteVector(bytes.data(), static_cast<unsigned>(bytes.size())));
  TagLib::MP4::File file(&stream, false);
  if (!file.isValid() || file.tag() == nullptr) return;
  (void)file.tag()->title().to8Bit(true);
  file.tag()->setTitle(TagLib::String("新 DJ北川 & DJ小满", TagLib::String::UTF8));
  file.tag()->setComment("http://127.0.0.1:8077/m/216717/");
  if (!file.save()) return;
  const TagLib::ByteVector* tagged = stream.data();
  const std::string_view out(tagged->data(), tagged->size());
  // What TagFile would check before taking the copy.
  using namespace wuqu::tags;
  const MemorySource before(bytes), after(out);
  const auto a = ReadMp4Layout(before);
  const auto b = ReadMp4Layout(after);
  if (a && b) (void)SameSamples(before, *a, after, *b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Quiet quiet;
  TagLib::setDebugListener(&quiet);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  using namespace wuqu::tags;
  const MemorySource source(bytes);
  if (const auto layout = ReadMp4Layout(source)) {
    Check(!layout->media.empty());
    for (const ByteSpan& m : layout->media) Check(m.offset <= size && m.size <= size - m.offset);
    Check(SameSamples(source, *layout, source, *layout));
    TagInMemory(bytes);
  }

  const wuqu::Text title = wuqu::ReadableTitle(bytes);
  Check(title.size() <= size);
  if (!title.empty()) Check(title.front() != ' ' && title.back() != ' ');
  Check(title.find("  ") == wuqu::Text::npos);
  return 0;
}
