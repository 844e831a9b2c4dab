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

std::vector<Text> BatchEndForms(int total, int failed) {
  const Text tracks = Number(total) + Text(kTrackUnit);
  const Text failures = Text(kFailures) + Number(failed);
  return {Text(kGap) + Text(kInAll) + " " + Number(total) + " " + Text(kTrackUnit) + Text(kComma) +
              Text(kFailures) + " " + Number(failed) + " " + Text(kTrackUnit),
          Text(kGap) + Text(kInAll) + tracks + " " + failures,
          " " + Text(kInAll) + tracks + " " + failures, " " + tracks + " " + failures,
          " " + failures};
}

}  // namespace wuqu::catalogue
