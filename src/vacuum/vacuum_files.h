// File steps the vacuum procedures share: commit markers, renames that ride out a briefly
// busy file, and removals that tolerate a file already gone.
#pragma once

#include <string>

#include "storage/fs.h"

namespace tarnix {

// Creates or truncates `path`, writes `text`, syncs the file and then its directory: once
// this returns the marker exists whatever happens next.
Status write_marker(FileSystem& fs, const std::string& path, const std::string& text);

// Renames `from` over `to`, trying up to 22 times with 50 ms between tries (a file can be
// briefly held where renaming over an open file is refused); the last failure is
// "Failed to rename {from} to {to}".
Status rename_with_retries(FileSystem& fs, const Clock& clock, const std::string& from,
                           const std::string& to);

// After a failed write of a marker or journal: whether it may be there all the same (when
// even asking fails, it may).
bool may_exist(FileSystem& fs, const std::string& path);

// Removes `path` if it exists; a file that is already gone is success.
Status remove_if_exists(FileSystem& fs, const std::string& path);

// Creates or truncates an empty file (the placeholder that marks a window in which the
// store holds none of its live files).
Status create_empty_file(FileSystem& fs, const std::string& path);

}  // namespace tarnix
