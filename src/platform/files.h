#pragma once

#include <cstdint>
#include <string>

// File-system queries of the program. Paths are UTF-8, as stored on disk.
namespace wuqu {

// Size in bytes of the file at `utf8_path`; -1 when there is no such file.
std::int64_t FileSize(const std::string& utf8_path);

// The folder that holds the running program file, without a trailing separator.
std::string ProgramFolder();

// Whether the running process can make files in the folder `utf8_path`: it
// makes one and removes it again, so permissions, read-only mounts and
// access lists all count as they will for a download.
bool CanWriteInFolder(const std::string& utf8_path);

// Whether `utf8_path` names an existing folder.
bool IsFolder(const std::string& utf8_path);

// Makes the folder `utf8_path` and every missing folder above it; true when
// it exists as a folder afterwards.
bool MakeFolders(const std::string& utf8_path);

// The separator between the parts of a path on this platform.
inline constexpr char kPathSeparator = '/';

}  // namespace wuqu
