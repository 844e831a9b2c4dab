#pragma once

#include <string_view>

namespace wuqu {

class MainWindow;

// The window's two stored captions, each a key text and a hexadecimal text
// (see DecodeCaptionText).
struct StoredCaption {
  std::string_view hex_text;
  std::string_view key_text;
};
extern const StoredCaption kStoredTitle;      // the frame's title
extern const StoredCaption kStoredSideLabel;  // 标签EX5

// The window's creation-complete handler: decodes the two stored captions and
// sets the frame's title and the text of 标签EX5 (empty ones as they are).
void OnWindowCreated(MainWindow& window);

}  // namespace wuqu
