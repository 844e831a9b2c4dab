#pragma once

namespace wuqu {

// While one of these lives, RegexWrapper::Compile on the same thread matches
// with PCRE2's interpreter even where JIT is available, as it does on a
// system without JIT. For tests and benchmarks of that path.
class RegexInterpreterOnly {
 public:
  RegexInterpreterOnly();
  ~RegexInterpreterOnly();
  RegexInterpreterOnly(const RegexInterpreterOnly&) = delete;
  RegexInterpreterOnly& operator=(const RegexInterpreterOnly&) = delete;
};

// Whether Compile on this thread uses JIT: it is available and no
// RegexInterpreterOnly is alive.
bool RegexUsesJit();

}  // namespace wuqu
