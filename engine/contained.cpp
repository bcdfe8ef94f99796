#include "engine/contained.h"

#include <algorithm>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

bool parentInside(const fs::path& installDir, const std::string& relativePath, std::string& reason) {
  std::error_code ec;
  fs::path root = fs::weakly_canonical(installDir, ec);
  if (ec) {
    reason = ec.message();
    return false;
  }
  if (!root.has_filename()) root = root.parent_path();  // "x/y/" of a folder not made yet
  // "a/b/" names the entry "a/b"; its parent is "a".
  std::string entry = relativePath;
  while (!entry.empty() && entry.back() == '/') entry.pop_back();
  const fs::path parent = (installDir / entry).parent_path();
  // Resolves every link of the part that exists; the part that does not exist yet is appended
  // as written, and a release path holds no "..", so it cannot climb out.
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

bool ContainmentCache::parentInside(const std::string& relativePath) {
  std::string_view entry = relativePath;
  while (!entry.empty() && entry.back() == '/') entry.remove_suffix(1);
  const size_t slash = entry.rfind('/');
  const std::string_view folder = slash == std::string_view::npos ? std::string_view() : entry.substr(0, slash);
  // Entries of one folder mostly follow each other in a release.
  if (haveLast_ && folder == lastFolder_) return lastInside_;
  auto known = folders_.find(folder);
  bool inside;
  if (known != folders_.end()) {
    inside = known->second;
  } else {
    std::string reason;
    inside = ::parentInside(installDir_, relativePath, reason);
    folders_.emplace(std::string(folder), inside);
  }
  lastFolder_.assign(folder);
  lastInside_ = inside;
  haveLast_ = true;
  return inside;
}
