// Test releases for the update engine: hand-made, signed with the test key and laid out as the
// release server serves them, snapshots of folder trees to compare installs against, a runner
// for the real program with its own home, data folder and log, and a fixture that publishes
// releases with the publishing tool, serves them with nginx and runs the windowless program.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "release/release.h"
#include "tests/support/process.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"
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
// Compares two snapshots, naming the first differences only: readable for trees of thousands.
testing::AssertionResult sameTree(const TreeSnapshot& expected, const TreeSnapshot& actual);

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
// Writes release's files with their modes and its links into folder, as a game folder holds them.
void writeGameFolder(const std::filesystem::path& folder, const TestRelease& release);
// Lays release out in installDir as a finished install would: files with their modes, links,
// and "install.manifest".
void placeRelease(const std::filesystem::path& installDir, const TestRelease& release);

// End-to-end runs against nginx: releases published with the publishing tool into the trees of
// channels below www, served at "<channel>/linux/", and the windowless program (without menu
// entries) installing them into installDir, whose whole content the tests compare.
class InstallFixture : public testing::Test {
 protected:
  void SetUp() override;

  // Publishes release (its version and game path with it) into the tree of channel.
  void publish(const TestRelease& release, const std::string& channel = "main");
  // Signs manifestText with the test key and serves it with the given file contents.
  void publishManifest(const std::string& manifestText, const std::vector<std::string>& contents,
                       const std::string& channel = "main");
  std::filesystem::path tree(const std::string& channel = "main") const;
  std::string servedManifest(const std::string& channel = "main") const;

  NginxServer& server();  // started at first use, serving www/
  std::string source(const std::string& channel = "main");

  // The windowless program on installDir from source, with temp as its sandbox; its log is logPath.
  SetupRun runQuiet(const std::string& source);
  int startQuiet(const std::string& source);
  std::string log() const;
  std::string lastLogLine() const;

  TreeSnapshot contents(bool withStaging = false) const;
  // The install folder as it must be once release is installed from channel, plus the
  // player's own files.
  TreeSnapshot expectedAfterInstall(const TestRelease& release, const std::string& channel,
                                    const std::map<std::string, std::string>& playerFiles = {});
  void writePlayerFiles(const std::map<std::string, std::string>& playerFiles) const;

  TempFolder temp;
  std::filesystem::path www;
  std::filesystem::path installDir;
  std::filesystem::path logPath;

 private:
  std::unique_ptr<NginxServer> server_;
  int published_ = 0;
};
