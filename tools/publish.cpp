// Publishing a game folder as a release tree, and checking a tree the way the setup program
// will see it.
#include "tools/publish.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "engine/contained.h"
#include "release/block_index.h"
#include "release/file_guards.h"
#include "release/files.h"

namespace fs = std::filesystem;

namespace {

// Removes a temporary file unless it was handed over.
class TemporaryFile {
 public:
  explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!path_.empty()) {
      std::error_code ignored;
      fs::remove(path_, ignored);
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const fs::path& path() const { return path_; }
  void release() { path_.clear(); }

 private:
  fs::path path_;
};

// Digest and length of one file read in a single pass, so that both describe the same bytes.
bool measureFile(const fs::path& path, std::string& digest, uint64_t& size, std::string& error) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    error = "could not read " + path.string() + " (" + std::strerror(errno) + ")";
    return false;
  }
  DigestStream stream;
  if (!digestAll(file.get(), stream, size)) {
    error = "could not read " + path.string() + " (" + std::strerror(errno) + ")";
    return false;
  }
  digest = finishDigest(stream);
  return true;
}

bool writeWholeFile(const fs::path& path, std::string_view content, std::string& error) {
  FileDescriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.get() < 0) {
    error = "could not write " + path.string() + " (" + std::strerror(errno) + ")";
    return false;
  }
  if (!writeAll(file.get(), content.data(), content.size()) || fchmod(file.get(), 0644) != 0 ||
      fsync(file.get()) != 0 || !file.closeChecked()) {
    error = "could not write " + path.string() + " (" + std::strerror(errno) + ")";
    return false;
  }
  return true;
}

bool readWholeFile(const fs::path& path, std::string& content, std::string& error) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    error = "could not read " + path.string() + " (" + std::strerror(errno) + ")";
    return false;
  }
  content.clear();
  if (!readAll(file.get(), content)) {
    error = "could not read " + path.string() + " (" + std::strerror(errno) + ")";
    return false;
  }
  return true;
}

// True when inner is outer or lies below it (both made absolute and free of links first).
bool liesWithin(const fs::path& inner, const fs::path& outer) {
  std::error_code ec;
  fs::path a = fs::weakly_canonical(fs::absolute(inner, ec), ec);
  if (ec) return false;
  fs::path b = fs::weakly_canonical(fs::absolute(outer, ec), ec);
  if (ec) return false;
  auto [innerEnd, outerEnd] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return outerEnd == b.end() || (std::next(outerEnd) == b.end() && outerEnd->empty());
}

struct FoundFile {
  std::string path;
  fs::path source;
  bool executable = false;
  uint64_t size = 0;
};

bool isExcluded(const std::string& path, const std::vector<std::string>& patterns) {
  std::string name = path.substr(path.rfind('/') + 1);
  for (const std::string& pattern : patterns) {
    bool wholePath = pattern.find('/') != std::string::npos;
    if (fnmatch(pattern.c_str(), wholePath ? path.c_str() : name.c_str(), wholePath ? FNM_PATHNAME : 0) == 0) {
      return true;
    }
  }
  return false;
}

// Collects the folder's files and links, leaving out what the patterns exclude. Everything a
// manifest cannot describe safely is one line in problems; hidden entries are warned about.
bool collectGameFolder(const fs::path& gameFolder, const std::vector<std::string>& excludes,
                       std::vector<FoundFile>& files, std::vector<ReleaseLink>& links,
                       std::vector<std::string>& problems, std::vector<std::string>& warnings,
                       std::string& error) {
  std::error_code ec;
  fs::recursive_directory_iterator walk(gameFolder, fs::directory_options::none, ec);
  if (ec) {
    error = "could not read the game folder " + gameFolder.string() + " (" + ec.message() + ")";
    return false;
  }
  std::vector<std::string> hidden;
  for (; walk != fs::recursive_directory_iterator(); walk.increment(ec)) {
    if (ec) break;
    const fs::path& source = walk->path();
    std::string path = source.lexically_relative(gameFolder).generic_string();
    fs::file_status status = walk->symlink_status(ec);
    if (ec) break;
    if (isExcluded(path, excludes)) {
      if (fs::is_directory(status)) walk.disable_recursion_pending();
      continue;
    }
    // Hidden entries (".git", ".env") are warned about once, at the outermost one.
    if (path[0] == '.' || path.find("/.") != std::string::npos) {
      size_t start = path[0] == '.' ? 0 : path.find("/.") + 1;
      if (path.find('/', start) == std::string::npos) {
        std::string name = path.substr(start);
        hidden.push_back(path + " is hidden and is published with the game; --exclude " + name + " leaves it out");
      }
    }
    if (fs::is_directory(status)) continue;
    if (path.find('\n') != std::string::npos || path.find('\r') != std::string::npos) {
      problems.push_back("the path " + path + " holds a line break; a release cannot list it");
      continue;
    }
    if (!isSafePath(path)) {
      problems.push_back("the path " + path + " cannot be part of a release (it holds ':' or '\\')");
      continue;
    }
    if (fs::is_symlink(status)) {
      fs::path target = fs::read_symlink(source, ec);
      if (ec) break;
      std::string targetText = target.string();
      if (targetText.find_first_of("\t\n\r") != std::string::npos) {
        problems.push_back("the link " + path + " points to a name with a TAB or line break; a release cannot list it");
      } else if (target.is_absolute()) {
        problems.push_back("the link " + path + " points to " + targetText +
                           ", an absolute path; links in a release are relative");
      } else if (!isSafeLinkTarget(path, targetText)) {
        problems.push_back("the link " + path + " points to " + targetText + ", outside the game folder");
      } else {
        links.push_back(ReleaseLink{targetText, path});
      }
    } else if (fs::is_regular_file(status)) {
      constexpr fs::perms anyExecute = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
      bool executable = (status.permissions() & anyExecute) != fs::perms::none;
      uint64_t size = walk->file_size(ec);
      if (ec) break;
      files.push_back(FoundFile{path, source, executable, size});
    } else {
      problems.push_back("the path " + path + " is neither a file, a folder nor a symbolic link");
    }
  }
  if (ec) {
    error = "could not read the game folder " + gameFolder.string() + " (" + ec.message() + ")";
    return false;
  }
  // In path order, whatever order the folder lists its entries in.
  std::sort(hidden.begin(), hidden.end());
  warnings.insert(warnings.end(), hidden.begin(), hidden.end());
  // The text of a target cannot tell where it leads: "l/.." climbs out when l is a link to ".".
  // Followed on disk, as the setup program follows each link once it is made.
  for (const ReleaseLink& link : links) {
    std::string reason;
    if (!leadsInside(gameFolder, link.path, reason)) {
      error = "the link " + link.path + " points to " + link.target + ", outside the game folder";
      return false;
    }
  }
  return true;
}

// True when the file's bytes are the seed, raw or as its hex text (either case, with or
// without a line ending).
bool holdsSeed(const FoundFile& file, const SigningSeed& seed) {
  if (file.size != 32 && (file.size < 64 || file.size > 66)) return false;
  std::string content;
  std::string ignored;
  if (!readWholeFile(file.source, content, ignored)) return false;
  bool same = content.size() == 32 && sodium_memcmp(content.data(), seed.data(), seed.size()) == 0;
  if (!same) {
    std::string_view text = content;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    SigningSeed decoded;
    same = decodeHex(text, decoded) && sodium_memcmp(decoded.data(), seed.data(), seed.size()) == 0;
    sodium_memzero(decoded.data(), decoded.size());
  }
  sodium_memzero(content.data(), content.size());
  return same;
}

// Copies one measured file to files/<hash> unless an entry of the right size is there already;
// the copy must still have the measured content.
bool storeContent(const FoundFile& found, const fs::path& filesFolder, const ReleaseFile& entry,
                  std::string& error) {
  fs::path stored = filesFolder / entry.hash;
  std::error_code ec;
  fs::file_status status = fs::symlink_status(stored, ec);
  if (!ec && fs::is_regular_file(status) && fs::file_size(stored, ec) == entry.size && !ec) return true;

  TemporaryFile incoming(filesFolder / (".incoming-" + entry.hash));
  if (!fs::copy_file(found.source, incoming.path(), fs::copy_options::overwrite_existing, ec)) {
    error = "could not copy " + found.source.string() + " to " + incoming.path().string() + " (" +
            ec.message() + ")";
    return false;
  }
  std::string copiedDigest;
  uint64_t copiedSize = 0;
  if (!measureFile(incoming.path(), copiedDigest, copiedSize, error)) return false;
  if (copiedDigest != entry.hash || copiedSize != entry.size) {
    error = "the file " + found.path + " changed while it was being published";
    return false;
  }
  fs::permissions(incoming.path(), fs::perms(0644), ec);
  if (ec) {
    error = "could not set the mode of " + incoming.path().string() + " (" + ec.message() + ")";
    return false;
  }
  fs::rename(incoming.path(), stored, ec);
  if (ec) {
    error = "could not store " + stored.string() + " (" + ec.message() + ")";
    return false;
  }
  incoming.release();
  return true;
}

// Reads the block index at path when it is a regular file that fits a file of size bytes.
bool readBlockIndex(const fs::path& path, uint64_t size, std::string& index) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status = {};
  if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<uint64_t>(status.st_size) > blockIndexLimit(size)) {
    return false;
  }
  index.assign(static_cast<size_t>(status.st_size), '\0');
  size_t done = 0;
  while (done < index.size()) {
    const ssize_t count = read(file.get(), index.data() + done, index.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<size_t>(count);
  }
  BlockIndexLayout layout;
  return parseBlockIndex(index, size, layout);
}

// The index of files/<hash> as the stored file's own, with the layout of expected.
bool indexOfStoredFile(const fs::path& stored, const BlockIndexLayout& layout, std::string& index,
                       std::string& error) {
  FileDescriptor file(open(stored.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (file.get() < 0) {
    error = "could not read " + stored.string() + " (" + std::strerror(errno) + ")";
    return false;
  }
  return makeBlockIndex(file.get(), layout.blockSize, layout.strongWidth, index, error);
}

// Writes content to the temporary path, then renames it onto path, so that a reader sees the old
// content or the whole new one. The verb names the operation in the error text.
[[nodiscard]] bool writeThroughTemporary(const fs::path& path, const fs::path& temporary, std::string_view content,
                                         std::string_view verb, std::string& error) {
  TemporaryFile incoming(temporary);
  if (!writeWholeFile(incoming.path(), content, error)) return false;
  std::error_code ec;
  fs::rename(incoming.path(), path, ec);
  if (ec) {
    error = "could not " + std::string(verb) + " " + path.string() + " (" + ec.message() + ")";
    return false;
  }
  incoming.release();
  return true;
}

// Writes files/<hash>.blocks for a stored file of at least the threshold size, unless a sound
// index is there already (an index, like its file, never changes once published).
bool storeBlockIndex(const fs::path& filesFolder, const ReleaseFile& entry, std::string& error) {
  if (entry.size < blockIndexThreshold) return true;
  const fs::path path = filesFolder / (entry.hash + ".blocks");
  std::string index;
  if (readBlockIndex(path, entry.size, index)) return true;
  if (!indexOfStoredFile(filesFolder / entry.hash, {entry.size, defaultIndexBlock, defaultStrongSum}, index, error)) {
    error = "could not index " + entry.path + " (" + error + ")";
    return false;
  }
  BlockIndexLayout layout;
  if (!parseBlockIndex(index, entry.size, layout)) {
    error = "the file " + entry.path + " changed while it was being published";
    return false;
  }
  return writeThroughTemporary(path, filesFolder / (".incoming-" + entry.hash + ".blocks"), index, "store", error);
}

// Writes content to path through a temporary file beside it, renamed over it.
bool replaceFile(const fs::path& path, std::string_view content, std::string& error) {
  return writeThroughTemporary(path, fs::path(path.string() + ".tmp"), content, "replace", error);
}

// The text before the last signature line (the whole text when there is none).
std::string_view signedPartOf(std::string_view manifest) {
  size_t at = manifest.rfind("\nsignature ");
  return at == std::string_view::npos ? manifest : manifest.substr(0, at + 1);
}

std::vector<uint64_t> numericParts(const std::string& version) {
  std::vector<uint64_t> parts;
  for (size_t i = 0; i < version.size();) {
    if (version[i] < '0' || version[i] > '9') {
      ++i;
      continue;
    }
    uint64_t value = 0;
    for (; i < version.size() && version[i] >= '0' && version[i] <= '9'; ++i) {
      value = value > UINT64_MAX / 10 ? UINT64_MAX : value * 10 + static_cast<uint64_t>(version[i] - '0');
    }
    parts.push_back(value);
  }
  return parts;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

}  // namespace

int compareVersions(const std::string& a, const std::string& b) {
  std::vector<uint64_t> left = numericParts(a);
  std::vector<uint64_t> right = numericParts(b);
  for (size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
    uint64_t l = i < left.size() ? left[i] : 0;
    uint64_t r = i < right.size() ? right[i] : 0;
    if (l != r) return l < r ? -1 : 1;
  }
  return 0;
}

std::string manifestText(const Release& release) {
  std::string text = "varnholt-release 1\n";
  text += "version " + release.version + "\n";
  text += "protocol " + std::to_string(release.protocol) + "\n";
  text += "game " + release.game + "\n";
  for (const ReleaseFile& file : release.files) {
    text += (file.executable ? "exec " : "file ") + file.hash + " " + std::to_string(file.size) + " " +
            file.path + "\n";
  }
  for (const ReleaseLink& link : release.links) text += "link " + link.target + "\t" + link.path + "\n";
  return text;
}

bool publishRelease(const fs::path& gameFolder, const std::string& version, const std::string& gamePath,
                    const SigningSeed& seed, const fs::path& tree, const PublishOptions& options,
                    PublishOutcome& outcome, std::string& error) {
  outcome = PublishOutcome{};
  if (version.empty() || version.find_first_of("\r\n") != std::string::npos) {
    error = "the version must be one line of text and not empty";
    return false;
  }
  if (version.find('/') != std::string::npos) {
    error = "the version " + version + " holds a '/'; it names the file manifests/<version>.manifest";
    return false;
  }
  if (!isSafePath(gamePath) || gamePath.find_first_of("\r\n") != std::string::npos) {
    error = "the game path " + gamePath + " is not a plain path inside the game folder";
    return false;
  }
  std::error_code ec;
  if (!fs::is_directory(fs::status(gameFolder, ec))) {
    error = "the game folder " + gameFolder.string() + " is not a folder";
    return false;
  }
  if (liesWithin(tree, gameFolder)) {
    error = "the release tree " + tree.string() + " lies inside the game folder " + gameFolder.string();
    return false;
  }
  if (!options.seedFile.empty() && liesWithin(options.seedFile, gameFolder)) {
    error = "the seed file " + options.seedFile.string() + " lies inside the game folder " + gameFolder.string() +
            "; it would be published to every player";
    return false;
  }

  // The tree's current release: its key must be this seed's, unless the publisher insists.
  const PublicKey publicKey = publicKeyFromSeed(seed);
  fs::path latestPath = tree / "latest.manifest";
  std::string current;
  Release currentRelease;
  bool currentVerifies = false;
  if (fs::exists(fs::symlink_status(latestPath, ec))) {
    std::string refusal;
    currentVerifies = readWholeFile(latestPath, current, refusal) &&
                      verifyRelease(current, publicKey, currentRelease, refusal);
    if (!currentVerifies && !options.force) {
      error = latestPath.string() + " does not verify with this seed's public key " + publicKeyHex(seed) + " (" +
              refusal + "); check the seed, or give --force to replace that release";
      return false;
    }
    if (!currentVerifies) {
      outcome.warnings.push_back("replacing " + latestPath.string() + ", which does not verify with this seed (" +
                                 refusal + ")");
    }
  }

  std::vector<FoundFile> found;
  std::vector<ReleaseLink> links;
  std::vector<std::string> problems;
  if (!collectGameFolder(gameFolder, options.excludes, found, links, problems, outcome.warnings, error)) return false;
  for (const FoundFile& file : found) {
    if (holdsSeed(file, seed)) problems.push_back("the file " + file.path + " holds the signing seed; it must never be published");
  }
  std::sort(found.begin(), found.end(), [](const FoundFile& a, const FoundFile& b) { return a.path < b.path; });
  std::sort(links.begin(), links.end(), [](const ReleaseLink& a, const ReleaseLink& b) { return a.path < b.path; });
  if (found.empty() && problems.empty()) {
    error = "the game folder " + gameFolder.string() + " holds no files";
    return false;
  }
  auto gameFile = std::find_if(found.begin(), found.end(), [&](const FoundFile& f) { return f.path == gamePath; });
  bool gameLink = std::any_of(links.begin(), links.end(), [&](const ReleaseLink& l) { return l.path == gamePath; });
  if (gameFile == found.end() && !gameLink) {
    problems.push_back("the game path " + gamePath + " is not a file of the game folder");
  } else {
    // A link counts by what it points to (it stays inside the folder).
    struct stat game = {};
    bool runnable = stat((gameFolder / gamePath).c_str(), &game) == 0 && S_ISREG(game.st_mode) &&
                    (game.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
    if (!runnable) problems.push_back("the game path " + gamePath + " is not an executable file (chmod +x it)");
  }
  std::sort(problems.begin(), problems.end());  // the same order whatever the folder's
  if (problems.size() == 1) {
    error = problems.front();
    return false;
  }
  if (!problems.empty()) {
    error = std::to_string(problems.size()) + " problems in the game folder " + gameFolder.string() + ":" +
            joinLines(problems);
    return false;
  }

  // The menu entries name these two files inside the install folder.
  auto has = [&](const std::string& path) {
    return std::any_of(found.begin(), found.end(), [&](const FoundFile& f) { return f.path == path; }) ||
           std::any_of(links.begin(), links.end(), [&](const ReleaseLink& l) { return l.path == path; });
  };
  if (!has("VarnholtSetup.AppImage")) {
    outcome.warnings.push_back("the game folder has no VarnholtSetup.AppImage; the \"Update Varnholt\" menu entry starts it");
  }
  if (!has("assets/images/icon/app-icon-256.png")) {
    outcome.warnings.push_back("the game folder has no assets/images/icon/app-icon-256.png; both menu entries show it");
  }

  Release& release = outcome.release;
  release.version = version;
  release.protocol = 1;
  release.game = gamePath;
  release.links = links;
  for (const FoundFile& file : found) {
    ReleaseFile entry;
    entry.path = file.path;
    entry.executable = file.executable;
    if (!measureFile(file.source, entry.hash, entry.size, error)) return false;
    release.files.push_back(std::move(entry));
  }
  const std::string signedPart = manifestText(release);

  // Versions: a new release should be newer, and one version should mean one content.
  fs::path historyPath = tree / "manifests" / (version + ".manifest");
  std::string earlier;
  std::string ignored;
  bool otherContent = (currentVerifies && currentRelease.version == version && signedPartOf(current) != signedPart) ||
                      (fs::exists(historyPath, ec) && readWholeFile(historyPath, earlier, ignored) &&
                       signedPartOf(earlier) != signedPart);
  if (otherContent) {
    outcome.warnings.push_back("version " + version + " was published before with other content");
  } else if (currentVerifies && currentRelease.version != version &&
             compareVersions(version, currentRelease.version) <= 0) {
    outcome.warnings.push_back("version " + version + " is not newer than " + currentRelease.version +
                               ", the tree's current release");
  }

  std::string manifest = signManifest(signedPart, seed);
  // The program's own check, so that nothing is published that it would refuse.
  Release accepted;
  std::string refusal;
  if (!verifyRelease(manifest, publicKey, accepted, refusal)) {
    error = "the setup program would refuse this manifest (" + refusal + ")";
    return false;
  }
  if (options.dryRun) return true;

  fs::path filesFolder = tree / "files";
  fs::create_directories(filesFolder, ec);
  if (ec) {
    error = "could not create " + filesFolder.string() + " (" + ec.message() + ")";
    return false;
  }
  for (size_t i = 0; i < found.size(); ++i) {
    if (!storeContent(found[i], filesFolder, release.files[i], error)) return false;
    if (!storeBlockIndex(filesFolder, release.files[i], error)) return false;
  }
  fs::create_directories(tree / "manifests", ec);
  if (ec) {
    error = "could not create " + (tree / "manifests").string() + " (" + ec.message() + ")";
    return false;
  }
  return replaceFile(historyPath, manifest, error) && replaceFile(latestPath, manifest, error);
}

bool publishRelease(const fs::path& gameFolder, const std::string& version, const std::string& gamePath,
                    const SigningSeed& seed, const fs::path& tree, std::string& error) {
  PublishOutcome outcome;
  return publishRelease(gameFolder, version, gamePath, seed, tree, PublishOptions{}, outcome, error);
}

bool readReleaseManifest(const fs::path& tree, std::string& text, std::string& error) {
  return readWholeFile(tree / "latest.manifest", text, error);
}

bool verifyTree(const fs::path& tree, const PublicKey& publicKey, Release& release,
                std::vector<std::string>& problems, std::string& error) {
  problems.clear();
  std::string manifest;
  if (!readReleaseManifest(tree, manifest, error)) return false;
  if (!verifyRelease(manifest, publicKey, release, error)) return false;

  bool gameListed =
      std::any_of(release.files.begin(), release.files.end(), [&](const ReleaseFile& f) { return f.path == release.game; }) ||
      std::any_of(release.links.begin(), release.links.end(), [&](const ReleaseLink& l) { return l.path == release.game; });
  if (!gameListed) problems.push_back("the game is not one of the release's files: " + release.game);

  std::map<std::string, std::string> digests;  // stored name -> digest, each content hashed once
  std::set<std::string> checkedIndexes;
  for (const ReleaseFile& file : release.files) {
    fs::path stored = tree / "files" / file.hash;
    std::error_code ec;
    fs::file_status status = fs::status(stored, ec);
    if (ec || !fs::is_regular_file(status)) {
      problems.push_back("missing: " + file.path + " (files/" + file.hash + ")");
      continue;
    }
    uint64_t size = fs::file_size(stored, ec);
    if (ec) {
      problems.push_back("missing: " + file.path + " (files/" + file.hash + ")");
      continue;
    }
    if (size != file.size) {
      problems.push_back("wrong size: " + file.path + " (" + std::to_string(size) + " bytes, expected " +
                         std::to_string(file.size) + ")");
      continue;
    }
    auto known = digests.find(file.hash);
    if (known == digests.end()) known = digests.emplace(file.hash, fileDigest(stored)).first;
    if (known->second != file.hash) {
      problems.push_back("wrong digest: " + file.path + " (files/" + file.hash + ")");
      continue;
    }
    if (file.size < blockIndexThreshold || !checkedIndexes.insert(file.hash).second) continue;
    const std::string indexName = "files/" + file.hash + ".blocks";
    if (!fs::is_regular_file(fs::symlink_status(tree / indexName, ec))) {
      problems.push_back("missing index: " + file.path + " (" + indexName + ")");
      continue;
    }
    std::string index;
    std::string rebuilt;
    BlockIndexLayout layout;
    std::string ignored;
    if (!readBlockIndex(tree / indexName, file.size, index) || !parseBlockIndex(index, file.size, layout) ||
        !indexOfStoredFile(stored, layout, rebuilt, ignored) || rebuilt != index) {
      problems.push_back("wrong index: " + file.path + " (" + indexName + ")");
    }
  }
  return true;
}

bool pruneTree(const fs::path& tree, size_t keep, bool remove, PruneResult& result, std::string& error) {
  result = PruneResult{};
  struct Kept {
    std::string name;
    Release release;
  };
  std::vector<Kept> history;
  std::error_code ec;
  fs::path manifests = tree / "manifests";
  if (fs::is_directory(manifests, ec)) {
    for (fs::directory_iterator it(manifests, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (name.size() <= 9 || name.compare(name.size() - 9, 9, ".manifest") != 0) continue;
      Kept entry{name, {}};
      if (!parseReleaseFile(it->path(), entry.release, error)) {
        error = "manifests/" + name + " does not parse (" + error + "); nothing was removed";
        return false;
      }
      history.push_back(std::move(entry));
    }
    if (ec) {
      error = "could not read " + manifests.string() + " (" + ec.message() + ")";
      return false;
    }
  }
  Release latest;
  if (!parseReleaseFile(tree / "latest.manifest", latest, error)) {
    error = (tree / "latest.manifest").string() + " does not parse (" + error + "); nothing was removed";
    return false;
  }
  // Newest first; equal versions by name, so that the order never depends on the folder's.
  std::sort(history.begin(), history.end(), [](const Kept& a, const Kept& b) {
    int order = compareVersions(a.release.version, b.release.version);
    return order != 0 ? order > 0 : a.name > b.name;
  });
  std::set<std::string> named;
  auto keepRelease = [&](const Release& release) {
    for (const ReleaseFile& file : release.files) {
      named.insert(file.hash);
      named.insert(file.hash + ".blocks");
    }
  };
  keepRelease(latest);
  result.keptVersions.push_back(latest.version);
  size_t kept = 0;
  for (const Kept& entry : history) {
    if (entry.release.version == latest.version) {
      keepRelease(entry.release);  // the live release's own copy
    } else if (kept < keep) {
      keepRelease(entry.release);
      result.keptVersions.push_back(entry.release.version);
      ++kept;
    } else {
      result.droppedManifests.push_back("manifests/" + entry.name);
    }
  }
  std::sort(result.droppedManifests.begin(), result.droppedManifests.end());

  fs::path files = tree / "files";
  std::vector<std::pair<std::string, uint64_t>> unused;
  for (fs::directory_iterator it(files, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (named.count(name) != 0 || !it->is_regular_file(ec)) continue;
    uint64_t size = it->file_size(ec);
    if (ec) break;
    unused.emplace_back(name, size);
  }
  if (ec) {
    error = "could not read " + files.string() + " (" + ec.message() + ")";
    return false;
  }
  std::sort(unused.begin(), unused.end());
  for (const auto& [name, size] : unused) {
    result.unusedFiles.push_back("files/" + name);
    result.unusedBytes += size;
  }
  if (!remove) return true;
  // Manifests first: a dropped manifest never names a file that is gone.
  for (const std::string& name : result.droppedManifests) {
    if (!fs::remove(tree / name, ec) && ec) {
      error = "could not remove " + (tree / name).string() + " (" + ec.message() + ")";
      return false;
    }
  }
  for (const std::string& name : result.unusedFiles) {
    if (!fs::remove(tree / name, ec) && ec) {
      error = "could not remove " + (tree / name).string() + " (" + ec.message() + ")";
      return false;
    }
  }
  return true;
}
