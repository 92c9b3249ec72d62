#include "crash_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace tarnix::crash {
namespace {

bool all_zero(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
}

void mix(uint64_t& h, const void* data, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 0x100000001b3ULL;
  }
}

void mix_u64(uint64_t& h, uint64_t v) {
  mix(h, &v, sizeof v);
}

bool is_name_op(OpKind kind) {
  return kind == OpKind::kCreate || kind == OpKind::kRename || kind == OpKind::kUnlink;
}

bool is_data_op(OpKind kind) {
  return kind == OpKind::kWrite || kind == OpKind::kResize;
}

}  // namespace

const char* op_kind_name(OpKind kind) {
  switch (kind) {
    case OpKind::kMkdir:
      return "mkdir";
    case OpKind::kCreate:
      return "create";
    case OpKind::kRename:
      return "rename";
    case OpKind::kUnlink:
      return "unlink";
    case OpKind::kDirSync:
      return "dirsync";
    case OpKind::kParentSync:
      return "parentsync";
    case OpKind::kWrite:
      return "write";
    case OpKind::kResize:
      return "resize";
    case OpKind::kSync:
      return "sync";
  }
  return "?";
}

void FileData::write(uint64_t offset, std::string_view bytes) {
  uint64_t at = offset;
  size_t done = 0;
  while (done < bytes.size()) {
    uint64_t page = at / kPageBytes;
    uint64_t in_page = at % kPageBytes;
    size_t n = std::min<uint64_t>(bytes.size() - done, kPageBytes - in_page);
    std::string& p = pages[page];
    if (p.empty()) p.assign(kPageBytes, '\0');
    std::memcpy(p.data() + in_page, bytes.data() + done, n);
    done += n;
    at += n;
  }
  size = std::max(size, offset + bytes.size());
}

void FileData::resize(uint64_t length) {
  if (length < size) {
    uint64_t keep_pages = (length + kPageBytes - 1) / kPageBytes;
    pages.erase(pages.lower_bound(keep_pages), pages.end());
    // Bytes past the new end read as zeros if the file grows again.
    if (length % kPageBytes != 0) {
      auto it = pages.find(length / kPageBytes);
      if (it != pages.end()) {
        size_t from = length % kPageBytes;
        std::memset(it->second.data() + from, 0, kPageBytes - from);
      }
    }
  }
  size = length;
}

std::string FileData::read(uint64_t offset, uint64_t length) const {
  std::string out;
  if (offset >= size) return out;
  length = std::min(length, size - offset);
  out.assign(length, '\0');
  for (auto it = pages.lower_bound(offset / kPageBytes);
       it != pages.end() && it->first * kPageBytes < offset + length; ++it) {
    uint64_t page_start = it->first * kPageBytes;
    uint64_t from = std::max(offset, page_start);
    uint64_t to = std::min(offset + length, page_start + kPageBytes);
    std::memcpy(out.data() + (from - offset), it->second.data() + (from - page_start), to - from);
  }
  return out;
}

uint64_t CrashImage::hash() const {
  uint64_t h = 0xcbf29ce484222325ULL;
  mix_u64(h, exists);
  for (const auto& [name, data] : files) {
    mix(h, name.data(), name.size());
    mix_u64(h, data.size);
    for (const auto& [index, bytes] : data.pages) {
      if (index * kPageBytes >= data.size || all_zero(bytes)) continue;
      mix_u64(h, index);
      mix(h, bytes.data(), bytes.size());
    }
  }
  return h;
}

Status CrashImage::materialize(const std::string& dir) const {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (!exists) return Status();
  std::filesystem::create_directories(dir, ec);
  if (ec) return Status::io_error(ec.value());
  for (const auto& [name, data] : files) {
    std::string path = dir + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return Status::io_error(errno);
    Status s;
    if (::ftruncate(fd, static_cast<off_t>(data.size)) != 0) s = Status::io_error(errno);
    for (const auto& [index, bytes] : data.pages) {
      uint64_t start = index * kPageBytes;
      if (!s.ok() || start >= data.size) break;
      if (all_zero(bytes)) continue;
      size_t n = std::min<uint64_t>(kPageBytes, data.size - start);
      if (::pwrite(fd, bytes.data(), n, static_cast<off_t>(start)) != static_cast<ssize_t>(n)) {
        s = Status::io_error(errno ? errno : EIO);
      }
    }
    ::close(fd);
    if (!s.ok()) return s;
  }
  return Status();
}

CrashLog::CrashLog(CrashImage base) : base_(std::move(base)) {
  uint32_t next = 1;
  for (const auto& [name, data] : base_.files) base_inodes_[name] = next++;
}

std::optional<size_t> CrashLog::last_log_sync_before(size_t point) const {
  auto it = std::lower_bound(log_syncs.begin(), log_syncs.end(), point);
  if (it == log_syncs.begin()) return std::nullopt;
  return *std::prev(it);
}

CrashImage CrashLog::process_state(size_t point) const {
  return apply(point, std::vector<bool>(point, true), std::nullopt, 0);
}

Pending CrashLog::pending(size_t point) const {
  Pending out;
  std::map<uint32_t, size_t> last_sync;
  std::optional<size_t> last_dir_sync;
  std::optional<size_t> mkdir, parent_sync;
  for (size_t i = 0; i < point; ++i) {
    const CrashOp& op = ops[i];
    if (op.kind == OpKind::kSync) last_sync[op.inode] = i;
    if (op.kind == OpKind::kDirSync) last_dir_sync = i;
    if (op.kind == OpKind::kMkdir) mkdir = i;
    if (op.kind == OpKind::kParentSync) parent_sync = i;
  }
  for (size_t i = 0; i < point; ++i) {
    const CrashOp& op = ops[i];
    if (is_data_op(op.kind)) {
      auto s = last_sync.find(op.inode);
      if (s == last_sync.end() || s->second < i) {
        out.data.push_back(i);
        if (op.kind == OpKind::kWrite && !op.mapped) out.last_write = i;
      }
    } else if (is_name_op(op.kind)) {
      if (!last_dir_sync || *last_dir_sync < i) out.names.push_back(i);
    }
  }
  if (mkdir && (!parent_sync || *parent_sync < *mkdir)) out.mkdir = mkdir;
  return out;
}

CrashImage CrashLog::power_state(size_t point, const Pending& pending,
                                 const PowerChoice& choice) const {
  std::vector<bool> keep(point, true);
  for (size_t j = 0; j < pending.data.size(); ++j) {
    keep[pending.data[j]] = j < choice.keep_data.size() && choice.keep_data[j];
  }
  for (size_t j = choice.names_kept; j < pending.names.size(); ++j) keep[pending.names[j]] = false;
  if (pending.mkdir) keep[*pending.mkdir] = choice.keep_mkdir;
  std::optional<size_t> torn;
  if (choice.torn_end && pending.last_write && keep[*pending.last_write]) torn = pending.last_write;
  return apply(point, keep, torn, choice.torn_end.value_or(0));
}

CrashImage CrashLog::apply(size_t point, const std::vector<bool>& keep,
                           std::optional<size_t> torn_op, uint64_t torn_end) const {
  std::map<uint32_t, FileData> inodes;
  std::map<std::string, uint32_t> names;
  for (const auto& [name, inode] : base_inodes_) {
    inodes[inode] = base_.files.at(name);
    names[name] = inode;
  }
  bool exists = base_.exists;
  for (size_t i = 0; i < point; ++i) {
    if (!keep[i]) continue;
    const CrashOp& op = ops[i];
    switch (op.kind) {
      case OpKind::kMkdir:
        exists = true;
        break;
      case OpKind::kCreate:
        inodes[op.inode] = FileData();
        names[op.name] = op.inode;
        break;
      case OpKind::kRename: {
        auto it = names.find(op.name);
        if (it == names.end()) break;
        uint32_t inode = it->second;
        names.erase(it);
        names[op.to] = inode;
        break;
      }
      case OpKind::kUnlink:
        names.erase(op.name);
        break;
      case OpKind::kWrite:
        if (op.mapped) {
          // A mapping never reaches past the file, but the length it was made for may not
          // have survived: a page written back beyond the durable length is not seen.
          FileData& data = inodes[op.inode];
          if (op.offset < data.size) {
            data.write(op.offset, std::string_view(op.bytes).substr(0, data.size - op.offset));
          }
        } else if (torn_op && *torn_op == i) {
          uint64_t n =
              torn_end > op.offset ? std::min<uint64_t>(torn_end - op.offset, op.bytes.size()) : 0;
          if (n > 0) inodes[op.inode].write(op.offset, std::string_view(op.bytes).substr(0, n));
        } else {
          inodes[op.inode].write(op.offset, op.bytes);
        }
        break;
      case OpKind::kResize:
        inodes[op.inode].resize(op.offset);
        break;
      case OpKind::kDirSync:
      case OpKind::kParentSync:
      case OpKind::kSync:
        break;
    }
  }
  CrashImage image;
  image.exists = exists;
  if (!exists) return image;
  for (const auto& [name, inode] : names) image.files[name] = inodes[inode];
  return image;
}

}  // namespace tarnix::crash
