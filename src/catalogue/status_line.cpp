#include "catalogue/status_line.h"

#include <string>

namespace wuqu::catalogue {
namespace {

using download::FailureCause;

struct CauseText {
  FailureCause cause;
  std::string_view text;
};

// Every cause the downloader reports, in the user's words. The server's
// status follows its text when the server gave one.
constexpr CauseText kCauseTexts[] = {
    {FailureCause::kNetwork, "\xCD\xF8\xC2\xE7\xB2\xBB\xCD\xA8"},  // 网络不通
    {FailureCause::kHttpStatus,
     "\xB7\xFE\xCE\xF1\xC6\xF7\xB7\xB5\xBB\xD8 "},  // 服务器返回 + status
    {FailureCause::kChanged,
     "\xB7\xFE\xCE\xF1\xC6\xF7\xC9\xCF\xCE\xC4\xBC\xFE\xD2\xD1\xB1\xE4"},  // 服务器上文件已变
    {FailureCause::kEncodingRefused,
     "\xB7\xFE\xCE\xF1\xC6\xF7\xC7\xBF\xD6\xC6\xD1\xB9\xCB\xF5"},  // 服务器强制压缩
    {FailureCause::kStalled, "\xB4\xAB\xCA\xE4\xCD\xA3\xD6\xCD"},  // 传输停滞
    {FailureCause::kDisk,
     "\xB4\xC5\xC5\xCC\xC2\xFA\xBB\xF2\xD0\xB4\xC8\xEB\xCA\xA7\xB0\xDC"},  // 磁盘满或写入失败
    {FailureCause::kAddressRefused,
     "\xB5\xD8\xD6\xB7\xB2\xBB\xBF\xC9\xCF\xC2\xD4\xD8"},  // 地址不可下载
};
// 服务器出错: a status cause without a status.
constexpr std::string_view kServerError = "\xB7\xFE\xCE\xF1\xC6\xF7\xB3\xF6\xB4\xED";
// 原因不明: a failure without a cause of the set.
constexpr std::string_view kUnknownCause = "\xD4\xAD\xD2\xF2\xB2\xBB\xC3\xF7";

constexpr std::string_view kOrdinal = "\xB5\xDA";           // 第
constexpr std::string_view kTrackUnit = "\xCA\xD7";         // 首
constexpr std::string_view kInAll = "\xB9\xB2";             // 共
constexpr std::string_view kComma = "\xA3\xAC";             // ，
constexpr std::string_view kFailures = "\xCA\xA7\xB0\xDC";  // 失败
constexpr std::string_view kGap = "   ";
constexpr std::string_view kAlready = "\xD2\xD1\xD3\xD0";  // 已有
constexpr std::string_view kEllipsis = "\xA1\xAD";         // …

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
    if (cause != FailureCause::kHttpStatus) return Text(entry.text);
    return http_status > 0 ? Text(entry.text) + Number(http_status) : Text(kServerError);
  }
  return Text(kUnknownCause);
}

Text FailedStatus(const download::TaskState& state) {
  return Text(kFailedLinePrefix) + FailureCauseText(state.cause, state.http_status);
}

std::vector<Text> BatchPositionForms(int position, int total) {
  const Text of = Number(position) + "/" + Number(total);
  return {Text(kGap) + Text(kOrdinal) + " " + of + " " + Text(kTrackUnit), Text(kGap) + of,
          " " + of, Text()};
}

std::vector<Text> BatchEndForms(int total, int failed, int already) {
  const Text tracks = Number(total) + Text(kTrackUnit);
  const Text failures = Text(kFailures) + Number(failed);
  const Text long_already = already > 0 ? Text(kComma) + Text(kAlready) + " " + Number(already) +
                                              " " + Text(kTrackUnit)
                                        : Text();
  const Text short_already = already > 0 ? " " + Text(kAlready) + Number(already) : Text();
  std::vector<Text> forms = {
      Text(kGap) + Text(kInAll) + " " + Number(total) + " " + Text(kTrackUnit) + Text(kComma) +
          Text(kFailures) + " " + Number(failed) + " " + Text(kTrackUnit) + long_already,
      Text(kGap) + Text(kInAll) + tracks + " " + failures + short_already,
      " " + Text(kInAll) + tracks + " " + failures + short_already,
      " " + tracks + " " + failures + short_already, " " + failures + short_already};
  if (already > 0) forms.push_back(" " + failures);
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
