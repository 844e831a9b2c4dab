#include "catalogue/status_line.h"

#include <string>

#include "text/ui_texts.h"

namespace wuqu::catalogue {
namespace {

using download::FailureCause;

struct CauseText {
  FailureCause cause;
  const UiText& text;
};

// Every cause the downloader reports, in the user's words. The server's
// status follows its text when the server gave one.
const CauseText kCauseTexts[] = {
    {FailureCause::kNetwork, ui_texts::kCauseNetwork},
    {FailureCause::kHttpStatus, ui_texts::kCauseHttpStatus},
    {FailureCause::kChanged, ui_texts::kCauseChanged},
    {FailureCause::kEncodingRefused, ui_texts::kCauseEncodingRefused},
    {FailureCause::kStalled, ui_texts::kCauseStalled},
    {FailureCause::kDisk, ui_texts::kCauseDisk},
    {FailureCause::kAddressRefused, ui_texts::kCauseAddressRefused},
};

const UiText& kOrdinal = ui_texts::kBatchOrdinal;
const UiText& kTrackUnit = ui_texts::kBatchTrackUnit;
const UiText& kInAll = ui_texts::kBatchInAll;
const UiText& kComma = ui_texts::kBatchComma;
const UiText& kFailures = ui_texts::kBatchFailures;
constexpr std::string_view kGap = "   ";
const UiText& kAlready = ui_texts::kBatchAlreadyThere;
const UiText& kCancelled = ui_texts::kBatchCancelled;
const UiText& kEllipsis = ui_texts::kNameEllipsis;

// The byte length of each character of program text: two for a lead byte
// followed by a trail byte, one otherwise.
std::vector<std::size_t> CharacterStarts(const Text& text) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < text.size(); ++i) {
    starts.push_back(i);
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x81 && c <= 0xFE && i + 1 < text.size()) {
      const auto t = static_cast<unsigned char>(text[i + 1]);
      if (t >= 0x40 && t <= 0xFE && t != 0x7F) ++i;
    }
  }
  return starts;
}

Text Number(int n) {
  return std::to_string(n);
}

}  // namespace

Text FailureCauseText(FailureCause cause, int http_status) {
  for (const CauseText& entry : kCauseTexts) {
    if (entry.cause != cause) continue;
    if (cause != FailureCause::kHttpStatus) return entry.text;
    return http_status > 0 ? entry.text.Gbk() + Number(http_status)
                           : ui_texts::kCauseServerError.Gbk();
  }
  return ui_texts::kCauseUnknown;
}

Text FailedStatus(const download::TaskState& state) {
  return ui_texts::kFailedLinePrefix.Gbk() + FailureCauseText(state.cause, state.http_status);
}

std::vector<Text> BatchPositionForms(int position, int total) {
  const Text of = Number(position) + "/" + Number(total);
  return {Text(kGap) + Text(kOrdinal) + " " + of + " " + Text(kTrackUnit), Text(kGap) + of,
          " " + of, Text()};
}

std::vector<Text> BatchEndForms(int total, int failed, int already, int cancelled) {
  const Text tracks = Number(total) + Text(kTrackUnit);
  const Text failures = Text(kFailures) + Number(failed);
  const Text long_already = already > 0 ? Text(kComma) + Text(kAlready) + " " + Number(already) +
                                              " " + Text(kTrackUnit)
                                        : Text();
  const Text long_cancelled = cancelled > 0 ? Text(kComma) + Text(kCancelled) + " " +
                                                  Number(cancelled) + " " + Text(kTrackUnit)
                                            : Text();
  const Text short_cancelled =
      cancelled > 0 ? " " + Text(kCancelled) + Number(cancelled) : Text();
  const Text short_already = already > 0 ? " " + Text(kAlready) + Number(already) : Text();
  const Text short_rest = short_already + short_cancelled;
  std::vector<Text> forms = {
      Text(kGap) + Text(kInAll) + " " + Number(total) + " " + Text(kTrackUnit) + Text(kComma) +
          Text(kFailures) + " " + Number(failed) + " " + Text(kTrackUnit) + long_already +
          long_cancelled,
      Text(kGap) + Text(kInAll) + tracks + " " + failures + short_rest,
      " " + Text(kInAll) + tracks + " " + failures + short_rest,
      " " + tracks + " " + failures + short_rest, " " + failures + short_rest};
  // What the user cancelled outlasts the tracks that were there already.
  if (already > 0 && cancelled > 0) forms.push_back(" " + failures + short_cancelled);
  if (already > 0 || cancelled > 0) forms.push_back(" " + failures);
  return forms;
}

Text FitName(const Text& before, const Text& name, const Text& after, const LabelControl& label) {
  if (label.Fits(before + name + after)) return before + name + after;
  const std::vector<std::size_t> starts = CharacterStarts(name);
  const std::size_t count = starts.size();
  if (count <= 2) return before + name + after;
  // Characters kept: the first `head` and the last `tail`, fewer each round.
  Text line;
  for (std::size_t keep = count - 1; keep >= 2; --keep) {
    const std::size_t head = (keep + 1) / 2;
    const std::size_t tail = keep - head;
    line = before + name.substr(0, starts[head]) + Text(kEllipsis) +
           name.substr(starts[count - tail]) + after;
    if (label.Fits(line)) return line;
  }
  return line;
}

}  // namespace wuqu::catalogue
