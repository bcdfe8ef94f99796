// Replacing a small file in one step: the content goes in full to target + ".tmp" beside the
// target, which a rename then moves over the target, so readers see the old or the new file.
#include <cstdio>
#include <system_error>

#include "desktop/desktop.h"

namespace fs = std::filesystem;

namespace {

// Closes the stream on every path out; close() reports the result of the final flush.
class OpenFile {
 public:
  explicit OpenFile(const fs::path& path) : file_(std::fopen(path.c_str(), "wb")) {}
  ~OpenFile() {
    if (file_) std::fclose(file_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  FILE* get() const { return file_; }
  bool close() {
    FILE* file = file_;
    file_ = nullptr;
    return std::fclose(file) == 0;
  }

 private:
  FILE* file_;
};

bool writeWhole(const fs::path& path, std::string_view content) {
  OpenFile file(path);
  if (!file.get()) return false;
  bool written = content.empty() ||
                 std::fwrite(content.data(), 1, content.size(), file.get()) == content.size();
  // Buffered bytes reach the file system only at the close: on a full disk the close fails,
  // and a file that lost its tail must not replace the target.
  bool closed = file.close();
  if (written && closed) return true;
  // An incomplete temporary file is of no use and only holds space on a full disk.
  std::error_code ec;
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
