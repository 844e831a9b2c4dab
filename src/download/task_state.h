#pragma once

#include <cstdint>
#include <memory>
#include <string>

// What the window side can read of one download: whether it runs, ended
// complete, ended for good with a cause from a small fixed set, or was
// paused or cancelled on request.
namespace wuqu::download {

// Names one download of a downloader; StartTask hands them out from 1 on.
using TaskId = std::uint64_t;
inline constexpr TaskId kNoTask = 0;

enum class TaskPhase {
  kNone,      // no such download (never started, or kNoTask)
  kRunning,   // waiting for its turn, asking the server, or transferring
  kComplete,  // the file holds every byte the server sent for it
  kFailed,    // ended for good; see FailureCause
  kStopped,   // released, or replaced by a newer download to the same file
  // Ended on request, not a failure. A paused one keeps its partial file and
  // resume record, to be continued by a new Start; a cancelled one left
  // neither behind.
  kPaused,
  kCancelled,
};

enum class FailureCause {
  kNone,
  kNetwork,          // the server could not be reached, or kept failing
  kHttpStatus,       // the server answered with a status that is not the file
  kChanged,          // the file changed on the server during the download
  kEncodingRefused,  // the server insisted on sending the file encoded
  kStalled,          // no byte arrived on any connection for too long
  kDisk,             // the file could not be made or written (disk full included)
  kAddressRefused,   // not an http or https address
};

// What names the version of the server's file a download holds: the ETag
// and Last-Modified of the reply it took, as the server sent them (for a
// resumed download the same as its resume record's). Either may be empty.
struct Validators {
  std::string etag;
  std::string last_modified;
  bool operator==(const Validators&) const = default;
};

struct TaskState {
  TaskPhase phase = TaskPhase::kNone;
  FailureCause cause = FailureCause::kNone;
  int http_status = 0;          // the last final status the server answered with
  std::int64_t size = -1;       // the file's size once known
  std::int64_t file_bytes = 0;  // bytes of the target file in place, resumed ones included
  std::int64_t written = 0;     // every byte written for this download
  int peak_connections = 0;     // most transfers open at once
  std::int64_t requests = 0;    // requests sent, retries included
  int receiving = 0;            // connections receiving a reply now
  int connection_target = 0;    // connections the host allows now (its limit once learned)
  // Set once a reply that names its version is taken (a new one when the
  // download starts over on a changed file); null before, and for a server
  // that names none. Shared, so a copy of the state stays cheap.
  std::shared_ptr<const Validators> validators{};
};

}  // namespace wuqu::download
