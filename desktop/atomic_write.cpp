// Replacing a small file in one step: the content goes in full to target + ".tmp" beside the
// target, which a rename then moves over the target, so readers see the old or the new file.
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "desktop/desktop.h"
#include "desktop/own_file.h"
#include "release/files.h"

namespace fs = std::filesystem;

namespace {

bool writeWhole(const fs::path& path, std::string_view content) {
  // Made anew at its name, never through a link planted there.
  FileDescriptor file;
  std::error_code ec;
  if (!createOwnFile(path, 0666, file, ec)) return false;
  const bool written = writeAll(file.get(), content.data(), content.size());
  // Errors of delayed allocation show only at the close: on a full disk, a file that lost its
  // tail must not replace the target.
  const bool closed = file.closeChecked();
  if (written && closed) return true;
  // An incomplete temporary file is of no use and only holds space on a full disk.
  fs::remove(path, ec);
  return false;
}

}  // namespace

bool writeFileAtomically(const fs::path& target, std::string_view content) {
  fs::path temporary = target;
  temporary += ".tmp";
  if (!writeWhole(temporary, content)) return false;
  std::error_code ec;
  fs::rename(temporary, target, ec);
  return !ec;
}
