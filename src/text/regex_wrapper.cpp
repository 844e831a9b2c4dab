#include "text/regex_wrapper.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstdint>

#include "platform/com.h"
#include "text/regex_testing.h"

namespace wuqu {
namespace {

thread_local int interpreter_only = 0;

// The bounds on the engine's work. Each holds for one start position in the
// subject: a start that reaches one gives no match there, and the search goes
// on one character further. Lazy groups may span about a million bytes from
// one start before it gives up.
constexpr std::uint32_t kMatchLimit = 1'000'000;
constexpr std::uint32_t kDepthLimit = 100'000;
constexpr std::uint32_t kHeapLimitKib = 64 * 1024;
constexpr std::size_t kJitStackBytes = 1024 * 1024;

// A page full of starts that each reach the bound (one long line of unclosed
// links) would still take a million steps per start. So the work of every
// start beyond its first few steps is paid from a credit of the whole
// Compile: a base plus a share per byte the search has moved on, enough for
// any real page many times over. Once the credit is spent, each start gets a
// small allowance, still enough for an ordinary link, until the search has
// moved far enough on to earn more. The total stays linear in the subject's
// length.
//
// JIT code counts its work in match-limit units, about one per byte a group
// spans, and fails fast where a lazy repeat already failed from an earlier
// start, so only starts that reach the limit are paid for. The interpreter
// retries every start in full, quadratic work on lines full of unclosed
// links; there every step is counted, in automatic callouts (one per pattern
// item tried), and a start's steps are paid as they go.
constexpr std::size_t kBaseCredit = 16'000'000;
constexpr std::size_t kJitCreditPerByte = 8;
constexpr std::uint32_t kJitSmallestLimit = 256;
constexpr std::size_t kInterpreterCreditPerByte = 4;
constexpr std::size_t kInterpreterFreeSteps = 64;

// Some work escapes both counts: a greedy repeat runs over its bytes as one
// step, and JIT code may run out of stack only after a long way. So with the
// credit low the engine sees only a window of the subject beyond the offset,
// as many bytes as the credit holds and never fewer than this; a start that
// runs into the window's end is given the whole window once more and, if it
// needs more still, counts as a start that reached the bound. The window's
// bytes are paid for each time.
constexpr std::size_t kSmallestWindow = 256;

// The interpreter's count: credit and the start position being tried.
struct StepCount {
  std::size_t credit = kBaseCredit;
  std::size_t furthest_start = 0;
  std::size_t start = 0;
  std::size_t start_steps = 0;
};

int CountStep(pcre2_callout_block* block, void* data) {
  auto& count = *static_cast<StepCount*>(data);
  if ((block->callout_flags & PCRE2_CALLOUT_STARTMATCH) != 0) {
    count.start = block->start_match;
    count.start_steps = 0;
    if (count.start > count.furthest_start) {
      count.credit += (count.start - count.furthest_start) * kInterpreterCreditPerByte;
      count.furthest_start = count.start;
    }
  }
  ++count.start_steps;
  if (count.credit > 0) {
    --count.credit;
    return 0;
  }
  return count.start_steps <= kInterpreterFreeSteps ? 0 : PCRE2_ERROR_CALLOUT;
}

// A bound reached at one start position, as opposed to a failure of the
// engine as a whole.
bool IsBoundReached(int rc) {
  return rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT ||
         rc == PCRE2_ERROR_HEAPLIMIT || rc == PCRE2_ERROR_JIT_STACKLIMIT ||
         rc == PCRE2_ERROR_CALLOUT;
}

Text ExpandQuotePlaceholders(std::string_view pattern) {
  Text out;
  out.reserve(pattern.size());
  for (std::size_t at = 0;;) {
    const std::size_t found = pattern.find(kQuotePlaceholder, at);
    out.append(pattern.substr(at, found - at));
    if (found == std::string_view::npos) break;
    out.push_back('"');
    at = found + kQuotePlaceholder.size();
  }
  return out;
}

// Bytes taken by the character at `at`: a code page 936 lead byte and its
// trail byte go together.
std::size_t CharacterLength(const Text& text, std::size_t at) {
  if (at + 1 >= text.size()) return 1;
  const auto lead = static_cast<unsigned char>(text[at]);
  const auto trail = static_cast<unsigned char>(text[at + 1]);
  const bool pair = lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE && trail != 0x7F;
  return pair ? 2 : 1;
}

}  // namespace

RegexInterpreterOnly::RegexInterpreterOnly() {
  ++interpreter_only;
}
RegexInterpreterOnly::~RegexInterpreterOnly() {
  --interpreter_only;
}

bool RegexUsesJit() {
  std::uint32_t jit = 0;
  pcre2_config(PCRE2_CONFIG_JIT, &jit);
  return jit != 0 && interpreter_only == 0;
}

struct RegexWrapper::Engine {
  Text pattern;  // as compiled, placeholders expanded
  pcre2_code* code = nullptr;
  pcre2_match_context* context = nullptr;
  pcre2_match_data* data = nullptr;
  pcre2_jit_stack* jit_stack = nullptr;
  bool jit = false;
  StepCount steps;                  // the interpreter's
  std::size_t jit_spent = 0;        // JIT work paid for in the running Compile
  std::uint32_t jit_limit = 0;      // the match limit of the search running now
  std::size_t failed_distance = 0;  // from its search's offset to the start that last failed
  std::size_t window_end = 0;       // of the search running now
  std::uint32_t window_options = 0;

  Engine() = default;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  ~Engine() {
    pcre2_match_data_free(data);
    pcre2_jit_stack_free(jit_stack);
    pcre2_match_context_free(context);
    pcre2_code_free(code);
  }

  bool Build(std::uint32_t options) {
    pcre2_compile_context* compile_context = pcre2_compile_context_create(nullptr);
    if (compile_context == nullptr) return false;
    // LF and CR each end a line, as in the scripting engines; CR LF is one.
    pcre2_set_newline(compile_context, PCRE2_NEWLINE_ANYCRLF);
    int error = 0;
    PCRE2_SIZE error_offset = 0;
    const auto compile = [&](std::uint32_t extra) {
      return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                           options | extra, &error, &error_offset, compile_context);
    };
    // JIT code finds where a search reached its bound by searching again
    // with a limit on the start positions.
    code = compile(PCRE2_USE_OFFSET_LIMIT);
    if (code != nullptr && interpreter_only == 0 &&
        pcre2_jit_compile(code, PCRE2_JIT_COMPLETE | PCRE2_JIT_PARTIAL_HARD) == 0) {
      jit = true;
    } else if (code != nullptr) {
      pcre2_code_free(code);
      code = compile(PCRE2_AUTO_CALLOUT);
    }
    pcre2_compile_context_free(compile_context);
    if (code == nullptr) return false;

    context = pcre2_match_context_create(nullptr);
    data = pcre2_match_data_create_from_pattern(code, nullptr);
    if (context == nullptr || data == nullptr) return false;
    pcre2_set_match_limit(context, kMatchLimit);
    pcre2_set_depth_limit(context, kDepthLimit);
    pcre2_set_heap_limit(context, kHeapLimitKib);
    if (jit) {
      jit_stack = pcre2_jit_stack_create(32 * 1024, kJitStackBytes, nullptr);
      if (jit_stack != nullptr) pcre2_jit_stack_assign(context, nullptr, jit_stack);
    } else {
      pcre2_set_callout(context, CountStep, &steps);
    }
    return true;
  }

  // The credit left, in the units of the engine's own count.
  std::size_t Credit(std::size_t offset) const {
    if (!jit) return steps.credit;
    const std::size_t earned = kBaseCredit + offset * kJitCreditPerByte;
    return earned > jit_spent ? earned - jit_spent : 0;
  }

  void Pay(std::size_t work) {
    if (jit) {
      jit_spent += work;
    } else {
      steps.credit -= std::min(steps.credit, work);
    }
  }

  int Search(const Text& subject, std::size_t offset, std::size_t last_start = PCRE2_UNSET) {
    pcre2_set_offset_limit(context, last_start);
    return pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), window_end, offset,
                       window_options, data, context);
  }

  // Searches from `offset` within the window the credit allows; JIT code
  // gets the match limit it allows too.
  int SearchFrom(const Text& subject, std::size_t offset) {
    const std::size_t credit = Credit(offset);
    const std::size_t window = std::max(credit, kSmallestWindow);
    window_end = subject.size() - offset > window ? offset + window : subject.size();
    // Running into the window's end, rather than the subject's, stops the
    // search at once (a partial match).
    window_options = window_end < subject.size() ? PCRE2_PARTIAL_HARD : 0;
    if (window_options != 0) Pay(window);
    if (jit) {
      jit_limit = static_cast<std::uint32_t>(
          std::clamp<std::size_t>(credit, kJitSmallestLimit, kMatchLimit));
      pcre2_set_match_limit(context, jit_limit);
    }
    const int rc = Search(subject, offset);
    if (IsBoundReached(rc)) Pay(jit ? jit_limit : kMatchLimit);
    return rc;
  }

  // The start position at which the search from `offset` just reached a
  // bound. The interpreter's count knows it; for JIT code it is the least
  // last start for which the same search, from the same offset and so with
  // the same work, reaches the bound again. The first guess is as far on as
  // last time (starts that reach the bound tend to come at one distance, as
  // in a line of unclosed links); then doubling, then halving.
  std::size_t FailedStart(const Text& subject, std::size_t offset) {
    if (!jit) return std::max(steps.start, offset);
    bool reached_again = false;
    const auto reaches_bound = [&](std::size_t last_start) {
      const int rc = Search(subject, offset, last_start);
      if (!IsBoundReached(rc)) return false;
      jit_spent += jit_limit;
      reached_again = true;
      return true;
    };
    std::size_t low = offset, high = window_end;  // the answer lies in [low, high]
    const std::size_t guess = std::min(offset + failed_distance, high);
    if (reaches_bound(guess)) {
      high = guess;
      if (guess > low && reaches_bound(guess - 1)) {
        high = guess - 1;
      } else {
        low = guess;
      }
    } else {
      low = guess + 1;
      for (std::size_t step = 1; low + step - 1 < high; step *= 2) {
        const std::size_t probe = low + step - 1;
        if (reaches_bound(probe)) {
          high = probe;
          break;
        }
        low = probe + 1;
      }
    }
    while (low < high) {
      const std::size_t middle = low + (high - low) / 2;
      if (reaches_bound(middle)) {
        high = middle;
      } else {
        low = middle + 1;
      }
    }
    pcre2_set_offset_limit(context, PCRE2_UNSET);
    // Should the bound not come back, only the first start is given up:
    // never a stretch of the subject that was not searched.
    if (!reached_again && high == window_end) high = offset;
    failed_distance = high - offset;
    return high;
  }
};

RegexWrapper::RegexWrapper() {
  ComInitialize();
}

RegexWrapper::~RegexWrapper() {
  engine_.reset();
  matches_.clear();
  subject_.clear();
  ComUninitialize();
}

bool RegexWrapper::Compile(std::string_view pattern, Text subject, bool case_sensitive,
                           bool multi_line, bool global, bool quote_placeholders) {
  engine_.reset();
  matches_.clear();
  matched_ = false;
  group_count_ = 0;

  engine_ = std::make_unique<Engine>();
  engine_->pattern = quote_placeholders ? ExpandQuotePlaceholders(pattern) : Text(pattern);
  subject_ = std::move(subject);

  // $ without multi-line matches at the very end only, as in the scripting
  // engines. The subject is code page 936, never UTF-8: a pattern may not
  // switch UTF on.
  std::uint32_t options = PCRE2_DOLLAR_ENDONLY | PCRE2_NEVER_UTF | PCRE2_NEVER_UCP;
  if (!case_sensitive) options |= PCRE2_CASELESS;
  if (multi_line) options |= PCRE2_MULTILINE;
  if (!engine_->Build(options)) return false;

  std::uint32_t captures = 0;
  pcre2_pattern_info(engine_->code, PCRE2_INFO_CAPTURECOUNT, &captures);
  const std::size_t pairs = captures + 1;
  const std::size_t length = subject_.size();

  std::size_t offset = 0;
  while (offset <= length) {
    const int rc = engine_->SearchFrom(subject_, offset);
    if (rc == PCRE2_ERROR_NOMATCH) {
      // Every start short of the window's end failed without reaching it.
      if (engine_->window_end == length) break;
      offset = engine_->window_end;
      continue;
    }
    if (rc == PCRE2_ERROR_PARTIAL) {
      // A start ran into the end of the window: once more with the whole
      // window for itself, or, if it had that, no match there.
      const std::size_t start =
          std::max<std::size_t>(pcre2_get_ovector_pointer(engine_->data)[0], offset);
      offset = start > offset ? start : start + CharacterLength(subject_, start);
      continue;
    }
    if (IsBoundReached(rc)) {
      // No match at that start; the matches before it stand, and the search
      // goes on one character later.
      const std::size_t failed = engine_->FailedStart(subject_, offset);
      offset = failed + CharacterLength(subject_, failed);
      continue;
    }
    if (rc <= 0) {  // the engine gave up otherwise
      matches_.clear();
      matches_.shrink_to_fit();
      return false;
    }
    const PCRE2_SIZE* found = pcre2_get_ovector_pointer(engine_->data);
    for (std::size_t i = 0; i < 2 * pairs; ++i) {
      matches_.push_back(i < 2 * static_cast<std::size_t>(rc) ? found[i] : PCRE2_UNSET);
    }
    if (!global) break;
    // After an empty match the next search starts one character further on,
    // so the same place never matches twice.
    std::size_t next = found[1];
    if (found[1] <= found[0]) next = found[1] + CharacterLength(subject_, found[1]);
    offset = next > offset ? next : offset + 1;
  }
  group_count_ = static_cast<int>(captures);
  matched_ = true;
  return true;
}

Text RegexWrapper::GetPattern() const {
  return engine_ ? engine_->pattern : Text();
}

int RegexWrapper::MatchCount() const {
  if (!matched_) return 0;
  return static_cast<int>(matches_.size() / (2 * (static_cast<std::size_t>(group_count_) + 1)));
}

int RegexWrapper::SubMatchCount() const {
  return MatchCount() > 0 ? group_count_ : 0;
}

const std::size_t* RegexWrapper::Offsets(int n) const {
  if (n < 1 || n > MatchCount()) return nullptr;
  return matches_.data() +
         static_cast<std::size_t>(n - 1) * 2 * (static_cast<std::size_t>(group_count_) + 1);
}

Text RegexWrapper::MatchText(int n, int* position) const {
  const std::size_t* offsets = Offsets(n);
  if (position != nullptr) *position = offsets ? static_cast<int>(offsets[0]) : -1;
  if (offsets == nullptr) return {};
  return subject_.substr(offsets[0], offsets[1] - offsets[0]);
}

Text RegexWrapper::SubMatchText(int n, int k, int* position) const {
  const std::size_t* offsets = Offsets(n);
  const bool taken = offsets != nullptr && k >= 1 && k <= group_count_ &&
                     offsets[2 * k] != PCRE2_UNSET && offsets[2 * k + 1] >= offsets[2 * k];
  if (position != nullptr) *position = taken ? static_cast<int>(offsets[2 * k]) : -1;
  if (!taken) return {};
  return subject_.substr(offsets[2 * k], offsets[2 * k + 1] - offsets[2 * k]);
}

Text RegexWrapper::ReplaceMatches(std::string_view replacement) const {
  if (!matched_) return {};
  Text out;
  out.reserve(subject_.size());
  std::size_t copied = 0;
  const auto append_group = [&](const std::size_t* offsets, int k) {
    const std::size_t start = offsets[2 * k], end = offsets[2 * k + 1];
    if (start != PCRE2_UNSET && end >= start) out.append(subject_, start, end - start);
  };
  const auto digit = [&](std::size_t at) {
    return at < replacement.size() && replacement[at] >= '0' && replacement[at] <= '9'
               ? replacement[at] - '0'
               : -1;
  };
  for (int n = 1; n <= MatchCount(); ++n) {
    const std::size_t* offsets = Offsets(n);
    out.append(subject_, copied, offsets[0] - copied);
    copied = offsets[1];
    for (std::size_t i = 0; i < replacement.size(); ++i) {
      const char c = replacement[i];
      if (c != '$' || i + 1 == replacement.size()) {
        out.push_back(c);
        continue;
      }
      const char next = replacement[i + 1];
      const int d1 = digit(i + 1), d2 = digit(i + 2);
      if (next == '$') {
        out.push_back('$');
        ++i;
      } else if (next == '&') {
        append_group(offsets, 0);
        ++i;
      } else if (next == '`') {
        out.append(subject_, 0, offsets[0]);
        ++i;
      } else if (next == '\'') {
        out.append(subject_, offsets[1]);
        ++i;
      } else if (d1 >= 0 && d2 >= 0 && d1 * 10 + d2 >= 1 && d1 * 10 + d2 <= group_count_) {
        append_group(offsets, d1 * 10 + d2);  // two digits when that group exists
        i += 2;
      } else if (d1 >= 1 && d1 <= group_count_) {
        append_group(offsets, d1);
        ++i;
      } else {
        out.push_back('$');  // anything else stands for itself
      }
    }
  }
  out.append(subject_, copied);
  return out;
}

}  // namespace wuqu
