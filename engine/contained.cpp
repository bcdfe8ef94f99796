#include "engine/contained.h"

#include "release/release.h"

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <string_view>
#include <system_error>
#include <vector>

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

// Whether real, a resolved location, is root or lies below it; false with the reason.
bool withinRoot(const fs::path& root, const fs::path& real, std::string& reason) {
  auto [rootEnd, realAt] = std::mismatch(root.begin(), root.end(), real.begin(), real.end());
  (void)realAt;
  if (rootEnd == root.end()) return true;
  reason = "it would land outside the install folder";
  return false;
}

bool parentInsideRoot(const fs::path& installDir, const fs::path& root, const std::string& relativePath,
                      std::string& reason) {
  // "a/b/" names the entry "a/b"; its parent is "a".
  const fs::path parent = installedEntry(installDir, relativePath).parent_path();
  // Resolves every link of the part that exists; the part that does not exist yet is appended
  // as written, and a release path holds no "..", so it cannot climb out.
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(parent, ec);
  if (ec) {
    reason = ec.message();
    return false;
  }
  return withinRoot(root, real, reason);
}

// Follows from the real location current through the components still to walk (front first),
// link by link, as the kernel would; a component that does not exist ends the following and
// the rest is taken as written. current ends as where the walk leads.
bool follow(fs::path& current, std::vector<std::string>& remaining, std::string& reason) {
  constexpr int linkLimit = 40;  // the kernel's own limit before ELOOP
  int linksFollowed = 0;
  bool missing = false;
  while (!remaining.empty()) {
    const std::string component = std::move(remaining.back());
    remaining.pop_back();
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      // current holds no link (each was replaced by where it leads), so its parent is real.
      if (current.has_relative_path()) current = current.parent_path();
      continue;
    }
    fs::path candidate = current / component;
    if (missing) {
      current = std::move(candidate);
      continue;
    }
    struct stat st;
    if (::lstat(candidate.c_str(), &st) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) {
        reason = std::make_error_code(std::errc(errno)).message();
        return false;
      }
      missing = true;  // nothing stands there yet: what follows is what would be made
      current = std::move(candidate);
      continue;
    }
    if (!S_ISLNK(st.st_mode)) {
      current = std::move(candidate);
      continue;
    }
    if (++linksFollowed > linkLimit) {
      reason = std::make_error_code(std::errc::too_many_symbolic_link_levels).message();
      return false;
    }
    std::error_code ec;
    const fs::path target = fs::read_symlink(candidate, ec);
    if (ec) {
      reason = ec.message();
      return false;
    }
    if (target.is_absolute()) current = "/";
    const std::string text = target.string();
    std::vector<std::string> parts;
    size_t begin = 0;
    for (size_t slash; (slash = text.find('/', begin)) != std::string::npos; begin = slash + 1) {
      parts.push_back(text.substr(begin, slash - begin));
    }
    parts.push_back(text.substr(begin));
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) remaining.push_back(std::move(*part));
  }
  return true;
}

}  // namespace

std::string_view withoutTrailingSlash(std::string_view relativePath) {
  while (!relativePath.empty() && relativePath.back() == '/') relativePath.remove_suffix(1);
  return relativePath;
}

fs::path installedEntry(const fs::path& installDir, std::string_view relativePath) {
  return installDir / withoutTrailingSlash(relativePath);
}

bool leadsInside(const fs::path& installDir, const std::string& relativePath, std::string& reason) {
  if (tooLong(installDir, relativePath, reason)) return false;
  fs::path root;
  if (!resolveRoot(installDir, root, reason)) return false;
  std::vector<std::string> remaining;  // components to walk, the next one last
  size_t end = relativePath.size();
  for (size_t slash; end != 0 && (slash = relativePath.rfind('/', end - 1)) != std::string::npos; end = slash) {
    remaining.push_back(relativePath.substr(slash + 1, end - slash - 1));
  }
  if (end != 0) remaining.push_back(relativePath.substr(0, end));
  fs::path current = root;
  if (!follow(current, remaining, reason) || !withinRoot(root, current, reason)) return false;
  // Nor may a link lead to the program's own names: files placed through a link to the staging
  // folder would land among the staged downloads.
  if (isProgramOwnedPath(current.lexically_relative(root).generic_string())) {
    reason = "it would lead to a name the setup program keeps for itself";
    return false;
  }
  return true;
}

bool parentInside(const fs::path& installDir, const std::string& relativePath, std::string& reason) {
  if (tooLong(installDir, relativePath, reason)) return false;
  fs::path root;
  return resolveRoot(installDir, root, reason) && parentInsideRoot(installDir, root, relativePath, reason);
}

bool ContainmentCache::parentInside(const std::string& relativePath, std::string& reason) {
  const std::string_view entry = withoutTrailingSlash(relativePath);
  const size_t slash = entry.rfind('/');
  const std::string_view folder = slash == std::string_view::npos ? std::string_view() : entry.substr(0, slash);
  // Entries of one folder mostly follow each other in a release.
  if (!haveLast_ || folder != lastFolder_) {
    lastReason_.clear();
    if (!tooLong(installDir_, relativePath, lastReason_)) lastReason_ = judge(folder);
    lastFolder_.assign(folder);
    haveLast_ = true;
  }
  if (lastReason_.empty()) return true;
  reason = lastReason_;
  return false;
}

std::string ContainmentCache::judge(std::string_view folder) {
  // The install folder is resolved once for the pass: no step of it makes a link.
  if (!rootResolved_) {
    rootResolved_ = true;
    resolveRoot(installDir_, root_, rootReason_);
  }
  if (!rootReason_.empty()) return rootReason_;
  if (folder.empty()) return std::string();  // the install folder itself
  const Folder& resolved = resolve(folder);
  std::string reason = resolved.reason;
  if (reason.empty()) withinRoot(root_, resolved.real, reason);
  return reason;
}

// A folder's real location from its parent's: the parent's real location with the folder's
// name added, unless the folder is a link, which is resolved whole. That takes one status
// query per folder instead of one per folder on the way, for every folder.
const ContainmentCache::Folder& ContainmentCache::resolve(std::string_view folder) {
  if (auto known = folders_.find(folder); known != folders_.end()) return known->second;
  // The uppermost folder on the way not resolved yet, then down from there.
  std::vector<std::string_view> unresolved{folder};
  for (std::string_view up = folder;;) {
    const size_t slash = up.rfind('/');
    if (slash == std::string_view::npos) break;
    up = up.substr(0, slash);
    if (folders_.count(up)) break;
    unresolved.push_back(up);
  }
  const Folder* parent = nullptr;  // none: the install folder itself
  if (const size_t slash = unresolved.back().rfind('/'); slash != std::string_view::npos) {
    parent = &folders_.find(unresolved.back().substr(0, slash))->second;
  }
  for (auto at = unresolved.rbegin(); at != unresolved.rend(); ++at) {
    const std::string_view name = at->substr(at->rfind('/') + 1);  // npos + 1 is 0
    const fs::path& parentReal = parent ? parent->real : root_;
    const bool parentResolved = !parent || parent->reason.empty();
    Folder here;
    bool done = false;
    if (parentResolved && !name.empty()) {
      fs::path candidate = parentReal / name;
      struct stat st;
      if (::lstat(candidate.c_str(), &st) == 0 ? !S_ISLNK(st.st_mode) : errno == ENOENT) {
        here.real = std::move(candidate);
        done = true;
      }
    }
    if (!done) {
      // A link, or a way that cannot be queried: resolved whole, as parentInside does.
      std::error_code ec;
      here.real = fs::weakly_canonical(installDir_ / fs::path(*at), ec);
      if (ec) here.reason = ec.message();
    }
    parent = &folders_.emplace(std::string(*at), std::move(here)).first->second;
  }
  return *parent;
}
