#pragma once

#include <string_view>

#include "text/text.h"

// A track's title as a person reads it, from the title cell as the listing
// page gives it (program text): what the files' tags, the downloads list
// and the desktop notice show. The track list itself keeps the cell as it is.
namespace wuqu {

// `cell` with its markup removed (a "<" followed by a letter, "/", "!" or
// "?" up to the next ">"; a "<" of anything else is text), its HTML entities
// decoded (the common named ones and every numeric one; an unknown or
// unterminated entity stays as written; a character code page 936 cannot
// hold becomes "?"), and its blanks collapsed: every run of white space,
// control characters and no-break spaces becomes one space, none at either
// end. Walks `cell` character by character, so a byte of a two-byte
// character is never read as ASCII. Linear in the length of `cell`.
Text ReadableTitle(std::string_view cell);

}  // namespace wuqu
