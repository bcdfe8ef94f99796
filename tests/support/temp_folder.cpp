#include "tests/support/temp_folder.h"

#include <stdlib.h>
#include <sys/stat.h>

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
