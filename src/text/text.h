#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wuqu {

// Program text: bytes in code page 936 (GBK). Conversions to UTF-8 happen only
// at the edges (Qt strings, file names on disk, URLs on the wire), through the
// functions of text/codepage.h.
using Text = std::string;

// An HTTP body or any other run of raw bytes.
using ByteArray = std::vector<std::uint8_t>;

}  // namespace wuqu
