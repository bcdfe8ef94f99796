// The apply transaction, second phase: move the staged files into place, make the links,
// delete what the older release had and the new one has not, record the release, drop the
// staging folder and write the menu entries. The record is written last among the game's
// files, so an interrupted commit leaves the older record and the next run finishes the job.
#include <fcntl.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "app/status_board.h"
#include "desktop/desktop.h"
#include "desktop/own_file.h"
#include "engine/contained.h"
#include "engine/path_table.h"
#include "engine/replaced_files.h"
#include "engine/update_plan.h"
#include "release/release.h"

namespace fs = std::filesystem;

namespace {

// The paths of release's files and links, and the target of each link.
void collectPaths(const Release& release, PathTable<bool>& paths, std::map<std::string, std::string>& links) {
  paths = PathTable<bool>(release.files.size() + release.links.size());
  for (const ReleaseFile& file : release.files) paths.set(file.path, true);
  for (const ReleaseLink& link : release.links) {
    paths.set(link.path, true);
    links[link.path] = link.target;
  }
}

// True when both releases list the same files and links in the same order: an update that
// changes contents only, which leaves nothing over.
bool samePaths(const Release& a, const Release& b) {
  if (a.files.size() != b.files.size() || a.links.size() != b.links.size()) return false;
  for (size_t i = 0; i < a.files.size(); ++i) {
    if (a.files[i].path != b.files[i].path) return false;
  }
  for (size_t i = 0; i < a.links.size(); ++i) {
    if (a.links[i].path != b.links[i].path || a.links[i].target != b.links[i].target) return false;
  }
  return true;
}

// Which paths belong to which release: used to tell the older release's leftovers, which
// the commit may clear away, from the player's own files, which it must never touch.
// The paths point into board.latest and the installed release, unchanged during the commit.
// The tables are made at the first question that needs them: an update whose releases list
// the same paths has no leftover and mostly asks none.
class Ownership {
 public:
  explicit Ownership(const StatusBoard& board)
      : latest_(board.latest), installed_(board.valid ? &installedRelease(board) : nullptr) {
    nothingLeftOver_ = !installed_ || samePaths(latest_, *installed_);
  }

  bool nothingLeftOver() const { return nothingLeftOver_; }
  bool leftover(std::string_view path) const {
    if (nothingLeftOver_) return false;
    fill();
    return installedPaths_.contains(path) && !keptPaths_.contains(path);
  }
  bool releaseOwned(std::string_view path) const {
    fill();
    return installedPaths_.contains(path) || keptPaths_.contains(path);
  }
  bool kept(std::string_view path) const {
    fill();
    return keptPaths_.contains(path);
  }
  const std::map<std::string, std::string>& latestLinks() const {
    fill();
    return latestLinks_;
  }
  const std::map<std::string, std::string>& installedLinks() const {
    fill();
    return installedLinks_;
  }

 private:
  void fill() const {
    if (filled_) return;
    filled_ = true;
    collectPaths(latest_, keptPaths_, latestLinks_);
    if (installed_) collectPaths(*installed_, installedPaths_, installedLinks_);
  }

  const Release& latest_;
  const Release* installed_;
  bool nothingLeftOver_;
  mutable bool filled_ = false;
  mutable PathTable<bool> keptPaths_;       // files and links of the latest release
  mutable PathTable<bool> installedPaths_;  // files and links of the recorded release
  mutable std::map<std::string, std::string> latestLinks_;  // path -> target
  mutable std::map<std::string, std::string> installedLinks_;
};

// Calls visit with each folder on the way to an entry ("a/b/c" gives "a", then "a/b") until
// visit returns false.
void forEachFolderOnTheWay(const std::string& path, const std::function<bool(const std::string&)>& visit) {
  const std::string entry(withoutTrailingSlash(path));
  for (size_t slash = entry.find('/'); slash != std::string::npos; slash = entry.find('/', slash + 1)) {
    if (!visit(entry.substr(0, slash))) return;
  }
}

// A release may turn a file of the older release into a folder. Where the way to an entry
// meets a file or a link that is one of the older release's leftovers, that leftover goes now
// rather than after the new files are placed. Anything else is left for the step to fail on.
void clearLeftoversOnTheWay(const fs::path& installDir, const std::string& path, const Ownership& owned) {
  // Only a leftover is ever removed: with none, the walk on disk would change nothing, and an
  // update of thousands of files spares a status query per folder.
  if (owned.nothingLeftOver()) return;
  forEachFolderOnTheWay(path, [&](const std::string& folder) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(installDir / folder, ec);
    if (!fs::exists(status)) return false;
    if (fs::is_directory(status)) return true;
    std::string reason;
    if (owned.leftover(folder) && parentInside(installDir, folder, reason)) {
      fs::remove(installDir / folder, ec);
      return false;
    }
    // A link that stays: the way goes on through it (where it leads is judged before the
    // step). A file that stays: the step fails on it.
    return fs::is_symlink(status);
  });
}

// True when the folder at path holds nothing but entries that pass the test (and folders).
bool folderHoldsOnly(const fs::path& installDir, const std::string& path,
                     const std::function<bool(const std::string&)>& allowed) {
  const std::string base(withoutTrailingSlash(path));
  std::error_code ec;
  fs::recursive_directory_iterator it(installDir / base, ec), end;
  if (ec) return false;
  for (; it != end; it.increment(ec)) {
    if (ec) return false;
    if (it->is_directory(ec) && !it->is_symlink(ec)) continue;
    const std::string relative = base + "/" + it->path().lexically_relative(installDir / base).string();
    if (!allowed(relative)) return false;
  }
  return !ec;
}

// A release may turn a folder of the older release into a file: a folder at the file's place
// goes when it holds only the older release's leftovers.
void clearFolderOfLeftovers(const fs::path& installDir, const std::string& path, const Ownership& owned) {
  std::error_code ec;
  const fs::path entry = installedEntry(installDir, path);
  if (!fs::is_directory(fs::symlink_status(entry, ec))) return;
  if (!folderHoldsOnly(installDir, path, [&](const std::string& p) { return owned.leftover(p); })) return;
  fs::remove_all(entry, ec);
}

bool sameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

// True when path is a regular file (its own status) whose permission bits are exactly mode.
bool hasMode(const fs::path& path, fs::perms mode) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         (st.st_mode & 07777) == static_cast<mode_t>(mode);
}

// Sets a file's mode without following a link at its name. A file system that cannot hold the
// mode (FAT and exFAT refuse with EPERM) keeps the file where it is: the failure is not reported.
bool setMode(const ApplyContext& context, const fs::path& path, fs::perms mode) {
  return context.fileModeCall(AT_FDCWD, path.c_str(), static_cast<mode_t>(mode), AT_SYMLINK_NOFOLLOW) == 0;
}

// Where a rename cannot cross file systems, the file is copied to its place instead.
void copyAcross(const ApplyContext& context, const fs::path& from, const fs::path& target, fs::perms mode,
                std::error_code& ec) {
  ec.clear();
  if (copyToOwnFile(from, target, static_cast<mode_t>(mode), ec)) (void)setMode(context, target, mode);
}

bool placeFiles(const StatusBoard& board, const ApplyContext& context, const fs::path& installDir,
                const Ownership& owned, ReplacedFiles& replaced, std::string& error) {
  const fs::path staging = stagingFolder(board);
  ContainmentCache containment(installDir);  // placing files makes no link
  std::map<std::string, fs::path> placed;  // hash -> where its first file now stands
  for (uint64_t index : board.neededFiles) {
    const ReleaseFile& file = board.latest.files[index];
    const fs::path target = installedEntry(installDir, file.path);
    std::error_code ec;

    clearLeftoversOnTheWay(installDir, file.path, owned);
    std::string reason;
    if (!containment.parentInside(file.path, reason)) {
      error = "Could not install " + file.path + " (" + reason + ").";
      return false;
    }
    fs::create_directories(target.parent_path(), ec);
    const fs::file_status status = fs::symlink_status(target, ec);
    if (fs::is_symlink(status)) fs::remove(target, ec);
    if (fs::is_directory(status)) clearFolderOfLeftovers(installDir, file.path, owned);
    if (fs::is_regular_file(status)) replaced.hold(target);

    ec.clear();
    // Every file gets its mode before it takes its place, so that a run stopped at any moment
    // never leaves a placed file with the wrong mode (the next check would trust its content).
    const fs::perms mode = file.executable ? fs::perms(0755) : fs::perms(0644);
    auto first = placed.find(file.hash);
    if (first != placed.end()) {
      // The same content again: copy it from its first place, unless that is this very file.
      if (!sameFile(first->second, target)) {
        const fs::path copy = staging / (file.hash + ".copy");
        if (copyToOwnFile(first->second, copy, static_cast<mode_t>(mode), ec)) {
          (void)setMode(context, copy, mode);
          std::error_code ignored;
          if (fs::is_directory(fs::symlink_status(target, ignored))) fs::remove(target, ignored);
          fs::rename(copy, target, ec);
          // The staging folder on another file system than the file's folder.
          if (ec == std::errc::cross_device_link) copyAcross(context, copy, target, mode, ec);
        }
      } else {
        (void)setMode(context, target, mode);
      }
    } else {
      const fs::path entry = staging / file.hash;
      const bool entryHasMode = hasMode(entry, mode) || setMode(context, entry, mode);
      fs::rename(entry, target, ec);
      // Without the mode on the entry (a system that cannot change it without following
      // links), the placed file gets it, if its file system can hold it.
      if (!ec && !entryHasMode) (void)setMode(context, target, mode);
      if (ec == std::errc::cross_device_link) copyAcross(context, entry, target, mode, ec);
      if (!ec) placed[file.hash] = target;
    }
    if (ec) {
      error = "Could not install " + file.path + " (" + ec.message() + ").";
      return false;
    }
  }
  return true;
}

// A link that leads out of the install folder, followed as the kernel follows it, does not stay.
bool linkLeadsInside(const fs::path& installDir, const std::string& path, std::string& error) {
  std::string reason;
  if (leadsInside(installDir, path, reason)) return true;
  std::error_code ec;
  fs::remove(installedEntry(installDir, path), ec);
  error = "Could not link " + path + " (" + reason + ").";
  return false;
}

bool makeLinks(const Release& latest, const fs::path& installDir, const Ownership& owned, std::string& error) {
  for (const ReleaseLink& link : latest.links) {
    const fs::path at = installedEntry(installDir, link.path);
    std::error_code ec;

    clearLeftoversOnTheWay(installDir, link.path, owned);
    std::string reason;
    if (!parentInside(installDir, link.path, reason)) {
      error = "Could not link " + link.path + " (" + reason + ").";
      return false;
    }
    fs::create_directories(at.parent_path(), ec);
    const fs::file_status status = fs::symlink_status(at, ec);
    if (fs::is_symlink(status)) {
      const fs::path current = fs::read_symlink(at, ec);
      if (!ec && current.string() == link.target) continue;
    }
    // A folder goes only when it holds nothing of the player's; otherwise the link cannot be
    // made and the step fails with the system's message.
    if (!fs::is_directory(status) ||
        folderHoldsOnly(installDir, link.path, [&](const std::string& p) { return owned.releaseOwned(p); })) {
      fs::remove_all(at, ec);
    }
    ec.clear();
    fs::create_symlink(link.target, at, ec);
    if (ec) {
      error = "Could not link " + link.path + " (" + ec.message() + ").";
      return false;
    }
    if (!linkLeadsInside(installDir, link.path, error)) return false;
  }
  // A link made later may change where an earlier one leads ("a" to "b/..", then "b" to "."):
  // once all are made, each is followed again.
  for (const ReleaseLink& link : latest.links) {
    if (!linkLeadsInside(installDir, link.path, error)) return false;
  }
  return true;
}

// True when the way to path runs through a link that this commit made where the older
// release had none: what the older release had there went with the folder it replaced, and
// the same path now names something else.
bool throughNewLink(const std::string& path, const Ownership& owned) {
  bool found = false;
  forEachFolderOnTheWay(path, [&](const std::string& folder) {
    auto latest = owned.latestLinks().find(folder);
    if (latest == owned.latestLinks().end()) return true;
    auto before = owned.installedLinks().find(folder);
    found = before == owned.installedLinks().end() || before->second != latest->second;
    return !found;
  });
  return found;
}

using FileIdentity = std::pair<dev_t, ino_t>;

bool identity(const fs::path& path, FileIdentity& id) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  id = {st.st_dev, st.st_ino};
  return true;
}

// Deletes the older release's files and links that the latest release does not have. An
// entry is skipped when it would be deleted outside the install folder, or when it now is
// one of the latest release's own entries under another name.
void deleteLeftovers(const StatusBoard& board, const fs::path& installDir, const Ownership& owned) {
  if (!board.valid || owned.nothingLeftOver()) return;
  std::vector<std::string> leftovers;
  const Release& installed = installedRelease(board);
  for (const ReleaseFile& file : installed.files) {
    if (!owned.kept(file.path)) leftovers.push_back(file.path);
  }
  for (const ReleaseLink& link : installed.links) {
    if (!owned.kept(link.path)) leftovers.push_back(link.path);
  }
  if (leftovers.empty()) return;

  ContainmentCache containment(installDir);  // deleting makes no link
  std::set<FileIdentity> keptEntries;
  auto keep = [&](const std::string& path) {
    std::string reason;
    FileIdentity id;
    if (containment.parentInside(path, reason) && identity(installedEntry(installDir, path), id)) {
      keptEntries.insert(id);
    }
  };
  for (const ReleaseFile& file : board.latest.files) keep(file.path);
  for (const ReleaseLink& link : board.latest.links) keep(link.path);
  for (const std::string& path : leftovers) {
    std::string reason;
    if (!containment.parentInside(path, reason) || throughNewLink(path, owned)) continue;
    const fs::path entry = installedEntry(installDir, path);
    FileIdentity id;
    if (!identity(entry, id) || keptEntries.count(id)) continue;
    std::error_code ec;
    fs::remove(entry, ec);
  }
}

// A link at a state file's temporary name would carry the write elsewhere.
bool writeStateFile(const fs::path& target, const std::string& content) {
  fs::path temporary = target;
  temporary += ".tmp";
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(temporary, ec))) fs::remove(temporary, ec);
  return writeFileAtomically(target, content);
}

// Records the source in use: "install.source" holds it, or is gone for the default source.
// Writes only when the file says otherwise.
void recordSource(const StatusBoard& board) {
  const fs::path file = board.options.installDir / "install.source";
  std::error_code ec;
  if (board.options.source == defaultBaseUrl()) {
    fs::remove(file, ec);
  } else if (readFile(file) != board.options.source + "\n") {
    writeStateFile(file, board.options.source + "\n");
  }
}

}  // namespace

bool commitUpdate(StatusBoard& board, std::string& error, const ApplyContext& context) {
  setStatus(board, "Installing...", "", 1.0);
  const fs::path& installDir = board.options.installDir;
  const Ownership owned(board);

  // The files this commit replaces, the older record among them, are freed behind it.
  ReplacedFiles replaced;
  if (!placeFiles(board, context, installDir, owned, replaced, error)) return false;
  if (!makeLinks(board.latest, installDir, owned, error)) return false;
  deleteLeftovers(board, installDir, owned);

  // The source first: the record, written last, decides whether the update is complete, and a
  // run stopped between the two finds the record of the older release and finishes the job.
  recordSource(board);
  const fs::path record = installDir / "install.manifest";
  replaced.hold(record);
  if (!writeStateFile(record, board.manifestText)) {
    // On a full disk, the room of the files still held may be what the record needs: freed
    // as their replacements would have freed them, it gets a second chance.
    replaced.letGoOfAll();
    if (!writeStateFile(record, board.manifestText)) {
      error = "Could not record the installed version.";
      return false;
    }
  }
  std::error_code ec;
  fs::remove_all(stagingFolder(board), ec);

  board.installed = board.latest;
  board.valid = true;
  if (!board.options.noRegister) registerMenuEntries(board);
  logLine(board, "installed " + board.latest.version);
  return true;
}
