#pragma once

#include <string>
#include <string_view>

#include "text/text.h"

// The program's only conversions between UTF-8 and its own text (code page 936).
namespace wuqu {

// UTF-8 bytes (an HTTP body, a Qt string's bytes) to program text. The length
// is explicit; malformed UTF-8 and characters that code page 936 cannot hold
// become "?"; the result ends at the first zero.
Text Utf8ToLocalText(const ByteArray& utf8);
Text Utf8ToLocalText(std::string_view utf8);

// Program text to UTF-8, for the edges: Qt strings, file names on disk, URLs
// on the wire. Bytes that are not valid code page 936 become "?".
std::string LocalTextToUtf8(std::string_view local);

}  // namespace wuqu
