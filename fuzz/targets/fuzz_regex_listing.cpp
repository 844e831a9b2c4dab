// RegexWrapper with the listing pattern over arbitrary page text, reading every
// match and sub-match.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/com.h"
#include "text/regex_testing.h"
#include "text/regex_wrapper.h"

namespace {

const char kListingPattern[] =
    "<td><a href=#\xD2\xFD\xBA\xC5(.*?)#\xD2\xFD\xBA\xC5 id=#\xD2\xFD\xBA\xC5(.*?)#\xD2\xFD\xBA\xC5"
    " target=#\xD2\xFD\xBA\xC5play#\xD2\xFD\xBA\xC5>(.*?)</a>";  // #引号 for each quote

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const wuqu::Text page(reinterpret_cast<const char*>(data), size);
  const int balance = wuqu::ComBalance();
  // Odd lengths go through the interpreter, as on a machine without JIT.
  std::optional<wuqu::RegexInterpreterOnly> interpreter;
  if (size % 2 == 1) interpreter.emplace();
  {
    wuqu::RegexWrapper regex;
    const bool compiled = regex.Compile(kListingPattern, page, false, false, true, true);
    const int count = regex.MatchCount();
    Check(compiled || count == 0);
    Check(regex.SubMatchCount() == (count > 0 ? 3 : 0));
    int previous_end = 0;
    for (int i = 0; i <= count + 1; ++i) {
      int at = -2;
      const wuqu::Text match = regex.MatchText(i, &at);
      if (i < 1 || i > count) {
        Check(match.empty() && at == -1);
        continue;
      }
      // Matches lie in the page, in order, without overlap, within one line.
      Check(at >= previous_end && page.compare(at, match.size(), match) == 0);
      Check(match.find_first_of("\r\n") == wuqu::Text::npos);
      previous_end = at + static_cast<int>(match.size());
      for (int k = 0; k <= 4; ++k) {
        int group_at = -2;
        const wuqu::Text group = regex.SubMatchText(i, k, &group_at);
        if (k < 1 || k > 3) {
          Check(group.empty() && group_at == -1);
          continue;
        }
        Check(group_at >= at && group_at + group.size() <= at + match.size());
        Check(page.compare(group_at, group.size(), group) == 0);
      }
    }
    // Putting each match back in its place gives the page again.
    if (compiled) Check(regex.ReplaceMatches("$&") == page);
  }
  Check(wuqu::ComBalance() == balance);
  return 0;
}
