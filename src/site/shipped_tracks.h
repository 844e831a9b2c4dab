#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// The demo tracks of assets/media, built into the program (embed_tracks.cmake).
namespace wuqu {

std::size_t ShippedTrackCount();

// The bytes of track `index` (from 0); empty when there is no such track.
std::span<const unsigned char> ShippedTrack(std::size_t index);

// Its file name in assets/media, e.g. "track-1.mp4".
std::string_view ShippedTrackName(std::size_t index);

}  // namespace wuqu
