#include "engine/contained.h"

#include <algorithm>
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
  std::string entry = relativePath;
  while (!entry.empty() && entry.back() == '/') entry.pop_back();
  const size_t slash = entry.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : entry.substr(0, slash);
  auto known = folders_.find(folder);
  if (known != folders_.end()) return known->second;
  std::string reason;
  const bool inside = ::parentInside(installDir_, relativePath, reason);
  folders_.emplace(folder, inside);
  return inside;
}
