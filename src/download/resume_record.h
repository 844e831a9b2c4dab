#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "download/disk_steps.h"

// The resume record an unfinished download keeps beside its file
// ("<file>.wuqu-resume"): which server file the bytes came from and which
// byte ranges of the file hold them. It only ever names bytes that were in
// the file before the record was written, so a process killed at any moment
// leaves a record that is still true.
//
// Form (text, one field a line, bytes below 0x20, "%" and 0x7F escaped %XX):
//   wuqu-resume 1
//   source <the identity of the source its user gave, any bytes>
//   size <bytes>
//   etag <ETag as the server sent it, may be empty>
//   modified <Last-Modified as the server sent it, may be empty>
//   file <device>:<inode>
//   done <first>-<end> ...      (half-open ranges, ascending, apart)
//   crc32 <8 hex digits over every byte before this line>
namespace wuqu::download {

struct ResumeRecord {
  std::string source;
  std::uint64_t size = 0;
  std::string etag;
  std::string last_modified;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  // Half-open ranges [first, end) of the file that hold downloaded bytes.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> done;

  std::uint64_t DoneBytes() const;
  bool operator==(const ResumeRecord&) const = default;
};

// Name of the record that belongs to `target_path` (both UTF-8 paths).
std::string ResumeRecordPath(const std::string& target_path);

std::string EncodeResumeRecord(const ResumeRecord& record);
// nullopt for anything damaged: a wrong checksum, a field out of place,
// ranges that overlap, touch, run backwards or reach past the size.
std::optional<ResumeRecord> DecodeResumeRecord(std::string_view bytes);

// Writes the record beside the file through a temporary file, flushed, renamed
// into place and its folder flushed, so a reader finds either the old record
// or the new one, never a mix, also after a power cut.
bool SaveResumeRecord(const std::string& record_path, const ResumeRecord& record,
                      const DiskSteps& disk = DiskSteps());
// nullopt when there is no record, it is not a plain file, is too large or is damaged.
std::optional<ResumeRecord> LoadResumeRecord(const std::string& record_path);

// CRC-32 (IEEE 802.3, as zlib computes it).
std::uint32_t Crc32(std::string_view bytes);

}  // namespace wuqu::download
