#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The content of the demo catalogue site: ten categories of tracks, each with
// a play page and a media file. All texts are UTF-8, as the site serves them.
namespace wuqu {

// The default track id of the program; it is in every catalogue the site builds.
inline constexpr std::string_view kDefaultTrackId = "116717";

// The media folder on the site, as in MediaBaseUrl.
inline constexpr std::string_view kMediaFolder = "/mp4/djmusic/";

// A track as the site's pages show it.
struct SiteTrack {
  std::string id;          // "116717"
  std::string title;       // link text exactly as in the listing: HTML, "&amp;" and markup kept
  std::string href;        // the link's href: "m/" + id + "/"
  std::string file_value;  // the play page's file value, e.g. "2024/dj/116717"
  std::size_t category = 0;
  std::string date;  // "2024-05-18", shown in the listing

  // "/mp4/djmusic/" + file value + ".mp4", the decoded path of its media.
  std::string MediaPath() const;
};

struct SiteCategory {
  std::string path;     // listing path, e.g. "zw/" or "top/dianyindj/"
  std::string caption;  // e.g. "中文舞曲"
  std::vector<SiteTrack> tracks;
};

// A track added in front of a category's list, for tests that need a
// particular file value (sub-folders, odd characters) or a large file behind a
// listing. Its media is synthetic when synthetic_size > 0, else a shipped track.
struct SiteExtraTrack {
  std::size_t category = 0;
  std::string id{};
  std::string title{};  // written into the listing as it is (HTML)
  std::string file_value{};
  std::uint64_t synthetic_size = 0;
  std::uint64_t synthetic_seed = 0;
};

// Where the bytes of a media file come from.
struct MediaSource {
  enum class Kind { kShipped, kSynthetic, kFolderFile };
  Kind kind = Kind::kShipped;
  std::size_t shipped = 0;  // kShipped: index of the shipped track
  std::uint64_t size = 0;   // kSynthetic
  std::uint64_t seed = 0;   // kSynthetic
  std::string file_name;    // kFolderFile: a name inside the served folder, no "/"
};

// The ten categories, in the order of the program's category box.
struct CategoryInfo {
  std::string_view path;
  std::string_view caption;
};
const std::vector<CategoryInfo>& SiteCategoryTable();

class SiteCatalogue {
 public:
  // The built-in catalogue: `tracks_per_category` invented tracks in each
  // category, their media the shipped tracks or, when synthetic_track_size > 0,
  // synthetic files of that size.
  static SiteCatalogue BuiltIn(std::size_t tracks_per_category,
                               std::uint64_t synthetic_track_size = 0);

  // A catalogue of the .mp4 files directly inside `folder` (regular files only:
  // links are skipped), every category listing all of them by name. Empty with
  // `error` set when the folder cannot be read.
  static std::optional<SiteCatalogue> FromFolder(const std::string& folder, std::string* error);

  // Ids should be unique: where two tracks share one, the first listed is found.
  void AddExtraTrack(const SiteExtraTrack& extra);

  const std::vector<SiteCategory>& categories() const { return categories_; }
  const SiteTrack* FindTrack(std::string_view id) const;
  const MediaSource* FindMedia(std::string_view file_value) const;
  // Index of the category with that listing path ("zw/"), or -1.
  int FindCategory(std::string_view listing_path) const;

 private:
  void Reindex();

  std::vector<SiteCategory> categories_;
  std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> by_id_;
  std::map<std::string, MediaSource, std::less<>> media_;
};

// Pages, rendered as UTF-8 HTML.
std::string RenderListingPage(const SiteCatalogue& catalogue, std::size_t category);
std::string RenderPlayPage(const SiteCatalogue& catalogue, const SiteTrack& track);
std::string RenderIndexPage(const SiteCatalogue& catalogue);
std::string RenderErrorPage(int status);

// Title text without markup and entities, as the play page's script carries it.
std::string PlainTitle(std::string_view html_title);

}  // namespace wuqu
