#include "engine/replaced_files.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "download/helper_thread.h"

namespace {

constexpr size_t mostHeld = 256;  // more than an update of a few hundred files replaces

size_t descriptorShare() {
  struct rlimit open;
  if (getrlimit(RLIMIT_NOFILE, &open) != 0 || open.rlim_cur == RLIM_INFINITY) return mostHeld;
  return std::min<size_t>(mostHeld, open.rlim_cur / 4);
}

}  // namespace

unsigned ReplacedFiles::defaultHelpers() {
  // The helpers mostly wait for the disk, so a few of them keep several discards in flight;
  // with a single processor they would only take turns with the commit.
  return std::thread::hardware_concurrency() > 1 ? 4 : 0;
}

ReplacedFiles::ReplacedFiles(unsigned helpers) : helperCount_(helpers), limit_(descriptorShare()) {}

void ReplacedFiles::letGoOfAll() {
  handOverLast();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finishing_ = true;
  }
  wake_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
  helpers_.clear();
  started_ = false;
  finishing_ = false;
}

bool ReplacedFiles::startHelpers() {
  if (started_) return !helpers_.empty();
  started_ = true;
  helpers_.reserve(helperCount_);
  for (unsigned i = 0; i < helperCount_; ++i) {
    std::thread helper;
    // Fewer helpers than asked for still let go of everything; none means no hold at all.
    if (!startHelperThread(helper, [this] { letGo(); })) break;
    helpers_.push_back(std::move(helper));
  }
  return !helpers_.empty();
}

void ReplacedFiles::hold(const std::filesystem::path& path) {
  handOverLast();
  if (helperCount_ == 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_.size() + 1 > limit_) return;  // with this one
  }
  // A path descriptor references the entry without opening it: no device is opened, no
  // content read, and the entry's kind does not matter.
  FileDescriptor file(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!file.isOpen()) return;  // nothing there, as at a first install: no helper is started for it
  if (!startHelpers()) return;
  last_ = std::move(file);
}

void ReplacedFiles::handOverLast() {
  if (!last_.isOpen()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.push_back(std::move(last_));
  }
  wake_.notify_one();
}

void ReplacedFiles::letGo() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return !held_.empty() || finishing_; });
    if (held_.empty()) return;
    FileDescriptor file = std::move(held_.back());
    held_.pop_back();
    lock.unlock();
    file.reset();
    lock.lock();
  }
}
