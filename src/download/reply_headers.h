#pragma once

#include <string>
#include <string_view>

#include "download/reply_check.h"

// The header fields of a reply that the download judges, gathered a line at
// a time as curl hands the lines over.
namespace wuqu::download {

struct ReplyHeaders {
  std::string content_range{};
  std::string content_encoding{};   // repeated fields joined with ", "
  std::string transfer_encoding{};  // likewise
  std::string etag{};
  std::string last_modified{};
  std::string retry_after{};
};

enum class HeadLine {
  kStatus,  // "HTTP/...": a new reply begins (after a redirect or an interim one)
  kField,   // a header line, kept when it is one of ReplyHeaders
  kEnd,     // the blank line that ends a head
};

// Takes one line as curl gives it (line end included) into `headers`. A
// status line forgets the fields of the reply before it.
HeadLine CaptureHeaderLine(std::string_view line, ReplyHeaders& headers);

// What the reply check sees of a reply with these headers; valid while
// `headers` lives.
ReplyFacts FactsOf(const ReplyHeaders& headers, long status, std::int64_t content_length);

}  // namespace wuqu::download
