// A fresh folder under the system's temporary folder, removed with everything in it at the
// end of the scope. World-readable, so that servers running as another user can serve from it.
#pragma once

#include <filesystem>
#include <string>

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A tmpfs of the given size ("1m") mounted at a new folder at, unmounted at the end of the
// scope: a small disk that fills up. Only for a test run in a mount namespace of its own
// (rerunInChild with privateMounts), so that nothing outside it sees the mount.
class TmpfsMount {
 public:
  TmpfsMount(std::filesystem::path at, const std::string& size);
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  bool mounted() const { return error_.empty(); }
  const std::string& error() const { return error_; }  // why the mount failed

 private:
  std::filesystem::path at_;
  std::string error_;
};
