#pragma once

#include <array>

#include "text/text.h"

// The texts of the window definition: each control's initial content, in
// program text (code page 936).
namespace wuqu::window_texts {

inline const Text kTrackIdLabel = "\xB8\xE8\xC7\xFAID:";  // 歌曲ID:
inline const Text kDefaultTrackId = "116717";
inline const Text kPlayButton = "\xB2\xA5\xB7\xC5";                            // 播放
inline const Text kDownloadButton = "\xCF\xC2\xD4\xD8";                        // 下载
inline const Text kAddressLabel = "\xCF\xC2\xD4\xD8\xB5\xD8\xD6\xB7\xA3\xBA";  // 下载地址：
inline const Text kThreadsLabel = "\xCF\xDF\xB3\xCC\xCA\xFD\xA3\xBA";          // 线程数：
inline const Text kDefaultThreads = "20";
// 歌曲ID就是DJ播放页面网址后面的数字
inline const Text kTrackIdHint =
    "\xB8\xE8\xC7\xFAID\xBE\xCD\xCA\xC7"
    "DJ\xB2\xA5\xB7\xC5\xD2\xB3\xC3\xE6\xCD\xF8\xD6\xB7\xBA\xF3\xC3\xE6\xB5\xC4\xCA\xFD\xD7\xD6";
inline const Text kCategoryPrompt =
    "\xC7\xEB\xD1\xA1\xD4\xF1\xCE\xE8\xC7\xFA\xC0\xE0\xD0\xCD";  // 请选择舞曲类型

// The category chooser's items; the listing addresses are looked up by their index.
inline const std::array<Text, 10> kCategoryCaptions = {
    "\xC2\xFD\xD2\xA1\xB4\xAE\xC9\xD5",  // 慢摇串烧
    "\xCF\xD6\xB3\xA1\xCE\xE8\xC7\xFA",  // 现场舞曲
    "\xD6\xD0\xCE\xC4\xCE\xE8\xC7\xFA",  // 中文舞曲
    "\xB5\xE7\xD2\xF4\xE0\xCB\xC7\xFA",  // 电音嗨曲
    "\xC2\xFD\xB8\xE8\xD2\xF4\xC0\xD6",  // 慢歌音乐
    "\xBE\xC6\xB0\xC9"
    "CLUB",  // 酒吧CLUB
    "\xD3\xA2\xCE\xC4"
    "CLUB",                              // 英文CLUB
    "\xC2\xFD\xD2\xA1\xCE\xE8\xC7\xFA",  // 慢摇舞曲
    "\xD3\xA2\xCE\xC4"
    "disco",                             // 英文disco
    "\xBD\xBB\xD2\xEA\xCE\xE8\xC7\xFA",  // 交谊舞曲
};

// Track list headers.
// 舞曲名称-左键单击试听--右键单击下载
inline const Text kTitleColumn =
    "\xCE\xE8\xC7\xFA\xC3\xFB\xB3\xC6-\xD7\xF3\xBC\xFC\xB5\xA5\xBB\xF7\xCA\xD4\xCC\xFD--"
    "\xD3\xD2\xBC\xFC\xB5\xA5\xBB\xF7\xCF\xC2\xD4\xD8";
inline const Text kAddressColumn = "\xB5\xD8\xD6\xB7";  // 地址

// Names that assistive technology reads for the controls that show no text
// of their own.
inline const Text kTrackListName = "\xCE\xE8\xC7\xFA\xC1\xD0\xB1\xED";    // 舞曲列表
inline const Text kPlayerName = "\xB2\xA5\xB7\xC5\xC6\xF7";               // 播放器
inline const Text kProgressBarName = "\xCF\xC2\xD4\xD8\xBD\xF8\xB6\xC8";  // 下载进度
inline const Text kCloseButtonName = "\xB9\xD8\xB1\xD5";                  // 关闭
inline const Text kMinimiseButtonName = "\xD7\xEE\xD0\xA1\xBB\xAF";       // 最小化
inline const Text kPlayerPlayName = "\xB2\xA5\xB7\xC5\xCA\xD4\xCC\xFD";   // 播放试听
inline const Text kPlayerPauseName = "\xD4\xDD\xCD\xA3\xCA\xD4\xCC\xFD";  // 暂停试听
inline const Text kPlayerPositionName = "\xBD\xF8\xB6\xC8";               // 进度
inline const Text kPlayerVolumeName = "\xD2\xF4\xC1\xBF";                 // 音量

}  // namespace wuqu::window_texts
