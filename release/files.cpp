#include "release/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace {

constexpr size_t digestBufferSize = 1024 * 1024;

}  // namespace

bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

bool readAll(int fd, std::string& content) {
  // Sized up front: a record of tens of thousands of lines is read without regrowing.
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    content.reserve(content.size() + static_cast<size_t>(st.st_size));
  }
  char buffer[65536];
  while (true) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) return true;
    content.append(buffer, static_cast<size_t>(count));
  }
}

bool digestAll(int fd, DigestStream& digest, uint64_t& count, uint64_t limit) {
  count = 0;
  const size_t bufferSize = limit < digestBufferSize ? static_cast<size_t>(limit) : digestBufferSize;
  if (bufferSize == 0) return true;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[bufferSize]);
  while (count < limit) {
    const uint64_t left = limit - count;
    const size_t want = left < bufferSize ? static_cast<size_t>(left) : bufferSize;
    const ssize_t got = ::read(fd, buffer.get(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    digest.add(buffer.get(), static_cast<size_t>(got));
    count += static_cast<uint64_t>(got);
  }
  return true;
}
