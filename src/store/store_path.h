#pragma once

#include <string>

// Where the store lives: under the user's data folder, never beside the
// program.
namespace wuqu::store {

// "$XDG_DATA_HOME/wuqu/wuqu.sqlite", or "$HOME/.local/share/wuqu/wuqu.sqlite"
// when XDG_DATA_HOME is unset, empty or not absolute (as the XDG base
// directory rules say); "" when HOME is not absolute either.
std::string StorePath();

// Makes the folder of `store_path` (only the user may enter what it makes);
// true when it is a folder afterwards.
bool MakeStoreFolder(const std::string& store_path);

}  // namespace wuqu::store
