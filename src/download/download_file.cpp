#include "download/download_file.h"

#include <unistd.h>

namespace wuqu::download {

DownloadFile::DownloadFile(const std::string& target, const DiskSteps& disk)
    : target_(target),
      record_path_(ResumeRecordPath(target)),
      new_path_(NewFilePath(target)),
      side_path_(SideFilePath(target)),
      disk_(disk) {}

DownloadFile::~DownloadFile() {
  Close();
  DropRecordedFile();
}

std::optional<ResumeRecord> DownloadFile::FindRecord(const std::string& source) {
  DropRecordedFile();
  auto record = LoadResumeRecord(record_path_);
  if (!record || record->source != source || record->size == 0) return std::nullopt;
  recorded_fd_ = OpenRecordedFile(target_, record->size, {record->device, record->inode});
  if (recorded_fd_ < 0) return std::nullopt;
  // A record that claims every byte may be one a completed download failed
  // to remove: that file is not called unfinished.
  if (record->DoneBytes() < record->size) unfinished_in_place_ = true;
  return record;
}

void DownloadFile::DropRecordedFile() {
  if (recorded_fd_ >= 0) ::close(recorded_fd_);
  recorded_fd_ = -1;
}

void DownloadFile::UseRecordedFile(const ResumeRecord& record) {
  Close();
  fd_ = recorded_fd_;
  recorded_fd_ = -1;
  identity_ = {record.device, record.inode};
}

bool DownloadFile::Create(std::uint64_t size, ResumeRecord empty_record) {
  DropRecordedFile();
  Close();
  if (!MakeTargetFolder(target_)) return false;
  fd_ = CreateSizedFile(new_path_, size, &identity_);
  bool ok = fd_ >= 0;
  if (ok && size > 0) {
    ok = SaveRecord(std::move(empty_record));
  } else if (ok) {
    ::unlink(record_path_.c_str());
  }
  ok = ok && ::rename(new_path_.c_str(), target_.c_str()) == 0;
  if (ok) unfinished_in_place_ = true;
  if (!ok) {
    Close();
    ::unlink(new_path_.c_str());
  }
  return ok;
}

bool DownloadFile::CreateSide() {
  Close();
  if (!MakeTargetFolder(target_)) return false;
  fd_ = CreateSideFile(side_path_);
  return fd_ >= 0;
}

bool DownloadFile::SaveRecord(ResumeRecord record) {
  if (fd_ < 0) return false;
  record.device = identity_.device;
  record.inode = identity_.inode;
  // The bytes a record claims reach stable storage before the record does.
  if (!record.done.empty() && !disk_.FlushData(fd_, target_)) return false;
  return SaveResumeRecord(record_path_, record, disk_);
}

bool DownloadFile::Write(const char* data, std::size_t n, std::uint64_t offset) {
  return WriteAt(fd_, data, n, offset);
}

bool DownloadFile::Read(char* data, std::size_t n, std::uint64_t offset) {
  return ReadAt(fd_, data, n, offset);
}

void DownloadFile::StartWriteback() {
  if (fd_ >= 0) DiskSteps::StartWriteback(fd_);
}

bool DownloadFile::FinishInPlace() {
  const int fd = fd_;
  fd_ = -1;
  bool ok = fd < 0 || disk_.FlushData(fd, target_);
  ok = (fd < 0 || ::close(fd) == 0) && ok && disk_.FlushFolderOf(target_);
  if (ok) unfinished_in_place_ = false;
  if (ok) disk_.Remove(record_path_);
  return ok;
}

bool DownloadFile::FinishSide() {
  const int fd = fd_;
  fd_ = -1;
  bool ok = fd >= 0 && disk_.FlushData(fd, side_path_);
  ok = (fd < 0 || ::close(fd) == 0) && ok && disk_.Rename(side_path_, target_) &&
       disk_.FlushFolderOf(target_);
  // The file in place is complete: a record of an older, unfinished one is void.
  if (ok) unfinished_in_place_ = false;
  if (ok) disk_.Remove(record_path_);
  return ok;
}

void DownloadFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void DownloadFile::DiscardSide() {
  ::unlink(side_path_.c_str());
}

void DownloadFile::Discard() {
  Close();
  DropRecordedFile();
  DiscardSide();
  if (!unfinished_in_place_) return;
  // Should the record go first, a power cut could leave the unfinished file
  // under its final name with nothing to say it is unfinished.
  if (disk_.Remove(target_) && disk_.FlushFolderOf(target_)) disk_.Remove(record_path_);
  unfinished_in_place_ = false;
}

}  // namespace wuqu::download
