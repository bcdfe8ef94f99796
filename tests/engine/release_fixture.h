// Test releases for the update engine: hand-made, signed with the test key and laid out as the
// release server serves them, snapshots of folder trees to compare installs against, and a
// runner for the real program with its own home, data folder and log.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "release/release.h"
#include "tests/support/process.h"
#include "tests/support/test_files.h"

struct GameFile {
  std::string path;
  std::string content;
  bool executable = false;
};

struct GameLink {
  std::string path;
  std::string target;
};

struct TestRelease {
  std::string version = "1.0";
  std::string game = "bin/game";
  std::vector<GameFile> files;  // written to the manifest in this order, duplicates and all
  std::vector<GameLink> links;
};

// BLAKE2b-256 of content as 64 lower-case hex digits.
std::string contentDigest(const std::string& content);
// The record the manifest of release describes.
Release releaseRecord(const TestRelease& release);
// The manifest text of release, signed with the test key.
std::string signedManifest(const TestRelease& release);
// Writes linuxFolder/files/<hash> for every file and linuxFolder/latest.manifest (signed);
// returns the manifest text.
std::string publishTestRelease(const std::filesystem::path& linuxFolder, const TestRelease& release);

// Every entry below root by relative path: "dir", "file <mode> <digest>" or "link <target>".
// Large files are described by their digest, so snapshots stay small.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot snapshotTree(const std::filesystem::path& root);
// What snapshotTree gives for a folder that holds exactly release (and its folders).
TreeSnapshot releaseTree(const TestRelease& release);
// Everything below the install folder but the staging folder.
TreeSnapshot withoutStaging(TreeSnapshot tree);
// Adds a player's file (and its folders) to a snapshot.
void addFile(TreeSnapshot& tree, const std::string& path, const std::string& content, int mode = 0644);
std::string describeFile(const std::string& content, int mode);

// The lines of a text, without their line feeds.
std::vector<std::string> linesOf(const std::string& text);

// The real program, run in a sandbox folder: HOME is sandbox/home, XDG_DATA_HOME is
// sandbox/data, and "--log sandbox/setup.log" is added. The log's lines come back.
struct SetupRun {
  int exitCode = -1;
  int signal = 0;
  std::string output;
  std::vector<std::string> log;
};
SetupRun runSetup(const std::filesystem::path& sandbox, std::vector<std::string> arguments,
                  ProcessOptions options = {});
std::vector<std::string> setupEnvironment(const std::filesystem::path& sandbox);
// Starts the program in the background with the arguments and the sandbox's environment; returns its pid.
int startSetup(const std::filesystem::path& sandbox, const std::vector<std::string>& arguments);

// The nine lines of each menu entry the program writes for an install folder and game path.
std::vector<std::string> gameMenuEntry(const std::filesystem::path& installDir, const std::string& game);
std::vector<std::string> updateMenuEntry(const std::filesystem::path& installDir);

// For tests that call the engine in this process: clears the plan and the installed state,
// points the options at installDir with an unreachable source, turns the menu entries off
// (they would go to the real home) and opens logPath as the log.
void resetBoard(const std::filesystem::path& installDir, const std::filesystem::path& logPath);
// Puts content into installDir/.staging under its digest, as a finished download.
void stageContent(const std::filesystem::path& installDir, const std::string& content);
// An address where nothing listens: a fetch from it fails at once.
extern const char* const unreachableSource;
// Lays release out in installDir as a finished install would: files with their modes, links,
// and "install.manifest".
void placeRelease(const std::filesystem::path& installDir, const TestRelease& release);
