#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>

#include "app/caption_decoder.h"
#include "app/captions.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

class CountingPump final : public EventPump {
 public:
  void ProcessPendingEvents() override { ++calls; }
  int calls = 0;
};

ByteArray Bytes(std::string_view s) {
  return ByteArray(s.begin(), s.end());
}

constexpr char kEightTimes1234567890[] =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

TEST(Md5Hex, Rfc1321TestSuiteInEveryForm) {
  const struct {
    const char* input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {kEightTimes1234567890, "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    const ByteArray in = Bytes(c.input);
    const std::string lower = c.digest;
    std::string upper = lower;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(Md5Hex(in), lower) << '"' << c.input << '"';
    EXPECT_EQ(Md5Hex(in, true), upper) << '"' << c.input << '"';
    EXPECT_EQ(Md5Hex(in, false, true), lower.substr(8, 16)) << '"' << c.input << '"';
    EXPECT_EQ(Md5Hex(in, true, true), upper.substr(8, 16)) << '"' << c.input << '"';
    EXPECT_EQ(HashHex(in, kCalgMd5, 16), upper) << '"' << c.input << '"';
  }
}

TEST(Md5Hex, BytesBeyondAsciiAndZeros) {
  // Digest of the bytes themselves: a zero byte does not end the input.
  EXPECT_EQ(Md5Hex(ByteArray{0x00}), "93b885adfe0da089cdf634904fd59f71");
  EXPECT_EQ(Md5Hex(Bytes("\xD6\xD0\xCE\xC4")), "bcce109775e8e1972e9f5fcda3e12895");  // 中文 in GBK
}

TEST(HashHex, AlgorithmAndRoomForTheDigest) {
  const ByteArray abc = Bytes("abc");
  const std::string md5_abc = "900150983CD24FB0D6963F7D28E17F72";
  const struct {
    const char* name;
    std::uint32_t algorithm;
    int size;
    std::string expected;
  } cases[] = {
      {"md5", kCalgMd5, 16, md5_abc},
      {"more room than needed", kCalgMd5, 64, md5_abc},
      {"one byte short", kCalgMd5, 15, ""},
      {"no room", kCalgMd5, 0, ""},
      {"negative room", kCalgMd5, -16, ""},
      {"unknown identifier 0", 0, 16, ""},
      {"SHA-1 identifier is not offered", 0x8004, 20, ""},
      {"all bits set", 0xFFFFFFFFu, 16, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(HashHex(abc, c.algorithm, c.size), c.expected) << c.name;
}

TEST(HexToInteger, Values) {
  const struct {
    const char* text;
    std::int64_t value;
  } cases[] = {
      {"", 0},
      {"0", 0},
      {"9", 9},
      {"F", 15},
      {"f", 15},
      {"fF", 255},
      {"10", 16},
      {"00000000000000FF", 255},
      // Beyond 2^53 every digit still counts.
      {"20000000000001", 0x20000000000001},
      {"123456789ABCDEF1", 0x123456789ABCDEF1},
      {"7FFFFFFFFFFFFFFF", INT64_MAX},
      {"8000000000000000", INT64_MIN},
      {"FFFFFFFFFFFFFFFF", -1},
      {"1FFFFFFFFFFFFFFFF", -1},  // only the last 16 digits count
      {"1G2", 1},                 // a non-digit ends the run
      {"G", 0},
      {" 1", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(HexToInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(HexToBytes, PairsOfDigitsAndOneEventRunPerByte) {
  const struct {
    const char* text;
    ByteArray bytes;
  } cases[] = {
      {"", {}},      {"00", {0x00}},        {"0aFf", {0x0A, 0xFF}},
      {"7", {0x07}}, {"ABC", {0xAB, 0x0C}}, {"102030", {0x10, 0x20, 0x30}},
  };
  for (const auto& c : cases) {
    CountingPump pump;
    EXPECT_EQ(HexToBytes(c.text, pump), c.bytes) << '"' << c.text << '"';
    EXPECT_EQ(pump.calls, static_cast<int>(c.bytes.size())) << '"' << c.text << '"';
  }
}

// Check tags of two keys, digits 3 to 11 of their MD5 in upper case:
// MD5("123") = 202cb962ac59075b964b07152d234b70, MD5("abc") = 900150983cd2....
constexpr char kTag123[] = "2CB962AC5";
constexpr char kTagAbc[] = "0150983CD";

TEST(DecodeCaptionText, CheckTagAndPayload) {
  const struct {
    const char* name;
    std::string hex;
    const char* key;
    std::string expected;
  } cases[] = {
      {"plain text", std::string("717273") + kTag123, "123", "abc"},
      {"other key", std::string("717273") + kTagAbc, "abc", "abc"},
      {"lower-case payload digits", std::string("7a7b") + kTag123, "123", "jk"},
      {"tag only", kTag123, "123", ""},
      {"wrong key", std::string("717273") + kTag123, "124", ""},
      {"tag in lower case", std::string("717273") + "2cb962ac5", "123", ""},
      {"altered tag", std::string("717273") + "2CB962AC6", "123", ""},
      {"shorter than a tag", "2CB962AC", "123", ""},
      {"empty", "", "123", ""},
      {"byte 0x10 ends the text", std::string("7172107374") + kTag123, "123", "ab"},
      {"odd digit count", std::string("717") + kTag123, "123", "a\x17"},
      {"Chinese in GBK", std::string("C6C0DED4") + kTag123, "123", "\xD6\xD0\xCE\xC4"},
  };
  for (const auto& c : cases) {
    CountingPump pump;
    EXPECT_EQ(DecodeCaptionText(c.hex, c.key, pump), c.expected) << c.name;
  }
}

TEST(DecodeCaptionText, LetsEventsRunBetweenBytes) {
  CountingPump pump;
  EXPECT_EQ(DecodeCaptionText(std::string("717273") + kTag123, "123", pump), "abc");
  EXPECT_EQ(pump.calls, 3);
}

TEST(StoredCaptions, DecodeToTheWindowTexts) {
  const struct {
    const char* name;
    StoredCaption stored;
    std::size_t hex_length;
    std::size_t text_bytes;
    const char* utf8;
  } cases[] = {
      {"title", kStoredTitle, 63, 27, "wuqu DJ舞曲在线试听与下载器"},
      {"side label", kStoredSideLabel, 47, 19, "多线程下载 速度更快"},
  };
  for (const auto& c : cases) {
    NoEventPump pump;
    const Text text = DecodeCaptionText(c.stored.hex_text, c.stored.key_text, pump);
    EXPECT_EQ(c.stored.hex_text.size(), c.hex_length) << c.name;
    EXPECT_EQ(c.stored.key_text.size(), 3u) << c.name;
    EXPECT_EQ(text.size(), c.text_bytes) << c.name;
    EXPECT_EQ(LocalTextToUtf8(text), c.utf8) << c.name;
  }
}

}  // namespace
}  // namespace wuqu
