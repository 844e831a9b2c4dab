#pragma once

#include <cstdint>
#include <string>

// File-system queries of the program. Paths are UTF-8, as stored on disk.
namespace wuqu {

// Size in bytes of the file at `utf8_path`; -1 when there is no such file.
std::int64_t FileSize(const std::string& utf8_path);

// The folder that holds the running program file, without a trailing separator.
std::string ProgramFolder();

// The separator between the parts of a path on this platform.
inline constexpr char kPathSeparator = '/';

}  // namespace wuqu
