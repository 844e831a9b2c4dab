#include "download/resume_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "text/ascii.h"

namespace wuqu::download {
namespace {

constexpr std::string_view kMagic = "wuqu-resume 1";
constexpr std::size_t kMaxRecordBytes = 1 << 20;

std::string Escape(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    if (c < 0x20 || c == '%' || c == 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> Unescape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c < 0x20 || c == 0x7F) return std::nullopt;
    if (c != '%') {
      out += static_cast<char>(c);
      continue;
    }
    if (i + 2 >= value.size()) return std::nullopt;
    const int hi = HexDigit(value[i + 1]);
    const int lo = HexDigit(value[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

// The record's own form: no leading zeros, so each number has one spelling.
std::optional<std::uint64_t> ParseNumber(std::string_view s) {
  if (s.size() > 1 && s[0] == '0') return std::nullopt;
  return ParseDecimal(s);
}

// Reads the next line, which must be `key` and a blank, or `key` alone
// when the value may be empty and is.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}

  std::optional<std::string_view> Field(std::string_view key) {
    const auto nl = rest_.find('\n');
    if (nl == std::string_view::npos) return std::nullopt;
    std::string_view line = rest_.substr(0, nl);
    rest_.remove_prefix(nl + 1);
    if (!line.starts_with(key)) return std::nullopt;
    line.remove_prefix(key.size());
    if (line.empty()) return line;
    if (line[0] != ' ') return std::nullopt;
    return line.substr(1);
  }
  bool AtEnd() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

}  // namespace

std::uint32_t Crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::uint64_t ResumeRecord::DoneBytes() const {
  std::uint64_t n = 0;
  for (const auto& [first, end] : done) n += end - first;
  return n;
}

std::string ResumeRecordPath(const std::string& target_path) {
  return target_path + ".wuqu-resume";
}

std::string EncodeResumeRecord(const ResumeRecord& r) {
  std::string out;
  out += kMagic;
  out += "\nsource ";
  out += Escape(r.source);
  out += "\nsize ";
  out += std::to_string(r.size);
  out += "\netag ";
  out += Escape(r.etag);
  out += "\nmodified ";
  out += Escape(r.last_modified);
  out += "\nfile ";
  out += std::to_string(r.device) + ":" + std::to_string(r.inode);
  out += "\ndone";
  for (const auto& [first, end] : r.done) {
    out += ' ';
    out += std::to_string(first) + "-" + std::to_string(end);
  }
  out += '\n';
  char crc[24];
  std::snprintf(crc, sizeof crc, "crc32 %08x\n", static_cast<unsigned>(Crc32(out)));
  out += crc;
  return out;
}

namespace {

// What the record's checksum line covers, when that line closes the record
// and matches it.
std::optional<std::string_view> CheckedBody(std::string_view bytes) {
  constexpr std::size_t kCrcLine = 15;  // "crc32 " + 8 hex + "\n"
  if (bytes.size() < kCrcLine || bytes.back() != '\n') return std::nullopt;
  const std::string_view body = bytes.substr(0, bytes.size() - kCrcLine);
  const std::string_view crc_line = bytes.substr(body.size());
  if (!crc_line.starts_with("crc32 ")) return std::nullopt;
  std::uint32_t stored = 0;
  for (char c : crc_line.substr(6, 8)) {
    const int d = HexDigit(c);
    if (d < 0 || (c >= 'A' && c <= 'F')) return std::nullopt;  // written in lower case
    stored = stored * 16 + static_cast<std::uint32_t>(d);
  }
  if (stored != Crc32(body)) return std::nullopt;
  return body;
}

// The "<device>:<inode>" of the file line into `r`.
bool ParseFileId(std::string_view file, ResumeRecord& r) {
  const auto colon = file.find(':');
  if (colon == std::string_view::npos) return false;
  const auto device = ParseNumber(file.substr(0, colon));
  const auto inode = ParseNumber(file.substr(colon + 1));
  if (!device || !inode) return false;
  r.device = *device;
  r.inode = *inode;
  return true;
}

// The done line's ranges into `r`: each "<first>-<end>" non-empty, inside
// the file, ascending and apart, one blank between them.
bool ParseDoneRanges(std::string_view list, ResumeRecord& r) {
  std::uint64_t previous_end = 0;
  while (!list.empty()) {
    const auto blank = list.find(' ');
    const std::string_view item = list.substr(0, blank);
    list = blank == std::string_view::npos ? std::string_view() : list.substr(blank + 1);
    if (blank != std::string_view::npos && list.empty()) return false;  // trailing blank
    const auto dash = item.find('-');
    if (dash == std::string_view::npos) return false;
    const auto first = ParseNumber(item.substr(0, dash));
    const auto end = ParseNumber(item.substr(dash + 1));
    if (!first || !end || *first >= *end || *end > r.size) return false;
    // Ascending and apart: two ranges that touch would have been written as one.
    if (!r.done.empty() && *first <= previous_end) return false;
    r.done.emplace_back(*first, *end);
    previous_end = *end;
  }
  return true;
}

}  // namespace

std::optional<ResumeRecord> DecodeResumeRecord(std::string_view bytes) {
  // The checksum line closes the record and covers everything before it.
  const auto body = CheckedBody(bytes);
  if (!body) return std::nullopt;

  ResumeRecord r;
  LineReader lines(*body);
  const auto magic = lines.Field(kMagic);
  if (!magic || !magic->empty()) return std::nullopt;
  const auto source = lines.Field("source");
  const auto size = lines.Field("size");
  const auto etag = lines.Field("etag");
  const auto modified = lines.Field("modified");
  const auto file = lines.Field("file");
  const auto done = lines.Field("done");
  if (!source || !size || !etag || !modified || !file || !done || !lines.AtEnd())
    return std::nullopt;

  auto unescaped_source = Unescape(*source);
  auto unescaped_etag = Unescape(*etag);
  auto unescaped_modified = Unescape(*modified);
  const auto parsed_size = ParseNumber(*size);
  if (!unescaped_source || !unescaped_etag || !unescaped_modified || !parsed_size)
    return std::nullopt;
  r.source = std::move(*unescaped_source);
  r.etag = std::move(*unescaped_etag);
  r.last_modified = std::move(*unescaped_modified);
  r.size = *parsed_size;
  if (!ParseFileId(*file, r) || !ParseDoneRanges(*done, r)) return std::nullopt;
  return r;
}

bool SaveResumeRecord(const std::string& record_path, const ResumeRecord& record,
                      const DiskSteps& disk) {
  const std::string bytes = EncodeResumeRecord(record);
  const std::string temp = record_path + ".tmp";
  ::unlink(temp.c_str());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  // Flushed before the rename, so the name never points at a record whose
  // bytes a power cut could lose; the folder flushed after, so the rename lasts.
  bool ok = written == bytes.size() && disk.FlushData(fd, temp);
  ok = ::close(fd) == 0 && ok && disk.Rename(temp, record_path);
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  return disk.FlushFolderOf(record_path);
}

std::optional<ResumeRecord> LoadResumeRecord(const std::string& record_path) {
  const int fd = ::open(record_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::string bytes;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_size) <= kMaxRecordBytes;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ok = got == bytes.size();
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return DecodeResumeRecord(bytes);
}

}  // namespace wuqu::download
