#include "tests/hardening/install_fixture.h"

#include <sstream>
#include <system_error>

#include "release/release.h"
#include "tools/publish.h"
#include "tests/keys/test_key.h"

namespace fs = std::filesystem;

namespace {

void addParents(FolderContents& contents, const std::string& path) {
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    contents[path.substr(0, slash)] = "folder";
  }
}

}  // namespace

void InstallFixture::SetUp() {
  www = temp.path() / "www";
  installDir = temp.path() / "install";
  home = temp.path() / "home";
  logPath = temp.path() / "setup.log";
  fs::create_directories(www);
  fs::create_directories(home);
  std::string error;
  ASSERT_TRUE(loadSeed(testSeedFile, seed, error)) << error;
}

fs::path InstallFixture::tree(const std::string& channel) const { return www / channel / "linux"; }

std::string InstallFixture::servedManifest(const std::string& channel) const {
  return readText(tree(channel) / "latest.manifest");
}

void InstallFixture::publish(const Game& game, const std::string& version, const std::string& channel) {
  const fs::path folder = temp.path() / ("game-" + std::to_string(++published_));
  for (const auto& [path, file] : game.files) {
    writeText(folder / path, file.content);
    fs::permissions(folder / path, file.executable ? fs::perms(0755) : fs::perms(0644));
  }
  for (const auto& [path, target] : game.links) {
    fs::create_directories((folder / path).parent_path());
    fs::create_symlink(target, folder / path);
  }
  std::string error;
  ASSERT_TRUE(publishRelease(folder, version, game.gamePath, seed, tree(channel), error)) << error;
  fs::remove_all(folder);
}

void InstallFixture::publishManifest(const std::string& manifestText,
                                     const std::vector<std::string>& fileContents,
                                     const std::string& channel) {
  for (const std::string& content : fileContents) {
    writeText(tree(channel) / "files" / contentDigest(content), content);
  }
  writeText(tree(channel) / "latest.manifest", signManifest(manifestText, seed));
}

NginxServer& InstallFixture::server() {
  if (!server_) server_ = std::make_unique<NginxServer>(www);
  return *server_;
}

std::string InstallFixture::source(const std::string& channel) { return server().httpUrl() + channel + "/linux/"; }

int InstallFixture::startQuiet(const std::string& source) {
  ProcessOptions options;
  options.env = {"HOME=" + home.string(), "XDG_DATA_HOME=" + (home / "data").string()};
  return startProcess({VARNHOLT_SETUP_PATH, "--quiet", "--no-register", "--dir", installDir.string(),
                       "--source", source, "--log", logPath.string()},
                      options);
}

ProcessResult InstallFixture::runQuiet(const std::string& source) {
  ProcessOptions options;
  options.env = {"HOME=" + home.string(), "XDG_DATA_HOME=" + (home / "data").string()};
  options.timeoutSeconds = 120;
  return runProcess({VARNHOLT_SETUP_PATH, "--quiet", "--no-register", "--dir", installDir.string(),
                     "--source", source, "--log", logPath.string()},
                    options);
}

std::string InstallFixture::log() const { return readText(logPath); }

std::string InstallFixture::lastLogLine() const {
  std::string text = log();
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text.substr(text.rfind('\n') + 1);
}

FolderContents InstallFixture::contents(bool withStaging) const {
  FolderContents found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(installDir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative = it->path().lexically_relative(installDir).generic_string();
    if (!withStaging && (relative == ".staging" || relative.rfind(".staging/", 0) == 0)) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      found[relative] = "link " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      found[relative] = "folder";
    } else if (fs::is_regular_file(status)) {
      const bool executable = (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
      found[relative] = (executable ? "exec " : "file ") + fileDigest(it->path());
    } else {
      found[relative] = "other";
    }
  }
  return found;
}

FolderContents InstallFixture::expectedAfterInstall(const Game& game, const std::string& channel,
                                                    const std::map<std::string, std::string>& playerFiles) {
  FolderContents expected;
  for (const auto& [path, file] : game.files) {
    addParents(expected, path);
    expected[path] = (file.executable ? "exec " : "file ") + contentDigest(file.content);
  }
  for (const auto& [path, target] : game.links) {
    addParents(expected, path);
    expected[path] = "link " + target;
  }
  for (const auto& [path, content] : playerFiles) {
    addParents(expected, path);
    expected[path] = "file " + contentDigest(content);
  }
  expected["install.manifest"] = "file " + contentDigest(servedManifest(channel));
  expected["install.source"] = "file " + contentDigest(source(channel) + "\n");
  return expected;
}

void InstallFixture::writePlayerFiles(const std::map<std::string, std::string>& playerFiles) const {
  for (const auto& [path, content] : playerFiles) writeText(installDir / path, content);
}

testing::AssertionResult sameContents(const FolderContents& expected, const FolderContents& actual) {
  std::ostringstream differences;
  int shown = 0;
  for (const auto& [path, what] : expected) {
    auto found = actual.find(path);
    if (found == actual.end()) {
      if (shown++ < 10) differences << "\n  missing " << path << " (" << what << ")";
    } else if (found->second != what) {
      if (shown++ < 10) differences << "\n  " << path << ": " << found->second << ", expected " << what;
    }
  }
  for (const auto& [path, what] : actual) {
    if (!expected.count(path) && shown++ < 10) differences << "\n  extra " << path << " (" << what << ")";
  }
  if (shown == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << shown << " differences:" << differences.str();
}
