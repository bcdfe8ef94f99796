// Keeps every write, link and deletion of a release inside the install folder. The path rules
// of the manifest are lexical; symbolic links on disk (made by this release, an older one or
// the player) can still turn a folder inside the install folder into a way out. So the real
// location is checked on disk right before each step that touches it.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>

// True when the folder that holds installDir / relativePath, with every symbolic link on the
// way resolved, lies inside the resolved installDir (or is it). Otherwise false, with a
// lower-case reason: "it would land outside the install folder", or the system's message when
// the way cannot be resolved (a loop of links, a folder that cannot be searched).
bool parentInside(const std::filesystem::path& installDir, const std::string& relativePath,
                  std::string& reason);

// The same judgement for many entries while nothing on disk changes (the update check): each
// folder is resolved once.
class ContainmentCache {
 public:
  explicit ContainmentCache(std::filesystem::path installDir) : installDir_(std::move(installDir)) {}
  bool parentInside(const std::string& relativePath);

 private:
  std::filesystem::path installDir_;
  std::map<std::string, bool, std::less<>> folders_;  // the entry's folder, relative -> inside
  std::string lastFolder_;
  bool lastInside_ = false;
  bool haveLast_ = false;
};
