#pragma once

#include <cstdint>
#include <string_view>

#include "platform/event_pump.h"
#include "text/text.h"

// The decoding of the window's two stored captions, and the digest and
// hexadecimal helpers it is built from. No Qt here: pending window events run
// through the EventPump the caller passes.
namespace wuqu {

// Algorithm identifiers of HashHex (the CryptoAPI values).
inline constexpr std::uint32_t kCalgMd5 = 0x8003;

// The decoded caption of a stored pair: `hex_text` is the enciphered bytes
// (each plain byte XOR 0x10, two upper- or lower-case digits per byte)
// followed by a 9-digit upper-case check tag, digits 3 to 11 of the MD5 of
// `key_text`. Empty when the tag does not match exactly; a decoded zero byte
// ends the text.
Text DecodeCaptionText(std::string_view hex_text, std::string_view key_text, EventPump& pump);

// MD5 of `bytes` as 32 hexadecimal digits, lower case unless `upper_case`;
// the short form keeps digits 9 to 24. Empty when the digest cannot be made.
Text Md5Hex(const ByteArray& bytes, bool upper_case = false, bool short_form = false);

// Digest of `bytes` by `algorithm` (kCalgMd5; any other identifier gives the
// empty text) as upper-case hexadecimal digits, two per byte. `digest_size`
// is the room given for the digest: less than the digest needs gives the
// empty text, more is left unused.
Text HashHex(const ByteArray& bytes, std::uint32_t algorithm, int digest_size);

// One byte per two hexadecimal digits (an odd last digit makes a byte of its
// own); lets pending window events run after each byte.
ByteArray HexToBytes(std::string_view text, EventPump& pump);

// The value of a run of hexadecimal digits, either case. A character that is
// no hexadecimal digit ends the run. Only the last 16 digits count: the value
// is the low 64 bits, read as a signed number.
std::int64_t HexToInteger(std::string_view text);

}  // namespace wuqu
