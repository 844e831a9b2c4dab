#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "download/disk_steps.h"

// What a download is asked to do and the fixed working values it does it
// with: the types the downloader's user and its loop share.
namespace wuqu::download {

// One download as its user hands it over.
struct DownloadRequest {
  std::string url;     // http or https address in its wire form
  std::string target;  // UTF-8 path of the file to write
  int connections = 1;  // parallel connections; held within 1..64
  // Names the source in the resume record, so a record is only taken up by
  // a download of the same source. Empty: the url.
  std::string identity;
};

// Fixed working values of the downloader. The program always uses the
// defaults; tests and the benchmark driver may shorten the waits.
//
// What keeps a download moving, with the defaults:
// - a connection that receives fewer than low_speed_bytes (16 KiB) in
//   stall_timeout (15 s) is given up and its piece tried again on a fresh
//   connection; header lines without body bytes do not count;
// - a connection whose rate over the last slow_window (3 s) is under a tenth
//   of the rate the download's connections typically reach (their median)
//   loses the rest of its piece: at once to a connection that has nothing to
//   do, or, when none has, to a fresh connection once it has been that slow
//   for the whole window;
// - near the end, a piece too small to split whose holder would need more
//   than twice as long as a fresh connection (plus half a second) gets a
//   duplicate; the first to finish it wins and the other stops;
// - a download during which fewer than low_speed_bytes arrive on all its
//   connections together for task_stall_timeout (60 s) fails as stalled.
//
// How a host's limits are met:
// - 408, 429, 500, 502, 503 and 504 are retried with the backoff below, and
//   never sooner than a Retry-After (seconds or a date) of a 503 or 429; a
//   Retry-After longer than task_stall_timeout fails the download with its
//   status at once;
// - a 503 or 429, a refused connection, or one closed before any reply while
//   other connections of the download receive is the host's limit: the
//   host's connection target drops to the connections receiving (at least
//   one), the piece goes back at once for a connection that works, and after
//   limit_regrow_after without such a sign the target grows by one. Targets
//   are learned per host and port and kept for the downloader's life;
// - a failure counts against a piece only when its reply wrote no new byte,
//   so replies cut short keep going as long as each brings bytes, and a
//   server without ranges that never gets further than before fails.
struct DownloaderSettings {
  std::chrono::milliseconds stall_timeout{15000};
  std::uint64_t low_speed_bytes = 16 * 1024;
  std::chrono::milliseconds task_stall_timeout{60000};
  std::chrono::milliseconds slow_window{3000};
  // A connection's rate counts once its request has run this long.
  std::chrono::milliseconds judge_after{1000};
  std::chrono::milliseconds connect_timeout{15000};
  // Wait before the first retry of a piece; doubled for each further failure
  // in a row, up to retry_delay_max.
  std::chrono::milliseconds retry_delay{250};
  std::chrono::milliseconds retry_delay_max{8000};
  // Failures in a row without progress after which a connection gives up;
  // the download fails when no other connection is still getting on.
  int max_attempts = 8;
  // No piece is ever cut smaller than this. Taking over part of another's
  // piece costs one request on a connection already open, so a straggler
  // with a megabyte or two left can still be shared out.
  std::uint64_t min_segment = 256 * 1024;
  // Resuming a file whose server gave no validators, the first request also
  // asks for up to this many bytes already on disk and compares them.
  std::uint64_t verify_bytes = 64 * 1024;
  // A host's limited connection target grows by one after this long without
  // a sign of its limit.
  std::chrono::milliseconds limit_regrow_after{5000};
  // How often the resume record of a running download is brought up to date.
  std::chrono::milliseconds record_interval{1000};
  // Bytes each connection receives at once (at most 512 KiB).
  long receive_buffer = 512 * 1024;
  // Called on the downloader's thread right after each resume record is saved.
  std::function<void()> after_record_save;
  // Told, on the downloader's thread, of each flush, rename and removal that
  // decides what a power cut leaves. A record is saved only after the bytes
  // it claims are flushed; a file is called complete only after its bytes
  // (and, for one grown beside its name, its rename) are flushed, and before
  // its record is removed.
  DiskObserver on_disk_step;
};

}  // namespace wuqu::download
