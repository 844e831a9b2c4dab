#include "site/site_catalogue.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "site/http_bits.h"
#include "site/shipped_tracks.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

std::uint64_t Hash(std::uint64_t a, std::uint64_t b) {
  std::uint64_t z = a * 0x9E3779B97F4A7C15ull + b + 0x632BE59BD9B4E019ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

template <std::size_t N>
std::string_view Pick(const std::string_view (&words)[N], std::uint64_t h) {
  return words[h % N];
}

// Invented names and words; every one of them is readable in code page 936.
constexpr std::string_view kDjs[] = {"青禾", "北川", "远山", "夜航", "星野", "木子",
                                     "海风", "小满", "南风", "阿泽", "子墨", "辰宇",
                                     "一帆", "林深", "白夜", "秋实"};
constexpr std::string_view kFirst[] = {"夜色", "心跳", "霓虹", "海边", "风中", "城市", "灯火",
                                       "星河", "回忆", "远方", "光影", "月光", "雨夜", "夏日",
                                       "舞池", "旋律", "梦境", "街角", "天空", "晚风"};
constexpr std::string_view kSecond[] = {"的约定", "不眠", "飞驰", "追梦", "之恋", "狂欢",
                                        "漫步",   "燃烧", "起舞", "未眠", "心动", "节拍",
                                        "沉醉",   "归途", "故事", "序曲"};
constexpr std::string_view kEnglishDjs[] = {"North", "Kira", "Lumen", "Tao", "Vega", "Mori"};
constexpr std::string_view kEnglishFirst[] = {"Midnight", "Neon",     "Ocean",  "Summer",
                                              "Golden",   "Electric", "Velvet", "Silver",
                                              "Paper",    "Wild",     "Lost",   "Burning"};
constexpr std::string_view kEnglishSecond[] = {"Lights", "Hearts", "Drive",   "Dreams", "Skyline",
                                               "Rhythm", "Signal", "Horizon", "Fever",  "Waves"};

struct CategoryStyle {
  bool english;
  std::string_view folder;  // the sub-folder of its files on the media host
  std::string_view styles[4];
};

constexpr CategoryStyle kStyles[] = {
    {false, "dj", {"中文慢摇串烧", "车载慢摇串烧", "夜店慢摇串烧", "伤感慢摇串烧"}},
    {false, "live", {"现场打碟", "酒吧现场版", "现场喊麦版", "派对现场"}},
    {false, "dj", {"中文舞曲", "中文DJ版", "国语劲爆版", "粤语DJ版"}},
    {false, "edm", {"电音版", "电音嗨曲", "Electro Mix", "重低音版"}},
    {false, "slow", {"慢歌", "抒情版", "钢琴版", "深情版"}},
    {false, "club", {"Club Mix", "酒吧Club", "Bounce Mix", "Deep House"}},
    {true, "club", {"(Club Mix)", "(Extended Club Mix)", "(Bass Edit)", "(Festival Mix)"}},
    {false, "dj", {"慢摇舞曲", "慢摇版", "Slow Mix", "情歌慢摇"}},
    {true, "disco", {"(Disco Edit)", "(Disco Remix)", "(Funky Mix)", "(Roller Disco)"}},
    {false, "jy", {"交谊舞 三步", "交谊舞 四步", "恰恰", "伦巴"}},
};

std::string MakeTitle(std::size_t c, std::size_t i) {
  const std::uint64_t h = Hash(c + 1, i);
  const CategoryStyle& style = kStyles[c];
  std::string title;
  if (i % 23 == 7) title += "<b>新</b> ";  // the listing marks some tracks as new in bold
  if (style.english) {
    title += "DJ ";
    title += Pick(kEnglishDjs, h);
    if (i % 17 == 5) title += std::string(" &amp; DJ ") += Pick(kEnglishDjs, h >> 8);
    title += " - ";
    title += Pick(kEnglishFirst, h >> 16);
    title += ' ';
    title += Pick(kEnglishSecond, h >> 24);
    title += ' ';
    title += style.styles[(h >> 32) % 4];
  } else {
    title += "DJ";
    title += Pick(kDjs, h);
    if (i % 17 == 5) title += std::string(" &amp; DJ") += Pick(kDjs, h >> 8);
    title += " - ";
    title += Pick(kFirst, h >> 16);
    title += Pick(kSecond, h >> 24);
    title += ' ';
    title += style.styles[(h >> 32) % 4];
    if (i % 11 == 3) title += "（加长版）";
  }
  return title;
}

std::string DateText(std::time_t t) {
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

bool EndsWithMp4(std::string_view name) {
  if (name.size() <= 4) return false;
  std::string ext(name.substr(name.size() - 4));
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return ext == ".mp4";
}

// Whether a file's own name can stand in its file value: a URL-safe name that
// code page 936 can hold, so the program shows it and saves it under it.
bool UsableInFileValue(std::string_view stem) {
  if (stem.empty() || stem.front() == '.' || stem.front() == ' ' || stem.back() == ' ')
    return false;
  for (unsigned char c : stem) {
    const bool ok = c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                    (c >= 'A' && c <= 'Z') || c == '-' || c == '_' || c == '.' || c == ' ' ||
                    c == '(' || c == ')';
    if (!ok) return false;
  }
  const Text local = Utf8ToLocalText(stem);
  return local.find('?') == Text::npos && LocalTextToUtf8(local) == stem;
}

}  // namespace

std::string SiteTrack::MediaPath() const {
  return std::string(kMediaFolder) + file_value + ".mp4";
}

const std::vector<CategoryInfo>& SiteCategoryTable() {
  static const std::vector<CategoryInfo> table = {
      {"myxc/", "慢摇串烧"},
      {"xc/", "现场舞曲"},
      {"zw/", "中文舞曲"},
      {"top/dianyindj/", "电音嗨曲"},
      {"top/mangeyinyue/", "慢歌音乐"},
      {"club/", "酒吧CLUB"},
      {"ywclub/", "英文CLUB"},
      {"my/", "慢摇舞曲"},
      {"yw/", "英文disco"},
      {"jy/", "交谊舞曲"},
  };
  return table;
}

SiteCatalogue SiteCatalogue::BuiltIn(std::size_t tracks_per_category,
                                     std::uint64_t synthetic_track_size) {
  SiteCatalogue cat;
  const auto& table = SiteCategoryTable();
  const std::time_t newest = 1716019200;  // 2024-05-18, the newest track's day
  for (std::size_t c = 0; c < table.size(); ++c) {
    cat.categories_.push_back({std::string(table[c].path), std::string(table[c].caption), {}});
    auto& tracks = cat.categories_.back().tracks;
    tracks.reserve(tracks_per_category);
    for (std::size_t i = 0; i < tracks_per_category; ++i) {
      // Ids are blocks of 100000 per category; the program's default id is the
      // first track of category 1.
      const std::uint64_t id = 16717 + 100000 * c + 7 * i;
      SiteTrack t;
      t.id = std::to_string(id);
      t.title = MakeTitle(c, i);
      t.href = "m/" + t.id + "/";
      t.category = c;
      t.date = DateText(newest - static_cast<std::time_t>((i / 3 + c) * 86400));
      t.file_value = t.date.substr(0, 4) + "/" + std::string(kStyles[c].folder) + "/" + t.id;
      MediaSource media;
      if (synthetic_track_size > 0) {
        media.kind = MediaSource::Kind::kSynthetic;
        media.size = synthetic_track_size;
        media.seed = id;
      } else {
        media.shipped = id % ShippedTrackCount();
      }
      cat.media_[t.file_value] = media;
      tracks.push_back(std::move(t));
    }
  }
  if (tracks_per_category == 0) {
    // The default id exists whatever the size of the catalogue.
    SiteExtraTrack t{1, std::string(kDefaultTrackId), "DJ青禾 - 夜色不眠 现场打碟",
                     "2024/live/116717"};
    cat.AddExtraTrack(t);
  }
  cat.Reindex();
  return cat;
}

std::optional<SiteCatalogue> SiteCatalogue::FromFolder(const std::string& folder,
                                                       std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<std::string> names;
  fs::directory_iterator it(fs::path(folder), ec);
  if (ec) {
    if (error) *error = "cannot read folder " + folder + ": " + ec.message();
    return std::nullopt;
  }
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    std::error_code st_ec;
    // symlink_status: a link is never followed, whether it leads in or out.
    if (!fs::is_regular_file(it->symlink_status(st_ec)) || st_ec) continue;
    const std::string name = it->path().filename().string();
    if (EndsWithMp4(name)) names.push_back(name);
  }
  if (ec) {
    if (error) *error = "cannot read folder " + folder + ": " + ec.message();
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());

  SiteCatalogue cat;
  for (const auto& info : SiteCategoryTable())
    cat.categories_.push_back({std::string(info.path), std::string(info.caption), {}});
  const std::time_t today = std::time(nullptr);
  for (std::size_t k = 0; k < names.size(); ++k) {
    const std::string stem = names[k].substr(0, names[k].size() - 4);
    SiteTrack t;
    t.id = std::to_string(116717 + k);
    t.title = HtmlEscape(stem);
    t.href = "m/" + t.id + "/";
    t.date = DateText(today);
    // A name that cannot stand in an address, or that another file already
    // took (names that differ in the letter case of ".mp4"), goes by its id;
    // "id/" keeps those apart from every name, since no name holds a "/".
    t.file_value = "local/" + stem;
    if (!UsableInFileValue(stem) || cat.media_.count(t.file_value))
      t.file_value = "local/id/" + t.id;
    MediaSource media;
    media.kind = MediaSource::Kind::kFolderFile;
    media.file_name = names[k];
    cat.media_[t.file_value] = media;
    for (std::size_t c = 0; c < cat.categories_.size(); ++c) {
      t.category = c;
      cat.categories_[c].tracks.push_back(t);
    }
  }
  cat.Reindex();
  return cat;
}

void SiteCatalogue::AddExtraTrack(const SiteExtraTrack& extra) {
  if (extra.category >= categories_.size()) return;
  SiteTrack t;
  t.id = extra.id;
  t.title = extra.title;
  t.href = "m/" + extra.id + "/";
  t.file_value = extra.file_value;
  t.category = extra.category;
  t.date = "2024-05-18";
  MediaSource media;
  if (extra.synthetic_size > 0) {
    media.kind = MediaSource::Kind::kSynthetic;
    media.size = extra.synthetic_size;
    media.seed = extra.synthetic_seed;
  }
  media_[t.file_value] = media;
  auto& tracks = categories_[extra.category].tracks;
  tracks.insert(tracks.begin(), std::move(t));
  Reindex();
}

void SiteCatalogue::Reindex() {
  by_id_.clear();
  for (std::size_t c = 0; c < categories_.size(); ++c)
    for (std::size_t i = 0; i < categories_[c].tracks.size(); ++i)
      by_id_.try_emplace(categories_[c].tracks[i].id, c, i);
}

const SiteTrack* SiteCatalogue::FindTrack(std::string_view id) const {
  const auto it = by_id_.find(std::string(id));
  if (it == by_id_.end()) return nullptr;
  return &categories_[it->second.first].tracks[it->second.second];
}

const MediaSource* SiteCatalogue::FindMedia(std::string_view file_value) const {
  const auto it = media_.find(file_value);
  return it == media_.end() ? nullptr : &it->second;
}

int SiteCatalogue::FindCategory(std::string_view listing_path) const {
  for (std::size_t c = 0; c < categories_.size(); ++c)
    if (categories_[c].path == listing_path) return static_cast<int>(c);
  return -1;
}

}  // namespace wuqu
