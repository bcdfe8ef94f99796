// The command line and start-up helpers. Start-up runs on the main thread before any worker
// exists. The helpers are functions of their arguments, the environment and the working
// folder; they keep no state and may be called from any thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct Options {
  std::string source;
  std::filesystem::path installDir;
  bool update = false;
  bool repair = false;
  bool uninstall = false;
  bool quiet = false;
  bool noRegister = false;
  std::filesystem::path snapshotPath;
  std::filesystem::path logPath;
  bool version = false;  // --version: print versionText() and exit
};

enum class RunMode { Version, Uninstall, Quiet, Window, Snapshot };

// Reads the arguments (the program name already removed) by the matching rules, then settles
// the install folder and the download source from the environment and "install.source".
Options startupOptions(const std::vector<std::string>& arguments);
RunMode chooseRunMode(const Options& options);
// True when path holds a control character (a byte below 0x20, or 0x7F). Such an install folder
// is refused at start-up: its name would break the lines of the menu entries and the log.
bool hasControlCharacter(const std::filesystem::path& path);
extern const char* const controlCharacterRefusal;

// HOME if present (even empty), else USERPROFILE if present, else the working folder.
std::filesystem::path homeFolder();
// XDG_DATA_HOME if set and not empty, else homeFolder() / ".local" / "share".
std::filesystem::path dataFolder();
// The first of candidates that exists (links followed: a link to nothing does not count, any
// existing kind of entry does), or an empty path.
std::filesystem::path firstExisting(const std::vector<std::filesystem::path>& candidates);
// The whole file in binary; a missing or unreadable file gives "".
std::string readFile(const std::filesystem::path& path);
// The compiled-in release server root followed by "linux/".
std::string defaultBaseUrl();
// What --version prints: the program's version, the release server it was built for and the
// first 16 hex digits of releaseKey (releasePublicKey in the program), a line each.
std::string versionText(const char* releaseKey);
