// One run per install folder: two copies on one folder (a double click on the menu entry is
// enough) would remove each other's part files and place each other's half-written downloads.
// The folder itself is locked (flock), from the first check, apply or uninstall on until the
// process ends; the kernel lets go of it when the process ends, however it ends.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "engine/update_plan.h"
#include "release/file_guards.h"

namespace {

FileDescriptor heldFolder;  // open for the whole process once locked
std::filesystem::path heldPath;

}  // namespace

const char* const anotherCopyRunning = "Another copy of Varnholt Setup is running for this folder.";

bool holdInstallFolder(const std::filesystem::path& installDir, std::string& error) {
  if (heldFolder.isOpen() && heldPath == installDir) return true;
  letGoOfInstallFolder();
  FileDescriptor folder(::open(installDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // A folder not made yet guards nothing; the apply locks it once it has made it.
  if (!folder.isOpen()) return true;
  if (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
    const bool heldElsewhere = errno == EWOULDBLOCK;
    folder.reset();
    if (!heldElsewhere) return true;  // a file system without locks: nothing to go by
    error = anotherCopyRunning;
    return false;
  }
  heldFolder = std::move(folder);
  heldPath = installDir;
  return true;
}

void letGoOfInstallFolder() {
  heldFolder.reset();
}
