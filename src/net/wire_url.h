#pragma once

#include <string>
#include <string_view>

#include "text/text.h"

namespace wuqu {

// The form of an address that goes on the wire: program text (code page 936)
// becomes UTF-8, and every byte that may not stand in a URL as it is (non-ASCII
// bytes, blanks, control characters, and " < > \ ^ ` { | }) is percent-encoded.
// Everything else is kept, so an address that is already encoded passes
// unchanged; a "%" that is not followed by two hex digits becomes "%25".
// Bytes that form no code page 936 character are percent-encoded as they
// are. The HTTP client, the player and the downloader all send addresses
// through this one function.
std::string WireUrl(std::string_view local_url);

}  // namespace wuqu
