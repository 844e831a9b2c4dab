#pragma once

// A small HTTP/1.1 server of the downloader tests that misbehaves on purpose:
// each request gets a reply shaped by a plan (encoded bodies, trickles,
// header lines without a body, garbage, broken status lines, HTTP/0.9,
// bytes after the reply, replies of another version, 200 to a range, replies
// cut short, ranges from elsewhere). Two versions of one file of the same size
// are served; the plan picks one. Like a real host it can also limit the
// requests it serves at once, and refuse each range's first try with 429.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "net/loopback_server.h"

namespace wuqu::download::testing {

// How the server answers one request.
struct HostileReply {
  enum class Form {
    kNormal,
    kGarbage,          // bytes that are no HTTP reply at all, then close
    kBrokenStatus,     // "HTTP/1.1 2x6 ..." and headers, then close
    kHttp09,           // the body without any status line or headers, then close
    kNoBody,           // a correct head, then close before the first body byte
    kResetMidBody,     // half the body, then close
    kHeaderDribble,    // a status line, then one header line every 300 ms, no body
    kStall,            // nothing at all until the server stops
    kCutAtThreeQuarters,  // a correct head, three quarters of the body (at least a byte), close
    kNoReply,          // close without a byte of reply
  };
  enum class Framing { kLength, kChunked, kClose };
  Form form = Form::kNormal;
  bool honour_range = true;  // false: 200 and the whole body even to a range
  bool ranges = true;        // false: "Accept-Ranges: none" as well
  bool etag = true;
  bool last_modified = true;
  int version = 0;
  // Non-empty: sent as Content-Encoding, with bytes that are not the file's.
  std::string content_encoding{};
  Framing framing = Framing::kLength;
  int trickle_bytes_per_second = 0;  // one byte at a time; 0: as fast as it goes
  std::uint64_t rate_bytes_per_second = 0;  // in 16 KiB steps; 0: as fast as it goes
  std::size_t extra_bytes = 0;       // sent after the reply, on the same connection
  std::int64_t length_error = 0;     // added to the Content-Length the head gives
  // A 206 answers from this many bytes after the first byte asked for.
  std::uint64_t start_later = 0;
};

// What the server does beyond its limit of requests served at once (nginx's
// limit_conn counts the same way).
struct HostLimit {
  int max_requests = 0;  // 0: no limit
  bool close = false;    // close without a reply instead of a 503 with Retry-After: 1
  // Each range's first try is answered 429 with this Retry-After (0: never).
  int retry_after_429 = 0;
};

// One request as the plan sees it. `number` counts from 1 over all connections.
struct HostileRequest {
  int number = 0;
  bool ranged = false;
  std::uint64_t first = 0;
  std::uint64_t last = 0;  // inclusive; size - 1 for an open range
};

using HostilePlan = std::function<HostileReply(const HostileRequest&)>;

// Bytes of version `version` of a file of `size` bytes: no run repeats at
// any short period, and the two versions differ at every offset.
inline std::string HostileContent(std::uint64_t size, int version) {
  std::string bytes(size, '\0');
  std::uint32_t x = 2463534242u + static_cast<std::uint32_t>(version) * 7919u;
  for (std::uint64_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<char>((x & 0x7F) | (version ? 0x80 : 0));
  }
  return bytes;
}

class HostileServer {
 public:
  HostileServer(std::uint64_t size, HostilePlan plan)
      : versions_{HostileContent(size, 0), HostileContent(size, 1)},
        plan_(std::move(plan)),
        server_([this](const wuqu::testing::RawRequest& r, wuqu::testing::RawConnection& c) {
          Serve(r, c);
        }) {}

  std::string Url() const { return server_.Url("/media/track.mp4"); }
  const std::string& Content(int version) const { return versions_[version]; }
  void SetPlan(HostilePlan plan) {
    std::lock_guard lock(mutex_);
    plan_ = std::move(plan);
  }
  int Requests() const { return count_.load(); }
  void SetLimit(HostLimit limit) {
    std::lock_guard lock(mutex_);
    limit_ = limit;
  }
  // Requests refused for the limit (503, a close, or 429).
  int Refused() const { return refused_.load(); }
  // Ranges asked for again before their 429's Retry-After had passed.
  int EarlyReturns() const { return early_.load(); }
  // Body bytes sent, over all replies.
  std::uint64_t BodyBytesSent() const { return body_sent_.load(); }
  std::vector<wuqu::testing::RawRequest> RawRequests() const { return server_.requests(); }

 private:
  static bool ParseRange(const std::string& value, std::uint64_t size, HostileRequest& r) {
    if (!value.starts_with("bytes=")) return false;
    const auto dash = value.find('-', 6);
    if (dash == std::string::npos || dash == 6) return false;
    r.first = std::stoull(value.substr(6, dash - 6));
    r.last = dash + 1 < value.size() ? std::stoull(value.substr(dash + 1)) : size - 1;
    if (r.last >= size) r.last = size - 1;
    return r.first <= r.last;
  }

  // A request beyond the limit is answered here; true when it was.
  bool Refuse(const HostileRequest& request, wuqu::testing::RawConnection& c) {
    std::unique_lock lock(mutex_);
    const HostLimit limit = limit_;
    if (limit.retry_after_429 > 0 && request.ranged) {
      const auto now = std::chrono::steady_clock::now();
      const auto [it, first_try] = refused_at_.try_emplace(request.first, now);
      if (first_try) {
        lock.unlock();
        ++refused_;
        c.Write("HTTP/1.1 429 Too Many Requests\r\nRetry-After: " +
                std::to_string(limit.retry_after_429) + "\r\nContent-Length: 0\r\n\r\n");
        return true;
      }
      if (now - it->second < std::chrono::seconds(limit.retry_after_429)) ++early_;
    }
    if (limit.max_requests > 0 && serving_ >= limit.max_requests) {
      lock.unlock();
      ++refused_;
      if (!limit.close)
        c.Write("HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n");
      else
        c.Close();
      return true;
    }
    ++serving_;
    return false;
  }

  void Serve(const wuqu::testing::RawRequest& raw, wuqu::testing::RawConnection& c) {
    const std::uint64_t size = versions_[0].size();
    HostileRequest request;
    request.number = ++count_;
    request.ranged = ParseRange(raw.Header("Range"), size, request);
    if (!request.ranged) request.last = size - 1;
    if (Refuse(request, c)) return;
    Answer(request, c);
    std::lock_guard lock(mutex_);
    --serving_;
  }

  void Answer(const HostileRequest& request, wuqu::testing::RawConnection& c) {
    const std::uint64_t size = versions_[0].size();
    HostileReply reply;
    {
      std::lock_guard lock(mutex_);
      reply = plan_(request);
    }
    const std::string& file = versions_[reply.version];
    const bool partial = request.ranged && reply.honour_range;
    const std::uint64_t first =
        partial ? std::min(request.first + reply.start_later, request.last) : 0;
    const std::uint64_t last = partial ? request.last : size - 1;
    std::string body = file.substr(first, last - first + 1);
    if (!reply.content_encoding.empty())
      for (char& b : body) b = static_cast<char>(b ^ 0x5A);

    using Form = HostileReply::Form;
    switch (reply.form) {
      case Form::kNoReply:
        c.Close();
        return;
      case Form::kGarbage:
        c.Write("\x16\x03\x01\x02\x00 this is no reply at all\r\n\r\n");
        c.Close();
        return;
      case Form::kBrokenStatus:
        c.Write("HTTP/1.1 2x6 Partial Content\r\nContent-Length: 3\r\n\r\nabc");
        c.Close();
        return;
      case Form::kHttp09:
        c.Write(body);
        c.Close();
        return;
      case Form::kStall:
        c.Stall();
        c.Close();
        return;
      case Form::kHeaderDribble:
        c.Write("HTTP/1.1 206 Partial Content\r\n");
        for (int i = 0; i < 400 && c.Sleep(std::chrono::milliseconds(300)); ++i)
          if (!c.Write("X-Wait: " + std::to_string(i) + "\r\n")) break;
        c.Close();
        return;
      default:
        break;
    }

    std::string head = partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    if (partial)
      head += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
              std::to_string(size) + "\r\n";
    head += reply.ranges ? "Accept-Ranges: bytes\r\n" : "Accept-Ranges: none\r\n";
    if (reply.etag) head += "ETag: \"v" + std::to_string(reply.version) + "\"\r\n";
    if (reply.last_modified)
      head += reply.version ? "Last-Modified: Tue, 02 Jan 2024 00:00:00 GMT\r\n"
                            : "Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n";
    if (!reply.content_encoding.empty())
      head += "Content-Encoding: " + reply.content_encoding + "\r\n";
    switch (reply.framing) {
      case HostileReply::Framing::kLength:
        head += "Content-Length: " +
                std::to_string(static_cast<std::int64_t>(body.size()) + reply.length_error) +
                "\r\n";
        break;
      case HostileReply::Framing::kChunked:
        head += "Transfer-Encoding: chunked\r\n";
        break;
      case HostileReply::Framing::kClose:
        head += "Connection: close\r\n";
        break;
    }
    head += "\r\n";
    if (!c.Write(head)) return;
    if (reply.form == Form::kNoBody) {
      c.Close();
      return;
    }
    if (reply.form == Form::kResetMidBody) body.resize(body.size() / 2);
    if (reply.form == Form::kCutAtThreeQuarters) body.resize(body.size() - body.size() / 4);
    // A length that disagrees with the range: as many bytes as it says
    // (fewer than the range), or the whole range and then a close before the
    // bytes it promised beyond.
    if (reply.length_error != 0) {
      if (reply.length_error < 0)
        body.resize(body.size() - static_cast<std::size_t>(-reply.length_error));
      c.Write(body);
      c.Close();
      return;
    }
    if (!SendBody(c, body, reply)) return;
    if (reply.form == Form::kResetMidBody || reply.form == Form::kCutAtThreeQuarters ||
        reply.framing == HostileReply::Framing::kClose) {
      c.Close();
      return;
    }
    if (reply.extra_bytes > 0) c.Write(std::string(reply.extra_bytes, 'x'));
  }

  bool SendBody(wuqu::testing::RawConnection& c, std::string_view body, const HostileReply& reply) {
    const bool chunked = reply.framing == HostileReply::Framing::kChunked;
    auto piece = [&](std::string_view bytes) {
      body_sent_ += bytes.size();
      if (!chunked) return c.Write(bytes);
      char size[24];
      std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
      return c.Write(size) && c.Write(bytes) && c.Write("\r\n");
    };
    if (reply.trickle_bytes_per_second > 0) {
      const auto pause = std::chrono::milliseconds(1000 / reply.trickle_bytes_per_second);
      for (std::size_t i = 0; i < body.size(); ++i)
        if (!piece(body.substr(i, 1)) || !c.Sleep(pause)) return false;
    } else if (reply.rate_bytes_per_second > 0) {
      constexpr std::size_t kStep = 16 * 1024;
      const auto start = std::chrono::steady_clock::now();
      for (std::size_t at = 0; at < body.size(); at += kStep) {
        if (!piece(body.substr(at, kStep))) return false;
        const auto due = start + std::chrono::microseconds((at + kStep) * 1000000 /
                                                           reply.rate_bytes_per_second);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            due - std::chrono::steady_clock::now());
        if (wait.count() > 0 && !c.Sleep(wait)) return false;
      }
    } else {
      for (std::size_t at = 0; at < body.size(); at += 64 * 1024)
        if (!piece(body.substr(at, 64 * 1024))) return false;
    }
    return !chunked || c.Write("0\r\n\r\n");
  }

  const std::string versions_[2];
  std::mutex mutex_;
  HostilePlan plan_;
  std::atomic<int> count_{0};
  HostLimit limit_;                 // under mutex_
  int serving_ = 0;                 // under mutex_
  std::map<std::uint64_t, std::chrono::steady_clock::time_point> refused_at_;  // under mutex_
  std::atomic<int> refused_{0};
  std::atomic<int> early_{0};
  std::atomic<std::uint64_t> body_sent_{0};
  wuqu::testing::RawServer server_;
};

}  // namespace wuqu::download::testing
