#pragma once

#include <vector>

#include "catalogue/catalogue_window.h"
#include "download/task_state.h"
#include "text/text.h"

// What the status line 标签EX3 says beyond the running and the finished line
// of one download: why a download failed, and where a batch of downloads
// stands. Every text is program text (code page 936).
namespace wuqu::catalogue {

// The short cause of a failed download, from the downloader's state: the
// server's status with its code, the network, the disk, and so on. The one
// place that turns a cause into words.
Text FailureCauseText(download::FailureCause cause, int http_status);

// The failure line's status text: ui_texts::kFailedLinePrefix + the cause.
Text FailedStatus(const download::TaskState& state);

// Endings of the status line for a batch, longest first; the display takes
// the first that fits the label and shortens rather than clips. The last
// form is the shortest that still says what matters.
//   running or failed track: "   第 3/12 首", "   3/12", " 3/12", ""
std::vector<Text> BatchPositionForms(int position, int total);
//   the batch's end: "   共 12 首，失败 1 首", "   共12首 失败1", " 共12首 失败1",
//   " 12首 失败1", " 失败1"; with tracks that were there already, their count
//   after the failures: "   共 12 首，失败 1 首，已有 3 首", "   共12首 失败1 已有3",
//   " 共12首 失败1 已有3", " 12首 失败1 已有3", " 失败1 已有3", " 失败1"
//   with tracks the user cancelled, their count last: "   共 12 首，失败 1 首，
//   已有 3 首，取消 2 首", "   共12首 失败1 已有3 取消2", " 共12首 失败1 已有3 取消2",
//   " 12首 失败1 已有3 取消2", " 失败1 已有3 取消2", " 失败1 取消2", " 失败1"
std::vector<Text> BatchEndForms(int total, int failed, int already = 0, int cancelled = 0);

// `before` + `name` + `after` when it fits `label`; else with `name` cut in
// its middle, whole characters at a time, around an ellipsis "…" until it
// fits; its first and last character stay however narrow the label.
Text FitName(const Text& before, const Text& name, const Text& after, const LabelControl& label);

}  // namespace wuqu::catalogue
