// Publishing a game folder as a release tree, and checking a tree the way the setup program
// will see it.
#include "tools/publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "engine/contained.h"
#include "tools/file_descriptor.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t readBufferSize = 1024 * 1024;


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
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[readBufferSize]);
  DigestStream stream;
  size = 0;
  while (true) {
    ssize_t count = read(file.get(), buffer.get(), readBufferSize);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      error = "could not read " + path.string() + " (" + std::strerror(errno) + ")";
      return false;
    }
    if (count == 0) break;
    stream.add(buffer.get(), static_cast<size_t>(count));
    size += static_cast<uint64_t>(count);
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
  size_t done = 0;
  while (done < content.size()) {
    ssize_t count = write(file.get(), content.data() + done, content.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      error = "could not write " + path.string() + " (" + std::strerror(count < 0 ? errno : ENOSPC) + ")";
      return false;
    }
    done += static_cast<size_t>(count);
  }
  if (fchmod(file.get(), 0644) != 0 || fsync(file.get()) != 0 || !file.closeChecked()) {
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
  char buffer[65536];
  while (true) {
    ssize_t count = read(file.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      error = "could not read " + path.string() + " (" + std::strerror(errno) + ")";
      return false;
    }
    if (count == 0) return true;
    content.append(buffer, static_cast<size_t>(count));
  }
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
};

// Collects the folder's files and links; refuses anything a manifest cannot describe safely.
bool collectGameFolder(const fs::path& gameFolder, std::vector<FoundFile>& files,
                       std::vector<ReleaseLink>& links, std::string& error) {
  std::error_code ec;
  fs::recursive_directory_iterator walk(gameFolder, fs::directory_options::none, ec);
  if (ec) {
    error = "could not read the game folder " + gameFolder.string() + " (" + ec.message() + ")";
    return false;
  }
  for (; walk != fs::recursive_directory_iterator(); walk.increment(ec)) {
    if (ec) break;
    const fs::path& source = walk->path();
    std::string path = source.lexically_relative(gameFolder).generic_string();
    fs::file_status status = walk->symlink_status(ec);
    if (ec) break;
    if (fs::is_directory(status)) continue;
    if (path.find('\n') != std::string::npos || path.find('\r') != std::string::npos) {
      error = "the path " + path + " holds a line break; a release cannot list it";
      return false;
    }
    if (!isSafePath(path)) {
      error = "the path " + path + " cannot be part of a release (it holds ':' or '\\')";
      return false;
    }
    if (fs::is_symlink(status)) {
      fs::path target = fs::read_symlink(source, ec);
      if (ec) break;
      std::string targetText = target.string();
      if (targetText.find_first_of("\t\n\r") != std::string::npos) {
        error = "the link " + path + " points to a name with a TAB or line break; a release cannot list it";
        return false;
      }
      if (target.is_absolute()) {
        error = "the link " + path + " points to " + targetText + ", an absolute path; links in a release are relative";
        return false;
      }
      if (!isSafeLinkTarget(path, targetText)) {
        error = "the link " + path + " points to " + targetText + ", outside the game folder";
        return false;
      }
      links.push_back(ReleaseLink{targetText, path});
    } else if (fs::is_regular_file(status)) {
      constexpr fs::perms anyExecute = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
      bool executable = (status.permissions() & anyExecute) != fs::perms::none;
      files.push_back(FoundFile{path, source, executable});
    } else {
      error = "the path " + path + " is neither a file, a folder nor a symbolic link";
      return false;
    }
  }
  if (ec) {
    error = "could not read the game folder " + gameFolder.string() + " (" + ec.message() + ")";
    return false;
  }
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

// Stores one file's content as files/<hash> unless an entry of the right size is there already.
bool storeContent(const FoundFile& found, const fs::path& filesFolder, ReleaseFile& entry,
                  std::string& error) {
  if (!measureFile(found.source, entry.hash, entry.size, error)) return false;
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

}  // namespace

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
                    const unsigned char seed[32], const fs::path& tree, std::string& error) {
  if (version.empty() || version.find_first_of("\r\n") != std::string::npos) {
    error = "the version must be one line of text and not empty";
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

  std::vector<FoundFile> found;
  std::vector<ReleaseLink> links;
  if (!collectGameFolder(gameFolder, found, links, error)) return false;
  if (found.empty()) {
    error = "the game folder " + gameFolder.string() + " holds no files";
    return false;
  }
  std::sort(found.begin(), found.end(), [](const FoundFile& a, const FoundFile& b) { return a.path < b.path; });
  std::sort(links.begin(), links.end(), [](const ReleaseLink& a, const ReleaseLink& b) { return a.path < b.path; });
  bool gameListed = std::any_of(found.begin(), found.end(), [&](const FoundFile& f) { return f.path == gamePath; }) ||
                    std::any_of(links.begin(), links.end(), [&](const ReleaseLink& l) { return l.path == gamePath; });
  if (!gameListed) {
    error = "the game path " + gamePath + " is not a file of the game folder";
    return false;
  }

  fs::path filesFolder = tree / "files";
  fs::create_directories(filesFolder, ec);
  if (ec) {
    error = "could not create " + filesFolder.string() + " (" + ec.message() + ")";
    return false;
  }

  Release release;
  release.version = version;
  release.protocol = 1;
  release.game = gamePath;
  release.links = links;
  for (const FoundFile& file : found) {
    ReleaseFile entry;
    entry.path = file.path;
    entry.executable = file.executable;
    if (!storeContent(file, filesFolder, entry, error)) return false;
    release.files.push_back(std::move(entry));
  }

  std::string manifest = signManifest(manifestText(release), seed);
  // The program's own check, so that nothing is published that it would refuse.
  unsigned char publicKey[32];
  publicKeyFromSeed(seed, publicKey);
  Release accepted;
  std::string refusal;
  if (!verifyRelease(manifest, publicKey, accepted, refusal)) {
    error = "the setup program would refuse this manifest (" + refusal + ")";
    return false;
  }

  fs::path target = tree / "latest.manifest";
  TemporaryFile incoming(tree / "latest.manifest.tmp");
  if (!writeWholeFile(incoming.path(), manifest, error)) return false;
  fs::rename(incoming.path(), target, ec);
  if (ec) {
    error = "could not replace " + target.string() + " (" + ec.message() + ")";
    return false;
  }
  incoming.release();
  return true;
}

bool readReleaseManifest(const fs::path& tree, std::string& text, std::string& error) {
  return readWholeFile(tree / "latest.manifest", text, error);
}

bool verifyTree(const fs::path& tree, const unsigned char publicKey[32], Release& release,
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
    if (known->second != file.hash) problems.push_back("wrong digest: " + file.path + " (files/" + file.hash + ")");
  }
  return true;
}
