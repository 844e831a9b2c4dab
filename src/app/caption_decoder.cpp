#include "app/caption_decoder.h"

#include <openssl/evp.h>

#include <memory>

namespace wuqu {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kTagLength = 9;

int DigitValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

const char* AlgorithmName(std::uint32_t algorithm) {
  switch (algorithm) {
    case kCalgMd5:
      return "MD5";
    default:
      return nullptr;
  }
}

struct MdFree {
  void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

Text HashHex(const ByteArray& bytes, std::uint32_t algorithm, int digest_size) {
  const char* name = AlgorithmName(algorithm);
  if (name == nullptr || digest_size <= 0) return {};
  // Everything acquired is held by an owner, so each early return releases it.
  std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(nullptr, name, nullptr));
  if (!md) return {};
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md.get(), nullptr) != 1) return {};
  if (EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1) return {};
  if (digest_size < EVP_MD_get_size(md.get())) return {};  // no room for the digest
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return {};

  Text out;
  out.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    out += kHexDigits[digest[i] >> 4];
    out += kHexDigits[digest[i] & 15];
  }
  return out;
}

Text Md5Hex(const ByteArray& bytes, bool upper_case, bool short_form) {
  Text h = HashHex(bytes, kCalgMd5, 16);
  if (!upper_case) {
    for (char& ch : h) {
      if (ch >= 'A' && ch <= 'F') ch = static_cast<char>(ch - 'A' + 'a');
    }
  }
  if (short_form) return h.size() >= 24 ? h.substr(8, 16) : Text();
  return h;
}

std::int64_t HexToInteger(std::string_view text) {
  // Whole-number arithmetic: a double loses the low digits beyond 13 of them,
  // and converting one beyond the 64-bit range is undefined.
  std::uint64_t value = 0;
  for (char ch : text) {
    const int digit = DigitValue(ch);
    if (digit < 0) break;
    value = value * 16 + static_cast<std::uint64_t>(digit);
  }
  return static_cast<std::int64_t>(value);
}

ByteArray HexToBytes(std::string_view text, EventPump& pump) {
  ByteArray out;
  out.reserve((text.size() + 1) / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(HexToInteger(text.substr(i, 2)) & 0xFF));
    pump.ProcessPendingEvents();
  }
  return out;
}

Text DecodeCaptionText(std::string_view hex_text, std::string_view key_text, EventPump& pump) {
  const std::string_view tag =
      hex_text.size() > kTagLength ? hex_text.substr(hex_text.size() - kTagLength) : hex_text;
  const Text digest = Md5Hex(ByteArray(key_text.begin(), key_text.end()));
  Text expected = digest.size() >= 2 ? digest.substr(2, kTagLength) : Text();
  for (char& ch : expected) {
    if (ch >= 'a' && ch <= 'f') ch = static_cast<char>(ch - 'a' + 'A');
  }
  if (tag != expected) return {};

  const std::string_view payload = hex_text.substr(0, hex_text.size() - tag.size());
  Text plain;
  for (std::uint8_t b : HexToBytes(payload, pump)) {
    const char ch = static_cast<char>(b ^ 0x10);
    if (ch == '\0') break;
    plain += ch;
  }
  return plain;
}

}  // namespace wuqu
