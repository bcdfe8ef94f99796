// Owners of the two kinds of open file the program uses: a descriptor and a C stream. Each is
// closed with its scope on every path; closeChecked closes a descriptor early so that the caller
// sees a close error (a write that fails only at close).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }
  // Closes the descriptor held (a close error is lost: use closeChecked after writing) and
  // takes fd.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  [[nodiscard]] bool closeChecked() {
    const int fd = std::exchange(fd_, -1);
    return fd >= 0 && ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileStream = std::unique_ptr<std::FILE, FileCloser>;
