#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "download/disk_steps.h"
#include "download/resume_record.h"
#include "download/target_file.h"

// The file one download writes and the record beside it: the descriptors,
// the names (the file, its new and side names, its record), the record saves
// and the steps that end a download complete, each in the order a power cut
// needs (see DiskSteps).
namespace wuqu::download {

class DownloadFile {
 public:
  DownloadFile(const std::string& target, const DiskSteps& disk);
  ~DownloadFile();  // closes whatever is open; a side file is left for Discard
  DownloadFile(const DownloadFile&) = delete;
  DownloadFile& operator=(const DownloadFile&) = delete;

  const std::string& target() const { return target_; }
  bool is_open() const { return fd_ >= 0; }

  // The record an earlier run left for `source`, with the very file it
  // describes opened; nullopt (and nothing open) when there is none that fits.
  std::optional<ResumeRecord> FindRecord(const std::string& source);
  // Lets go of the file FindRecord opened.
  void DropRecordedFile();
  // Writes on into the file FindRecord opened, which `record` describes.
  void UseRecordedFile(const ResumeRecord& record);

  // Makes the file anew with `size` bytes and puts it in place of any older
  // file of that name (which stays untouched until then). `empty_record`,
  // claiming nothing, is saved first when size > 0.
  bool Create(std::uint64_t size, ResumeRecord empty_record);
  // For a download of unknown length: an empty file beside the target.
  bool CreateSide();

  // Saves `record` (its file identity filled in) once the bytes it claims
  // are flushed.
  bool SaveRecord(ResumeRecord record);

  bool Write(const char* data, std::size_t n, std::uint64_t offset);
  bool Read(char* data, std::size_t n, std::uint64_t offset);
  void StartWriteback();

  // The file in place is complete: its bytes flushed, closed, the folder
  // flushed (the name it took lasts), then its record removed.
  bool FinishInPlace();
  // The side file is complete: flushed, closed, renamed to the target, the
  // folder flushed, then any older record removed.
  bool FinishSide();

  // Closes the file (its record, if any, stays as last saved).
  void Close();
  // Removes the side file.
  void DiscardSide();
  // For a download cancelled: closes the file and removes what it leaves
  // unfinished. The side file; the file in place only when this download
  // made it or continues the one its record describes, and then the file
  // before its record (flushed in between), so no unfinished file is ever
  // left under the target's name without its record. An older file it never
  // touched, and one it or an earlier run completed, stay.
  void Discard();

 private:
  std::string target_;
  std::string record_path_;
  std::string new_path_;
  std::string side_path_;
  const DiskSteps& disk_;
  int fd_ = -1;
  int recorded_fd_ = -1;  // opened by FindRecord
  // The file in place is this download's unfinished one: made by Create, or
  // the one a found record describes and claims not every byte of.
  bool unfinished_in_place_ = false;
  FileIdentity identity_;
};

}  // namespace wuqu::download
