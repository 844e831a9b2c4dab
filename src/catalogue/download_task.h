#pragma once

#include <cstdint>
#include <optional>

#include "text/text.h"

namespace wuqu::catalogue {

// The record handed to the Downloader for each transfer: twenty fields in the
// downloader's own order. The program gives meaning only to the source
// address, the target path and the thread count; a start overwrites those and
// field 1, every other field keeps its start-up value for the program's life.
// Fields 19 and 20 hold no text at all, which is not the same as "".
struct DownloadTask {
  std::int32_t option_1 = 1;            //  1: 4096 once a download starts
  Text source_address;                  //  2: address to fetch
  Text target_path;                     //  3: file to write
  Text login_name = "anonymous";        //  4: for servers that ask for a login
  Text password = "guest@example.com";  //  5: anonymous password, e-mail form
  std::int32_t thread_count = 1;        //  6: parallel connections
  std::int32_t option_7 = 0;            //  7
  std::int32_t option_8 = 20000;        //  8
  std::int32_t option_9 = 20000;        //  9
  std::int32_t option_10 = 20000;       // 10
  std::int32_t option_11 = 1000;        // 11
  std::int32_t option_12 = 20480;       // 12
  std::int32_t option_13 = 1024;        // 13
  std::uint32_t option_14 = 0;          // 14
  std::uint32_t option_15 = 0;          // 15
  Text option_16;                       // 16
  std::int32_t option_17 = 1;           // 17
  Text extension_list = ".exe|.rar|.zip|.gif|.jpg|.mp3|.rm";  // 18
  std::optional<Text> option_19;                              // 19: no text
  std::optional<Text> option_20;                              // 20: no text
};

}  // namespace wuqu::catalogue
