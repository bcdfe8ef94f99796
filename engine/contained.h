// Keeps every write, link and deletion of a release inside the install folder. The path rules
// of the manifest are lexical; symbolic links on disk (made by this release, an older one or
// the player) can still turn a folder inside the install folder into a way out. So the real
// location is checked on disk right before each step that touches it.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

// A release path as the name of its entry: without the "/" it may end with, which would make
// every call on the path follow a link that stands at its name. Every operation on an entry
// goes through this (or installedEntry).
std::string_view withoutTrailingSlash(std::string_view relativePath);
// installDir / withoutTrailingSlash(relativePath).
std::filesystem::path installedEntry(const std::filesystem::path& installDir, std::string_view relativePath);

// True when the folder that holds installDir / relativePath, with every symbolic link on the
// way resolved, lies inside the resolved installDir (or is it). Otherwise false, with a
// lower-case reason: "it would land outside the install folder", or the system's message when
// the way cannot be resolved (a loop of links, a folder that cannot be searched).
bool parentInside(const std::filesystem::path& installDir, const std::string& relativePath,
                  std::string& reason);

// True when installDir / relativePath itself, followed as the kernel follows it (every link on
// the way and at the end, through links that lead through links, ".." taken after a link from
// where the link really leads), ends inside the resolved installDir or is it. A part that does
// not exist yet is taken as written. Otherwise false, with the reasons of parentInside. This
// Nor may it lead to a name the program keeps for itself (the staging folder, the state files):
// "it would lead to a name the setup program keeps for itself". This
// is how a link is judged once it is made: its target's text alone cannot tell, because
// "l/.." climbs out when l is a link to ".".
bool leadsInside(const std::filesystem::path& installDir, const std::string& relativePath,
                 std::string& reason);

// The same judgement for many entries, each folder resolved once: for a pass in which no
// symbolic link is made (the update check, placing files, deleting leftovers). Deleting
// entries and making real folders cannot turn a way inside into a way out.
class ContainmentCache {
 public:
  explicit ContainmentCache(std::filesystem::path installDir) : installDir_(std::move(installDir)) {}
  bool parentInside(const std::string& relativePath, std::string& reason);

 private:
  struct Folder {
    std::filesystem::path real;  // with every link resolved; the part not made yet as written
    std::string reason;          // why it could not be resolved, "" when it was
  };
  std::string judge(std::string_view folder);  // the reason, "" inside
  const Folder& resolve(std::string_view folder);

  std::filesystem::path installDir_;
  std::filesystem::path root_;  // installDir_ resolved, at the first entry
  bool rootResolved_ = false;
  std::string rootReason_;      // why it could not be resolved
  std::map<std::string, Folder, std::less<>> folders_;  // by folder relative to installDir_
  std::string lastFolder_;
  std::string lastReason_;
  bool haveLast_ = false;
};
