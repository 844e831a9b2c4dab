#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "text/text.h"

namespace wuqu {

// In a pattern, stands for one double quote when Compile is asked to expand it.
inline constexpr std::string_view kQuotePlaceholder = "#\xD2\xFD\xBA\xC5";  // #引号

// Regular expressions over one subject text: Compile runs the pattern over the
// whole subject at once, the queries then read its matches. Matching works on
// the code page 936 bytes, so every position is a byte offset. It behaves as
// the scripting engines do for the patterns this program uses: lazy groups,
// "." stops at LF and CR, case-insensitive matching folds ASCII letters only,
// and a global run takes matches left to right without overlap (after an
// empty match the next search starts one character further on).
//
// A hostile subject cannot hold the program: the engine's work is bounded at
// each start position and over the whole subject. A start that reaches the
// bound gives no match there and the search goes on one character later, so
// the matches before and after it are all found.
//
// COM is initialised for the object's life on the thread that creates it.
class RegexWrapper {
 public:
  RegexWrapper();
  ~RegexWrapper();
  RegexWrapper(const RegexWrapper&) = delete;
  RegexWrapper& operator=(const RegexWrapper&) = delete;

  // Starts from scratch: compiles `pattern` (with every kQuotePlaceholder
  // turned into a double quote when quote_placeholders is set) and finds its
  // matches in `subject`, all of them when global, else the first. False only
  // when the pattern does not compile (or the engine cannot run at all); a
  // valid pattern that matches nothing gives true.
  bool Compile(std::string_view pattern, Text subject, bool case_sensitive = false,
               bool multi_line = true, bool global = true, bool quote_placeholders = false);

  // The pattern of the last Compile as compiled (placeholders expanded), even
  // when it did not compile; empty before the first Compile.
  Text GetPattern() const;

  // The subject with the matches of the last Compile replaced by
  // `replacement`, in which $1 to $99 stand for a group, $& for the match, $`
  // and $' for the text before and after it, and $$ for a dollar sign.
  // Empty text when the last Compile failed or there was none.
  Text ReplaceMatches(std::string_view replacement = {}) const;

  int MatchCount() const;

  // Match n (from 1); `position` receives its byte offset in the subject, or
  // -1 when there is no such match. Empty text for a number out of range.
  Text MatchText(int n, int* position = nullptr) const;

  // Group k (from 1) of match n (from 1); `position` receives the group's byte
  // offset in the subject as the engine found it, or -1 when the group did
  // not take part or either number is out of range (the text is then empty).
  Text SubMatchText(int n, int k, int* position = nullptr) const;

  // The number of capture groups, or 0 when there is no match.
  int SubMatchCount() const;

 private:
  struct Engine;

  // Start and end offsets of the match and of each group, for one match.
  const std::size_t* Offsets(int n) const;

  std::unique_ptr<Engine> engine_;    // empty until the first Compile
  std::vector<std::size_t> matches_;  // Offsets of every match, one after another
  bool matched_ = false;              // the last Compile produced a match collection
  int group_count_ = 0;
  Text subject_;
};

}  // namespace wuqu
