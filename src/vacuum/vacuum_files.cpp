#include "vacuum/vacuum_files.h"

#include <errno.h>
#include <fcntl.h>

namespace tarnix {
namespace {

constexpr int kRenameTries = 22;
constexpr uint64_t kRenamePauseMs = 50;

}  // namespace

Status write_marker(FileSystem& fs, const std::string& path, const std::string& text) {
  {
    File file;
    TARNIX_ASSIGN_OR_RETURN(file, File::open(fs, path, O_WRONLY | O_CREAT | O_TRUNC));
    TARNIX_RETURN_IF_ERROR(file.write_all(text.data(), text.size()));
    TARNIX_RETURN_IF_ERROR(file.sync());
  }
  return sync_parent_dir(fs, path);
}

Status rename_with_retries(FileSystem& fs, const Clock& clock, const std::string& from,
                           const std::string& to) {
  Status last;
  for (int attempt = 1; attempt <= kRenameTries; ++attempt) {
    last = fs.rename(from, to);
    if (last.ok()) return Status();
    if (attempt < kRenameTries) clock.sleep_millis(kRenamePauseMs);
  }
  return Status::io_error(last.os_errno(), "Failed to rename " + from + " to " + to);
}

bool may_exist(FileSystem& fs, const std::string& path) {
  Result<bool> present = fs.exists(path);
  return !present.ok() || *present;
}

Status remove_if_exists(FileSystem& fs, const std::string& path) {
  // Asked first, so that an open of a tidy directory changes nothing in it.
  bool present;
  TARNIX_ASSIGN_OR_RETURN(present, fs.exists(path));
  if (!present) return Status();
  Status s = fs.unlink(path);
  if (!s.ok() && s.os_errno() != ENOENT) return s;
  return Status();
}

Status create_empty_file(FileSystem& fs, const std::string& path) {
  return File::open(fs, path, O_RDWR | O_CREAT | O_TRUNC).status();
}

}  // namespace tarnix
