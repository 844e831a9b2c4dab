#pragma once

// Real MP4 files for the tag tests, made from the demo tracks with ffmpeg,
// and read back with ffprobe: a second reader that is not TagLib.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

namespace wuqu::tags::testing {

// What a command printed on stdout; "" when it failed.
inline std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  return ::pclose(pipe) == 0 ? out : std::string();
}

inline std::string Quoted(const std::string& path) {
  std::string q = "'";
  for (const char c : path) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}

inline std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

inline std::string DemoTrack(int n = 1) {
  const char* root = std::getenv("WUQU_SOURCE_DIR");
  return std::string(root != nullptr ? root : ".") + "/assets/media/track-" + std::to_string(n) +
         ".mp4";
}

// How an MP4 file lays its movie atom: before the media (faststart, as a
// server streams it), after it (as ffmpeg writes it by default), or in
// fragments.
enum class Shape { kFaststart, kMoovAtEnd, kFragmented };

// A copy of demo track `n` in `shape` at `out`, its samples untouched; true
// when ffmpeg made it. `metadata` (ffmpeg arguments) tags it on the way.
inline bool MakeTrack(Shape shape, const std::string& out, int n = 1,
                      const std::string& metadata = "") {
  const char* flags = shape == Shape::kFaststart   ? "-movflags +faststart"
                      : shape == Shape::kFragmented ? "-movflags frag_keyframe+empty_moov"
                                                    : "";
  const std::string command = "ffmpeg -nostdin -v error -y -i " + Quoted(DemoTrack(n)) +
                              " -map 0 -c copy -f mp4 " + flags + " " + metadata + " " + Quoted(out) +
                              " && echo made";
  return Output(command) == "made\n";
}

// The container's tags as ffprobe reads them (title, album, comment, ...).
inline std::map<std::string, std::string> ProbeTags(const std::string& path) {
  std::map<std::string, std::string> tags;
  std::istringstream lines(Output("ffprobe -v error -show_entries format_tags -of default=nw=1 " +
                                  Quoted(path)));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("TAG:", 0) != 0) continue;
    const auto eq = line.find('=');
    if (eq != std::string::npos) tags[line.substr(4, eq - 4)] = line.substr(eq + 1);
  }
  return tags;
}

// Every audio packet as ffprobe finds it: times, size and a digest of its
// bytes, one line each; "" when ffprobe cannot read the file.
inline std::string AudioPackets(const std::string& path) {
  return Output("ffprobe -v error -select_streams a:0 -show_data_hash MD5 -show_entries "
                "packet=pts,dts,duration,size,data_hash -of csv " +
                Quoted(path));
}

}  // namespace wuqu::tags::testing
