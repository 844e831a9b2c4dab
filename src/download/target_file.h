#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The file a download writes, on disk: made beside its final name and put in
// place by a rename, written and read at offsets. Paths are UTF-8.
namespace wuqu::download {

// Which file on which device: a resume record names the very file it describes.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// A new file of known size is made here and renamed into place.
std::string NewFilePath(const std::string& target);
// A download of unknown length grows here and takes the target's place once complete.
std::string SideFilePath(const std::string& target);

// Creates the folder that holds `path` when it is missing, but only that one:
// its own parent must exist. A target whose folders are not there (an address
// mangled on its way into program text, say) fails instead of planting a tree
// of folders somewhere else.
bool MakeTargetFolder(const std::string& path);

// A name that is the same for two spellings of one path ("a/./b", "/x/../a/b"
// and a folder reached through a link), so two downloads to one file are
// recognised as such.
std::string TargetKey(const std::string& path);

// Makes `path` anew (an older file there is removed first), open for reading
// and writing, with `size` bytes reserved so that a full disk fails here and
// not half way. Returns the descriptor, or -1.
int CreateSizedFile(const std::string& path, std::uint64_t size, FileIdentity* identity);

// Opens the file a resume record describes: a plain file (not a link) of
// `size` bytes that is still the same file. -1 otherwise.
int OpenRecordedFile(const std::string& path, std::uint64_t size, const FileIdentity& identity);

// Makes `path` anew, empty, for a download of unknown length. -1 on failure.
int CreateSideFile(const std::string& path);

// Every byte, or false (errno says why).
bool WriteAt(int fd, const char* data, std::size_t n, std::uint64_t offset);
bool ReadAt(int fd, char* data, std::size_t n, std::uint64_t offset);

}  // namespace wuqu::download
