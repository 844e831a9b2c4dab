// TextBetween, MergeCookies and the response-cookie path of HttpRequest on
// arbitrary bytes. Input: one flag byte (bit 0: ignore case), one start
// position byte (signed), then up to six parts separated by 0x1F: source,
// left marker, right marker, cookie jar, fresh cookies, response headers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "net/header_cookie.h"
#include "net/http_request.h"

namespace {

using wuqu::ByteArray;
using wuqu::Text;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool HasBlank(std::string_view text) { return text.find_first_of(" \t") != std::string_view::npos; }

// Answers every request with the fuzzed response headers.
class CannedObject final : public wuqu::RequestObject {
 public:
  explicit CannedObject(Text headers) : headers_(std::move(headers)) {}
  void SetTimeouts(int, int, int, int) override {}
  void SetProxy(int, const Text&) override {}
  void SetCredentials(const Text&, const Text&, int) override {}
  void Open(const Text&, const Text&, bool) override {}
  void SetOption(int, int) override {}
  void SetRequestHeader(const Text&, const Text&) override {}
  void Send(const ByteArray&) override {}
  void Send(const Text&) override {}
  ByteArray ResponseBody() override { return {}; }
  Text GetAllResponseHeaders() override { return headers_; }
  int Status() override { return 200; }

 private:
  Text headers_;
};

void CheckJar(const Text& jar, const Text& old_jar, const Text& fresh) {
  Check(!HasBlank(fresh));
  const std::vector<Text> items = wuqu::SplitItems(jar, "; ");
  Check(wuqu::RemoveDuplicateItems(jar, "; ") == jar);
  Text rejoined;
  for (const Text& item : items) {
    Check(!item.empty() && !HasBlank(item));
    Check(item.size() < 8 || item.compare(item.size() - 8, 8, "=deleted") != 0);
    // Every cookie in the jar came from the old jar or from the response.
    const auto from_old = wuqu::FindItem(wuqu::SplitItems(old_jar, ";"), item) != -1;
    const auto from_fresh = wuqu::FindItem(wuqu::SplitItems(fresh, ";"), item) != -1;
    Check(from_old || from_fresh);
    rejoined += (rejoined.empty() ? "" : "; ") + item;
  }
  Check(rejoined == jar);
}

Text WithoutBlanks(Text text) {
  std::erase_if(text, [](char c) { return c == ' ' || c == '\t'; });
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool ignore_case = (data[0] & 1) != 0;
  const int start = static_cast<std::int8_t>(data[1]);
  std::vector<Text> parts(6);
  std::size_t part = 0;
  for (std::size_t i = 2; i < size; ++i) {
    if (data[i] == 0x1F && part + 1 < parts.size()) {
      ++part;
    } else {
      parts[part].push_back(static_cast<char>(data[i]));
    }
  }
  const Text& source = parts[0];
  const Text& left = parts[1];
  const Text& right = parts[2];

  const Text between = wuqu::TextBetween(source, left, right, start, ignore_case);
  Check(between.size() <= source.size());
  if (!between.empty()) Check(source.find(between) != Text::npos);
  const bool has_quote_marker = (left + "\x1F" + right).find("#\xD2\xFD\xBA\xC5") != Text::npos;
  if (!ignore_case && !has_quote_marker && !between.empty()) {
    Check(source.find(left + between + right) != Text::npos);
  }

  Text jar = parts[3];
  Text fresh = parts[4];
  const Text merged = wuqu::MergeCookies(jar, fresh);
  Check(merged == jar);
  CheckJar(jar, WithoutBlanks(parts[3]), fresh);

  // The same merge, fed through a response's Set-Cookie lines.
  Text cookies = parts[3];
  Text response_cookies;
  Text response_headers;
  wuqu::HttpRequestOptions options;
  options.cookies = &cookies;
  options.response_cookies = &response_cookies;
  options.response_headers = &response_headers;
  options.request_object = std::make_shared<CannedObject>(parts[5]);
  wuqu::HttpRequest("http://h/", options);
  CheckJar(cookies, WithoutBlanks(parts[3]), response_cookies);
  Check(response_headers.size() == parts[5].size());
  return 0;
}
