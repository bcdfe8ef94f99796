// Uninstall mode: removes what the installed manifest lists, the folders that became empty,
// the state files and the two menu entries, and keeps everything else (the player's
// characters and settings). Runs on the main thread; SDL is used only for message boxes.
#include <SDL3/SDL.h>

#include <algorithm>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "app/modes.h"
#include "app/options.h"
#include "app/session.h"
#include "engine/contained.h"
#include "engine/update_plan.h"
#include "release/release.h"

namespace fs = std::filesystem;

namespace {

const char* const notInstalled = "Varnholt is not installed here.";

// Removes one entry, never what a link points to, and only where the real location of its
// folder lies inside the install folder: a player's link to a folder elsewhere must not lead
// the removal out of the install folder.
void removeEntry(const fs::path& installDir, const std::string& relativePath) {
  std::string reason;
  if (!parentInside(installDir, relativePath, reason)) return;
  std::error_code ec;
  fs::remove(installDir / relativePath, ec);
}

// Every folder above an entry, below the install folder: "a/b/c" gives "a/b" and "a".
void addFolders(const std::string& relativePath, std::set<std::string>& folders) {
  for (size_t slash = relativePath.rfind('/'); slash != std::string::npos && slash > 0;
       slash = relativePath.rfind('/', slash - 1)) {
    folders.insert(relativePath.substr(0, slash));
  }
}

void removeEmptyFolder(const fs::path& installDir, const std::string& relativePath) {
  std::string reason;
  if (!parentInside(installDir, relativePath, reason)) return;
  fs::path folder = installDir / relativePath;
  std::error_code ec;
  // A link in the folder's place is the player's, even when it points to an empty folder.
  if (!fs::is_directory(fs::symlink_status(folder, ec))) return;
  if (!fs::is_empty(folder, ec) || ec) return;
  fs::remove(folder, ec);
}

void showBox(SDL_MessageBoxFlags flags, const char* message) {
  if (board.options.quiet) return;
  // Without its video started, SDL tries the box of each of its drivers in turn, Wayland's
  // first, which runs zenity even where no Wayland desktop runs. An X session gets SDL's own
  // X11 box, which needs no other program. SDL_VIDEODRIVER still chooses otherwise.
  if (!SDL_getenv("WAYLAND_DISPLAY") && SDL_getenv("DISPLAY")) SDL_SetHint(SDL_HINT_VIDEO_DRIVER, "x11");
  // Without a display no box can appear; the log line and the exit code still tell, so a
  // failure to show one changes nothing.
  static_cast<void>(SDL_ShowSimpleMessageBox(flags, "Varnholt", message, nullptr));
}

}  // namespace

int uninstallMain() {
  const fs::path& installDir = board.options.installDir;
  std::string error;
  if (!holdInstallFolder(installDir, error)) {
    showBox(SDL_MESSAGEBOX_WARNING, anotherCopyRunning);
    logLine("uninstall failed: " + error);
    return 1;
  }
  board.valid = parseReleaseFile(installDir / "install.manifest", board.installed, error);
  if (!board.valid) {
    showBox(SDL_MESSAGEBOX_WARNING, notInstalled);
    logLine(std::string("uninstall failed: ") + notInstalled);
    return 1;
  }

  std::set<std::string> folders;
  for (const ReleaseLink& link : board.installed.links) {
    const std::string path(withoutTrailingSlash(link.path));
    removeEntry(installDir, path);
    addFolders(path, folders);
  }
  for (const ReleaseFile& file : board.installed.files) {
    const std::string path(withoutTrailingSlash(file.path));
    removeEntry(installDir, path);
    addFolders(path, folders);
  }

  // Deepest first, so a folder is emptied of its sub-folders before it is looked at.
  std::vector<std::string> deepestFirst(folders.begin(), folders.end());
  std::stable_sort(deepestFirst.begin(), deepestFirst.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& folder : deepestFirst) removeEmptyFolder(installDir, folder);

  std::error_code ec;
  for (const char* name : {"install.manifest", "install.source", "install.dir"}) {
    fs::remove(installDir / name, ec);
  }
  const fs::path applications = dataFolder() / "applications";
  for (const char* name : {"varnholt.desktop", "varnholt-update.desktop"}) {
    fs::remove(applications / name, ec);
  }
  if (fs::is_empty(installDir, ec) && !ec) fs::remove(installDir, ec);

  logLine("uninstalled");
  showBox(SDL_MESSAGEBOX_INFORMATION, "Varnholt was removed. Your characters and settings are kept.");
  return 0;
}
