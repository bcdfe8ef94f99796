#include "engine/contained.h"

#include <limits.h>

#include <algorithm>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// No step can work on a path the system refuses; resolving one of a million components would
// only take long.
bool tooLong(const fs::path& installDir, const std::string& relativePath, std::string& reason) {
  if (installDir.native().size() + 1 + relativePath.size() < PATH_MAX) return false;
  reason = std::make_error_code(std::errc::filename_too_long).message();
  return true;
}

// The install folder with every link resolved; false with the system's message.
bool resolveRoot(const fs::path& installDir, fs::path& root, std::string& reason) {
  std::error_code ec;
  root = fs::weakly_canonical(installDir, ec);
  if (ec) {
    reason = ec.message();
    return false;
  }
  if (!root.has_filename()) root = root.parent_path();  // "x/y/" of a folder not made yet
  return true;
}

bool parentInsideRoot(const fs::path& installDir, const fs::path& root, const std::string& relativePath,
                      std::string& reason) {
  // "a/b/" names the entry "a/b"; its parent is "a".
  std::string entry = relativePath;
  while (!entry.empty() && entry.back() == '/') entry.pop_back();
  const fs::path parent = (installDir / entry).parent_path();
  // Resolves every link of the part that exists; the part that does not exist yet is appended
  // as written, and a release path holds no "..", so it cannot climb out.
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(parent, ec);
  if (ec) {
    reason = ec.message();
    return false;
  }
  auto [rootEnd, realAt] = std::mismatch(root.begin(), root.end(), real.begin(), real.end());
  (void)realAt;
  if (rootEnd != root.end()) {
    reason = "it would land outside the install folder";
    return false;
  }
  return true;
}

}  // namespace

bool parentInside(const fs::path& installDir, const std::string& relativePath, std::string& reason) {
  if (tooLong(installDir, relativePath, reason)) return false;
  fs::path root;
  return resolveRoot(installDir, root, reason) && parentInsideRoot(installDir, root, relativePath, reason);
}

bool ContainmentCache::parentInside(const std::string& relativePath, std::string& reason) {
  std::string_view entry = relativePath;
  while (!entry.empty() && entry.back() == '/') entry.remove_suffix(1);
  const size_t slash = entry.rfind('/');
  const std::string_view folder = slash == std::string_view::npos ? std::string_view() : entry.substr(0, slash);
  // Entries of one folder mostly follow each other in a release.
  if (!haveLast_ || folder != lastFolder_) {
    auto known = folders_.find(folder);
    if (known != folders_.end()) {
      lastReason_ = known->second;
    } else {
      lastReason_.clear();
      if (!tooLong(installDir_, relativePath, lastReason_)) {
        // The install folder is resolved once for the pass: no step of it makes a link.
        if (!rootResolved_) {
          rootResolved_ = true;
          resolveRoot(installDir_, root_, rootReason_);
        }
        if (!rootReason_.empty()) lastReason_ = rootReason_;
        else if (parentInsideRoot(installDir_, root_, relativePath, lastReason_)) lastReason_.clear();
      }
      folders_.emplace(std::string(folder), lastReason_);
    }
    lastFolder_.assign(folder);
    haveLast_ = true;
  }
  if (lastReason_.empty()) return true;
  reason = lastReason_;
  return false;
}
