#include "download/reply_headers.h"

#include "text/ascii.h"

namespace wuqu::download {

HeadLine CaptureHeaderLine(std::string_view line, ReplyHeaders& headers) {
  if (line == "\r\n" || line == "\n") return HeadLine::kEnd;
  if (line.starts_with("HTTP/")) {
    headers = {};
    return HeadLine::kStatus;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return HeadLine::kField;
  const std::string_view name = TrimBlanks(line.substr(0, colon));
  const std::string_view value = TrimBlanks(line.substr(colon + 1));
  // Repeated codings join, so a second Content-Encoding is seen too.
  auto join = [&](std::string& field) {
    if (!field.empty()) field += ", ";
    field += value;
  };
  if (EqualsNoCase(name, "Content-Range"))
    headers.content_range = value;
  else if (EqualsNoCase(name, "Content-Encoding"))
    join(headers.content_encoding);
  else if (EqualsNoCase(name, "Transfer-Encoding"))
    join(headers.transfer_encoding);
  else if (EqualsNoCase(name, "ETag"))
    headers.etag = value;
  else if (EqualsNoCase(name, "Last-Modified"))
    headers.last_modified = value;
  else if (EqualsNoCase(name, "Retry-After"))
    headers.retry_after = value;
  return HeadLine::kField;
}

ReplyFacts FactsOf(const ReplyHeaders& headers, long status, std::int64_t content_length) {
  return {.status = status,
          .content_length = content_length,
          .content_range = headers.content_range,
          .content_encoding = headers.content_encoding,
          .transfer_encoding = headers.transfer_encoding,
          .etag = headers.etag,
          .last_modified = headers.last_modified,
          .retry_after = headers.retry_after};
}

}  // namespace wuqu::download
