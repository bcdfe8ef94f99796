// End-to-end runs of the real program against a real release server: games described in
// memory are published with the test key into release trees that nginx serves, and the
// windowless program installs them into a folder whose whole content the tests compare.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/servers.h"
#include "tests/engine/release_fixture.h"
#include "tests/support/temp_folder.h"
#include "tools/publish.h"

struct FolderFile {
  std::string content;
  bool executable = false;
};

// A game folder: files and links by path, and the path of the program that starts the game.
struct Game {
  std::map<std::string, FolderFile> files;
  std::map<std::string, std::string> links;  // path -> target
  std::string gamePath;
};

// What lies in a folder: relative path -> "file <digest>" ("exec <digest>" when the owner may
// run it), "link <target>" or "folder".
using FolderContents = std::map<std::string, std::string>;


class InstallFixture : public testing::Test {
 protected:
  void SetUp() override;

  // Publishes game as version into the tree of channel, served at "<channel>/linux/".
  void publish(const Game& game, const std::string& version, const std::string& channel = "main");
  // Signs manifestText with the test key and serves it with the given file contents.
  void publishManifest(const std::string& manifestText, const std::vector<std::string>& contents,
                       const std::string& channel = "main");
  std::filesystem::path tree(const std::string& channel = "main") const;
  std::string servedManifest(const std::string& channel = "main") const;

  NginxServer& server();  // started at first use, serving www/
  std::string source(const std::string& channel = "main");

  // The windowless program on installDir from source; the log file is read with log().
  ProcessResult runQuiet(const std::string& source);
  int startQuiet(const std::string& source);
  std::string log() const;
  std::string lastLogLine() const;

  FolderContents contents(bool withStaging = false) const;
  // The install folder as it must be once release game from channel is installed, plus the
  // player's own files.
  FolderContents expectedAfterInstall(const Game& game, const std::string& channel,
                                      const std::map<std::string, std::string>& playerFiles = {});
  void writePlayerFiles(const std::map<std::string, std::string>& playerFiles) const;

  TempFolder temp;
  std::filesystem::path www;
  std::filesystem::path installDir;
  std::filesystem::path home;
  std::filesystem::path logPath;
  SigningSeed seed{};

 private:
  std::unique_ptr<NginxServer> server_;
  int published_ = 0;
};

// Compares two folder listings, naming the first differences.
testing::AssertionResult sameContents(const FolderContents& expected, const FolderContents& actual);
