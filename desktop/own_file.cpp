#include "desktop/own_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "release/files.h"

namespace fs = std::filesystem;

namespace {

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

bool copyContent(int from, int to, std::error_code& ec) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || !writeAll(to, buffer, static_cast<size_t>(got > 0 ? got : 0))) {
      ec = lastError();
      return false;
    }
    if (got == 0) return true;
  }
}

}  // namespace

bool createOwnFile(const fs::path& path, mode_t mode, FileDescriptor& file, std::error_code& ec) {
  ec.clear();
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    ec = lastError();
    return false;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    ec = lastError();
    return false;
  }
  file.reset(fd);
  return true;
}

bool copyToOwnFile(const fs::path& from, const fs::path& to, mode_t mode, std::error_code& ec) {
  const FileDescriptor source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (source.get() < 0) {
    ec = lastError();
    return false;
  }
  FileDescriptor target;
  if (!createOwnFile(to, mode, target, ec)) return false;
  const bool copied = copyContent(source.get(), target.get(), ec);
  if (!target.closeChecked() && copied) ec = lastError();
  if (copied && !ec) return true;
  std::error_code ignored;
  fs::remove(to, ignored);
  return false;
}
