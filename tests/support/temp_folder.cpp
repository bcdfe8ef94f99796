#include "tests/support/temp_folder.h"

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <stdexcept>
#include <system_error>

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "varnholt-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  chmod(pattern.c_str(), 0755);
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable again before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0755);
  }
  std::filesystem::remove_all(path_, ec);
}

TmpfsMount::TmpfsMount(std::filesystem::path at, const std::string& size) : at_(std::move(at)) {
  std::error_code ec;
  std::filesystem::create_directories(at_, ec);
  const std::string options = "size=" + size;
  if (mount("tmpfs", at_.c_str(), "tmpfs", 0, options.c_str()) != 0) error_ = std::strerror(errno);
}

TmpfsMount::~TmpfsMount() {
  if (mounted()) umount(at_.c_str());
}
