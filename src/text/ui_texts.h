#pragma once

#include <array>
#include <mutex>
#include <string_view>

#include "text/text.h"

namespace wuqu {

// A text the user sees, written as UTF-8 so that it reads as it shows. Its
// program-text form (code page 936) is made once, on first use.
class UiText {
 public:
  constexpr explicit UiText(std::string_view utf8) : utf8_(utf8) {}
  UiText(const UiText&) = delete;
  UiText& operator=(const UiText&) = delete;

  std::string_view Utf8() const { return utf8_; }
  const Text& Gbk() const;
  operator const Text&() const { return Gbk(); }

 private:
  std::string_view utf8_;
  mutable std::once_flag made_;
  mutable Text gbk_;
};

// Every text of the window, the player, the status line and the message
// boxes, in one place.
namespace ui_texts {

// The window's controls, as they start.
inline const UiText kTrackIdLabel{"歌曲ID:"};
inline const UiText kDefaultTrackId{"116717"};
inline const UiText kPlayButton{"播放"};
inline const UiText kDownloadButton{"下载"};
inline const UiText kAddressLabel{"下载地址："};
inline const UiText kThreadsLabel{"线程数："};
inline const UiText kDefaultThreads{"20"};
inline const UiText kTrackIdHint{"歌曲ID就是DJ播放页面网址后面的数字"};
inline const UiText kCategoryPrompt{"请选择舞曲类型"};

// The category chooser's items; the listing addresses are looked up by
// their index, so the order is fixed.
inline const std::array<UiText, 10> kCategoryCaptions = {
    UiText{"慢摇串烧"},  UiText{"现场舞曲"}, UiText{"中文舞曲"}, UiText{"电音嗨曲"},
    UiText{"慢歌音乐"},  UiText{"酒吧CLUB"}, UiText{"英文CLUB"}, UiText{"慢摇舞曲"},
    UiText{"英文disco"}, UiText{"交谊舞曲"},
};

// Track list headers.
inline const UiText kTitleColumn{"舞曲名称-左键单击试听--右键单击下载"};
inline const UiText kAddressColumn{"地址"};

// Names that assistive technology reads for the controls that show no text
// of their own.
inline const UiText kTrackListName{"舞曲列表"};
inline const UiText kPlayerName{"播放器"};
inline const UiText kProgressBarName{"下载进度"};
inline const UiText kCloseButtonName{"关闭"};
inline const UiText kMinimiseButtonName{"最小化"};
inline const UiText kPlayerPlayName{"播放试听"};
inline const UiText kPlayerPauseName{"暂停试听"};
inline const UiText kPlayerPositionName{"进度"};
inline const UiText kPlayerVolumeName{"音量"};
inline const UiText kFindFieldName{"查找舞曲"};  // the track list's find field
// The actions of a row of the track list.
inline const UiText kPreviewActionName{"试听"};
inline const UiText kDownloadActionName{"下载"};

// What the player shows when it cannot play.
inline const UiText kCannotOpen{"无法打开媒体"};       // the address gave nothing to play
inline const UiText kCannotDecode{"媒体无法解码"};     // not media the player can decode
inline const UiText kServerAnswered{"，服务器返回 "};  // + the status

// The two message boxes of a listing fill.
inline const UiText kPatternFailedMessage{"正则创建失败，请检查正则表达式语句是否有误！"};
// The doubled 检 and the closing "0" are part of the message.
inline const UiText kNoMatchMessage{"匹配失败，请检检查正则语句是否有误，数量：0"};

// The folder beside the program that takes every download.
inline const UiText kDownloadFolderName{"下载"};

// The status line: the running, the finished and the failed line begin with
// these (three full stops, two blanks, and for the first two one blank at
// the end).
inline const UiText kRunningLinePrefix{"正在下载...  已下载 "};
inline const UiText kFinishedLinePrefix{"下载完成...  已下载 "};
inline const UiText kFailedLinePrefix{"下载失败...  "};

// Why a download failed, after kFailedLinePrefix.
inline const UiText kCauseNetwork{"网络不通"};
inline const UiText kCauseHttpStatus{"服务器返回 "};  // + the status
inline const UiText kCauseServerError{"服务器出错"};  // a status cause without a status
inline const UiText kCauseChanged{"服务器上文件已变"};
inline const UiText kCauseEncodingRefused{"服务器强制压缩"};
inline const UiText kCauseStalled{"传输停滞"};
inline const UiText kCauseDisk{"磁盘满或写入失败"};
inline const UiText kCauseAddressRefused{"地址不可下载"};
inline const UiText kCauseUnknown{"原因不明"};

// Where a batch stands: "第 3/12 首", "共 12 首，失败 1 首".
inline const UiText kBatchOrdinal{"第"};
inline const UiText kBatchTrackUnit{"首"};
inline const UiText kBatchInAll{"共"};
inline const UiText kBatchComma{"，"};
inline const UiText kBatchFailures{"失败"};
inline const UiText kBatchAlreadyThere{"已有"};  // tracks not fetched: their files were there
inline const UiText kBatchCancelled{"取消"};     // tracks the user cancelled

// A track not fetched because its file is there: this, then the file's name.
inline const UiText kAlreadyThereLinePrefix{"已下载过  "};
// A download asked for alone that the user paused or cancelled: this, then
// the file's name.
inline const UiText kPausedLinePrefix{"已暂停  "};
inline const UiText kCancelledLinePrefix{"已取消  "};
// Stands for the middle of a file name cut to fit the status line.
inline const UiText kNameEllipsis{"…"};

// What a row of the track list says to screen readers of its track's last
// download.
inline const UiText kRowOnDisk{"已下载"};
inline const UiText kRowFailed{"下载失败"};
// Of a track new in its category (the row's badge 新), said first and joined
// to the above: "新曲目，已下载".
inline const UiText kRowNew{"新曲目"};
inline const UiText kRowNewBadge{"新"};
inline const UiText kRowDescriptionJoin{"，"};

// Where one of the user's downloads stands (the downloads list's 状态).
inline const UiText kDownloadStateWaiting{"等待"};
inline const UiText kDownloadStateRunning{"下载中"};  // + " n%"
inline const UiText kDownloadStatePaused{"已暂停"};
inline const UiText kDownloadStateComplete{"已完成"};
inline const UiText kDownloadStateAlreadyThere{"已下载过"};
inline const UiText kDownloadStateFailed{"下载失败"};  // + " " + the cause
inline const UiText kDownloadStateCancelled{"已取消"};

// The status line's menu (a right click on it).
inline const UiText kStatusMenuPause{"暂停"};
inline const UiText kStatusMenuResume{"继续"};
inline const UiText kStatusMenuCancel{"取消"};
inline const UiText kStatusMenuCancelBatch{"取消整批"};
inline const UiText kStatusMenuRetryFailures{"重试失败的曲目"};
inline const UiText kStatusMenuDownloadsWindow{"下载列表…"};

// The downloads window 下载列表: its title, columns, buttons (also its rows'
// menu) and its menu.
inline const UiText kDownloadsWindowTitle{"下载列表"};
inline const UiText kDownloadsTableName{"下载列表的曲目"};
inline const UiText kDownloadsColumnTitle{"曲目"};
inline const UiText kDownloadsColumnState{"状态"};
inline const UiText kDownloadsColumnSize{"大小"};
inline const UiText kDownloadsColumnSpeed{"速度"};
inline const UiText kDownloadsColumnLeft{"剩余"};
inline const UiText kDownloadsPause{"暂停"};
inline const UiText kDownloadsResume{"继续"};
inline const UiText kDownloadsCancel{"取消"};
inline const UiText kDownloadsRetry{"重试"};
inline const UiText kDownloadsShowInFolder{"打开所在文件夹"};
inline const UiText kDownloadsClearEnded{"清除已结束"};
inline const UiText kDownloadsRemove{"从列表中删除"};
inline const UiText kDownloadsPlay{"播放"};
inline const UiText kDownloadsMenu{"设置"};
inline const UiText kDownloadsWriteTags{"写入曲目信息"};

// The desktop notification at the end of a download or a batch.
inline const UiText kNoticeDone{"下载完成"};
inline const UiText kNoticeFailed{"下载失败"};
inline const UiText kNoticeBatchOver{"批量下载结束"};
inline const UiText kNoticeComplete{"完成"};

}  // namespace ui_texts
}  // namespace wuqu
