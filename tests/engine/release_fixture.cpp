#include "tests/engine/release_fixture.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "app/session.h"
#include "desktop/desktop.h"
#include "tests/keys/test_key.h"
#include "tools/publish.h"

namespace fs = std::filesystem;

namespace {

const SigningSeed& testSeed() {
  static SigningSeed seed;
  static bool loaded = false;
  if (!loaded) {
    std::string error;
    if (!loadSeed(testSeedFile, seed, error)) {
      throw std::runtime_error("test seed: " + error);
    }
    loaded = true;
  }
  return seed;
}

void addFolders(TreeSnapshot& tree, const std::string& path) {
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    tree[path.substr(0, slash)] = "dir";
  }
}

}  // namespace

std::string contentDigest(const std::string& content) {
  DigestStream digest;
  digest.add(content.data(), content.size());
  return finishDigest(digest);
}

Release releaseRecord(const TestRelease& release) {
  Release record;
  record.version = release.version;
  record.protocol = 1;
  record.game = release.game;
  for (const GameFile& file : release.files) {
    record.files.push_back({contentDigest(file.content), file.content.size(), file.path, file.executable});
  }
  for (const GameLink& link : release.links) record.links.push_back({link.target, link.path});
  return record;
}

std::string signedManifest(const TestRelease& release) {
  return signManifest(manifestText(releaseRecord(release)), testSeed());
}

std::string publishTestRelease(const fs::path& linuxFolder, const TestRelease& release) {
  fs::create_directories(linuxFolder / "files");
  for (const GameFile& file : release.files) {
    writeText(linuxFolder / "files" / contentDigest(file.content), file.content);
  }
  std::string manifest = signedManifest(release);
  writeText(linuxFolder / "latest.manifest", manifest);
  return manifest;
}

std::string describeFile(const std::string& content, int mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", mode);
  return "file " + std::string(text) + " " + contentDigest(content);
}

TreeSnapshot snapshotTree(const fs::path& root) {
  TreeSnapshot tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative = it->path().lexically_relative(root).generic_string();
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      tree[relative] = "link " + fs::read_symlink(it->path(), ec).generic_string();
    } else if (S_ISDIR(st.st_mode)) {
      tree[relative] = "dir";
    } else if (S_ISREG(st.st_mode)) {
      char mode[16];
      std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
      tree[relative] = "file " + std::string(mode) + " " + fileDigest(it->path());
    } else {
      tree[relative] = "other";
    }
  }
  return tree;
}

TreeSnapshot releaseTree(const TestRelease& release) {
  TreeSnapshot tree;
  for (const GameFile& file : release.files) {
    addFolders(tree, file.path);
    tree[file.path] = describeFile(file.content, file.executable ? 0755 : 0644);
  }
  for (const GameLink& link : release.links) {
    addFolders(tree, link.path);
    tree[link.path] = "link " + link.target;
  }
  return tree;
}

void addFile(TreeSnapshot& tree, const std::string& path, const std::string& content, int mode) {
  addFolders(tree, path);
  tree[path] = describeFile(content, mode);
}

TreeSnapshot withoutStaging(TreeSnapshot tree) {
  for (auto it = tree.begin(); it != tree.end();) {
    it = it->first.rfind(".staging", 0) == 0 ? tree.erase(it) : std::next(it);
  }
  return tree;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> setupEnvironment(const fs::path& sandbox) {
  return {"HOME=" + (sandbox / "home").string(), "XDG_DATA_HOME=" + (sandbox / "data").string(),
          "USERPROFILE"};
}

int startSetup(const fs::path& sandbox, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {VARNHOLT_SETUP_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ProcessOptions options;
  options.env = setupEnvironment(sandbox);
  return startProcess(argv, options);
}

SetupRun runSetup(const fs::path& sandbox, std::vector<std::string> arguments, ProcessOptions options) {
  const fs::path log = sandbox / "setup.log";
  std::vector<std::string> argv = {VARNHOLT_SETUP_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  argv.insert(argv.end(), {"--log", log.string()});
  std::vector<std::string> env = setupEnvironment(sandbox);
  options.env.insert(options.env.begin(), env.begin(), env.end());
  std::error_code ec;
  fs::remove(log, ec);
  ProcessResult result = runProcess(argv, options);
  return {result.exitCode, result.signal, result.output, linesOf(readFile(log))};
}

std::vector<std::string> gameMenuEntry(const fs::path& installDir, const std::string& game) {
  return {"[Desktop Entry]",
          "Type=Application",
          "Name=Varnholt",
          "Comment=A Norse action RPG",
          "Exec=\"" + (installDir / game).string() + "\"",
          "Path=" + installDir.string(),
          "Icon=" + (installDir / "assets/images/icon/app-icon-256.png").string(),
          "Terminal=false",
          "Categories=Game;RolePlaying;"};
}

std::vector<std::string> updateMenuEntry(const fs::path& installDir) {
  std::string exec = "Exec=\"" + (installDir / "VarnholtSetup.AppImage").string() + "\"";
  if (!hasFusermount(fusermountCandidates)) exec += " --appimage-extract-and-run";
  return {"[Desktop Entry]",
          "Type=Application",
          "Name=Update Varnholt",
          "Comment=Look for a new version of Varnholt",
          exec,
          "Path=" + installDir.string(),
          "Icon=" + (installDir / "assets/images/icon/app-icon-256.png").string(),
          "Terminal=false",
          "Categories=Game;RolePlaying;"};
}

const char* const unreachableSource = "http://127.0.0.1:1/linux/";

void resetBoard(const fs::path& installDir, const fs::path& logPath) {
  closeLog();
  board.options = Options();
  board.options.installDir = installDir;
  board.options.source = unreachableSource;
  board.options.noRegister = true;
  board.latest = Release();
  board.installed = Release();
  board.manifestText.clear();
  board.valid = false;
  board.recordReadAsLatest = false;
  board.neededFiles.clear();
  board.neededBytes = 0;
  board.linksNeeded = false;
  board.cancel = false;
  setStatus(board, "", "", -1.0);
  openLog(logPath);
}

void stageContent(const fs::path& installDir, const std::string& content) {
  writeText(installDir / ".staging" / contentDigest(content), content);
}

void writeGameFolder(const fs::path& folder, const TestRelease& release) {
  fs::create_directories(folder);
  for (const GameFile& file : release.files) {
    writeText(folder / file.path, file.content);
    fs::permissions(folder / file.path, file.executable ? fs::perms(0755) : fs::perms(0644));
  }
  for (const GameLink& link : release.links) {
    fs::create_directories((folder / link.path).parent_path());
    fs::create_symlink(link.target, folder / link.path);
  }
}

void placeRelease(const fs::path& installDir, const TestRelease& release) {
  writeGameFolder(installDir, release);
  writeText(installDir / "install.manifest", signedManifest(release));
}

testing::AssertionResult sameTree(const TreeSnapshot& expected, const TreeSnapshot& actual) {
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

void InstallFixture::SetUp() {
  www = temp.path() / "www";
  installDir = temp.path() / "install";
  logPath = temp.path() / "setup.log";  // where runSetup has the program log
  fs::create_directories(www);
  fs::create_directories(temp.path() / "home");
}

fs::path InstallFixture::tree(const std::string& channel) const { return www / channel / "linux"; }

std::string InstallFixture::servedManifest(const std::string& channel) const {
  return readText(tree(channel) / "latest.manifest");
}

void InstallFixture::publish(const TestRelease& release, const std::string& channel) {
  const fs::path folder = temp.path() / ("game-" + std::to_string(++published_));
  writeGameFolder(folder, release);
  std::string error;
  ASSERT_TRUE(publishRelease(folder, release.version, release.game, testSeed(), tree(channel), error)) << error;
  fs::remove_all(folder);
}

void InstallFixture::publishManifest(const std::string& manifestText, const std::vector<std::string>& fileContents,
                                     const std::string& channel) {
  for (const std::string& content : fileContents) {
    writeText(tree(channel) / "files" / contentDigest(content), content);
  }
  writeText(tree(channel) / "latest.manifest", signManifest(manifestText, testSeed()));
}

NginxServer& InstallFixture::server() {
  if (!server_) server_ = std::make_unique<NginxServer>(www);
  return *server_;
}

std::string InstallFixture::source(const std::string& channel) { return server().httpUrl() + channel + "/linux/"; }

int InstallFixture::startQuiet(const std::string& source) {
  return startSetup(temp.path(), {"--quiet", "--no-register", "--dir", installDir.string(), "--source", source,
                                  "--log", logPath.string()});
}

SetupRun InstallFixture::runQuiet(const std::string& source) {
  ProcessOptions options;
  options.timeoutSeconds = 120;
  return runSetup(temp.path(), {"--quiet", "--no-register", "--dir", installDir.string(), "--source", source}, options);
}

std::string InstallFixture::log() const { return readText(logPath); }

std::string InstallFixture::lastLogLine() const {
  std::string text = log();
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text.substr(text.rfind('\n') + 1);
}

TreeSnapshot InstallFixture::contents(bool withStaging) const {
  TreeSnapshot tree = snapshotTree(installDir);
  return withStaging ? tree : withoutStaging(std::move(tree));
}

TreeSnapshot InstallFixture::expectedAfterInstall(const TestRelease& release, const std::string& channel,
                                                  const std::map<std::string, std::string>& playerFiles) {
  TreeSnapshot expected = releaseTree(release);
  for (const auto& [path, content] : playerFiles) addFile(expected, path, content);
  expected["install.manifest"] = describeFile(servedManifest(channel), 0644);
  expected["install.source"] = describeFile(source(channel) + "\n", 0644);
  return expected;
}

void InstallFixture::writePlayerFiles(const std::map<std::string, std::string>& playerFiles) const {
  for (const auto& [path, content] : playerFiles) writeText(installDir / path, content, fs::perms(0644));
}
