// The part file of a download, written behind the receiving thread: the kernel's copy of a
// chunk into the page cache costs about as much as hashing it, so a writer thread of the
// file's own does the writing while the next chunk is received and hashed.
#include "download/download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "download/helper_thread.h"
#include "release/files.h"

PartFile::~PartFile() {
  if (fd_ >= 0) (void)close();
  if (writer_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    writer_.join();
  }
}

bool PartFile::open(const std::filesystem::path& path, uint64_t expectedSize, DigestStream* digest) {
  if (fd_ >= 0) return false;
  // A download can only land where it was sent: a link or a hard link planted at the name is
  // removed, not written through.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd_ < 0) return false;
  // A small file's blocks are set aside at once, beyond its end so that its length still
  // grows only with what is written: moving it over an older file in the commit then does not
  // make the file system write it out first, as ext4 does for a file whose blocks are not yet
  // chosen (a fifth of the commit of an update of 200 small files). For large files the same
  // measured no better than allocating as the data comes, which a file system that cannot set
  // blocks aside does anyway.
  if (expectedSize > 0 && expectedSize <= bufferSize) {
    (void)::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(expectedSize));
  }
  failed_ = false;
  accepted_ = 0;
  digest_ = digest;
  // filling_ stays: the writer takes buffers in ring order from file to file.
  used_[filling_] = 0;
  return true;
}

bool PartFile::openToContinue(const std::filesystem::path& path, uint64_t length, DigestStream* digest) {
  if (fd_ >= 0) return false;
  fd_ = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0) return false;
  struct stat status;
  if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 || ::ftruncate(fd_, static_cast<off_t>(length)) != 0 ||
      ::lseek(fd_, 0, SEEK_END) != static_cast<off_t>(length)) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  failed_ = false;
  accepted_ = length;
  digest_ = digest;
  used_[filling_] = 0;
  return true;
}

bool PartFile::restart() {
  if (fd_ < 0 || accepted_ == 0) return fd_ >= 0;
  if (used_[filling_] > 0 || ::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
    failed_ = true;
    return false;
  }
  accepted_ = 0;
  return true;
}

bool PartFile::write(const char* data, size_t length) {
  if (fd_ < 0 || failed_) return false;
  accepted_ += length;
  while (length > 0) {
    // Not value-initialised: zeroing would touch every page of the buffers, where a small file
    // touches only the few it fills.
    if (!buffers_) buffers_.reset(new char[bufferCount * bufferSize]);
    size_t room = bufferSize - used_[filling_];
    size_t piece = length < room ? length : room;
    std::memcpy(bufferAt(filling_) + used_[filling_], data, piece);
    used_[filling_] += piece;
    data += piece;
    length -= piece;
    if (used_[filling_] == bufferSize && !handOver()) return false;
  }
  return true;
}

bool PartFile::close() {
  if (fd_ < 0) return false;
  bool written = true;
  if (used_[filling_] > 0) {
    bool writerIdle;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writerIdle = queued_ == 0;
    }
    // A file that fits in one buffer is written here: no hand-over for small files.
    if (writerIdle && !failed_) written = writeOut(fd_, digest_, bufferAt(filling_), used_[filling_]);
    else written = handOver();
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queued_ == 0; });
    if (failed_) written = false;
  }
  // The digest covers the bytes received, not the bytes stored: a file of another length than
  // it was given is never passed on as written.
  struct stat status;
  if (::fstat(fd_, &status) != 0 || (S_ISREG(status.st_mode) && static_cast<uint64_t>(status.st_size) != accepted_)) {
    written = false;
  }
  // Errors of delayed allocation can appear only when the file is closed.
  if (::close(fd_) != 0) written = false;
  fd_ = -1;
  digest_ = nullptr;
  used_[filling_] = 0;
  return written;
}

// Queues the buffer being filled for the writer and takes the next one, waiting while all
// are queued. False once a write has failed.
bool PartFile::handOver() {
  if (!writer_.joinable() && !noWriter_) noWriter_ = !startHelperThread(writer_, [this] { writeQueued(); });
  if (noWriter_) {
    // No thread to spare: the buffer is written here, as a small file's is.
    if (!writeOut(fd_, digest_, bufferAt(filling_), used_[filling_])) failed_ = true;
    used_[filling_] = 0;
    return !failed_;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  ++queued_;
  changed_.notify_all();
  filling_ = (filling_ + 1) % bufferCount;
  changed_.wait(lock, [this] { return queued_ < bufferCount || failed_; });
  used_[filling_] = 0;
  return !failed_;
}

void PartFile::writeQueued() {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t next = 0;  // buffers are queued and written in ring order
  for (;;) {
    changed_.wait(lock, [this] { return queued_ > 0 || stopping_; });
    if (queued_ == 0) return;
    const int fd = fd_;
    DigestStream* digest = digest_;
    const bool skip = failed_;
    lock.unlock();
    const bool written = skip || writeOut(fd, digest, bufferAt(next), used_[next]);
    lock.lock();
    if (!written) failed_ = true;
    next = (next + 1) % bufferCount;
    --queued_;
    changed_.notify_all();
  }
}

// The digest covers the bytes received, in the order received: each buffer is hashed as it goes
// to the kernel, whichever thread writes it.
bool PartFile::writeOut(int fd, DigestStream* digest, const char* data, size_t length) {
  if (digest) digest->add(data, length);
  return writeAll(fd, data, length);
}
