// The release manifest: "varnholt-release 1" followed by keyword lines, parsed in one pass.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "release/file_guards.h"
#include "release/release.h"

namespace {

constexpr std::string_view magicLine = "varnholt-release 1";
// "file " + 64 hex digits + " 0 x" + LF: no file line is shorter, so the text can hold no more
// file lines than its length over this.
constexpr size_t shortestFileLine = 5 + 64 + 4 + 1;

// Reads a number the way strtol reads base 10 and keeps the low 32 bits of the result, as a
// 32-bit field that receives a long does (out-of-range text gives LONG_MIN or LONG_MAX first).
int32_t readProtocol(std::string_view value) {
  std::string text(value);  // strtol needs a terminated text
  long number = std::strtol(text.c_str(), nullptr, 10);
  return static_cast<int32_t>(number);  // modulo 2^32
}

// Reads a size the way strtoull reads base 10: anything that is not a number gives 0, too
// large a number gives ULLONG_MAX, and a leading '-' negates (modulo 2^64) as strtoull does.
uint64_t readSize(std::string_view value) {
  std::string text(value);
  return static_cast<uint64_t>(std::strtoull(text.c_str(), nullptr, 10));
}

bool readFileLine(std::string_view value, bool executable, Release& release, std::string& error) {
  size_t firstSpace = value.find(' ');
  if (firstSpace == std::string_view::npos || firstSpace + 1 >= value.size()) {
    error = "a file line is malformed";
    return false;
  }
  size_t secondSpace = value.find(' ', firstSpace + 1);
  if (secondSpace == std::string_view::npos) {
    error = "a file line is malformed";
    return false;
  }
  std::string_view hash = value.substr(0, firstSpace);
  std::string_view size = value.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  std::string_view path = value.substr(secondSpace + 1);
  if (!isHexText(hash, 64)) {
    error = "a file's hash is malformed: " + std::string(path);
    return false;
  }
  if (!isSafePath(path)) {
    error = "a file's path leaves the install folder: " + std::string(path);
    return false;
  }
  if (isProgramOwnedPath(path)) {
    error = "a file's path is one the setup program keeps for itself: " + std::string(path);
    return false;
  }
  ReleaseFile file;
  file.hash = std::string(hash);
  file.size = readSize(size);
  file.path = std::string(path);
  file.executable = executable;
  release.files.push_back(std::move(file));
  return true;
}

bool readLinkLine(std::string_view value, Release& release, std::string& error) {
  size_t tab = value.find('\t');
  if (value.empty() || tab == std::string_view::npos) {
    error = "a link line is malformed";
    return false;
  }
  std::string_view target = value.substr(0, tab);
  std::string_view path = value.substr(tab + 1);
  if (!isSafePath(path) || !isSafeLinkTarget(path, target)) {
    error = "a link leaves the install folder: " + std::string(path);
    return false;
  }
  if (isProgramOwnedPath(path)) {
    error = "a link's path is one the setup program keeps for itself: " + std::string(path);
    return false;
  }
  release.links.push_back(ReleaseLink{std::string(target), std::string(path)});
  return true;
}

// Cuts text at the next LF; a CR before it stays part of the line.
bool nextLine(std::string_view text, size_t& position, std::string_view& line) {
  if (position >= text.size()) return false;
  size_t end = text.find('\n', position);
  if (end == std::string_view::npos) end = text.size();
  line = text.substr(position, end - position);
  position = end + 1;
  return true;
}

// Parses a release line by line, so that a whole text and a file read a piece at a time go
// through the same rules.
class ReleaseLines {
 public:
  // textSize: the length of the whole text, for room up front.
  ReleaseLines(Release& release, size_t textSize) : release_(release) {
    release_ = Release();
    // Room for every file line the text can hold, so that a large release is not copied as its
    // list grows; pages that stay unused are never touched.
    release_.files.reserve(textSize / shortestFileLine);
  }

  // One line without its LF; false when the release is refused. No line counts after the
  // signature.
  bool take(std::string_view line, std::string& error) {
    if (signed_) return true;
    if (!sawMagic_) {
      if (line != magicLine) {
        error = "not a Varnholt release";
        return false;
      }
      sawMagic_ = true;
      return true;
    }
    if (line.empty()) return true;
    size_t space = line.find(' ');
    std::string_view keyword = line.substr(0, space);
    std::string_view value =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    if (keyword == "version") {
      release_.version = std::string(value);
    } else if (keyword == "protocol") {
      release_.protocol = readProtocol(value);
    } else if (keyword == "game") {
      release_.game = std::string(value);
    } else if (keyword == "file" || keyword == "exec") {
      return readFileLine(value, keyword == "exec", release_, error);
    } else if (keyword == "link") {
      return readLinkLine(value, release_, error);
    } else if (keyword == "signature") {
      signed_ = true;
    } else {
      error = "unknown line: " + std::string(keyword);
      return false;
    }
    return true;
  }

  // After the last line.
  bool finish(std::string& error) {
    if (!sawMagic_) {
      error = "not a Varnholt release";
      return false;
    }
    if (release_.version.empty() || release_.game.empty() || release_.files.empty() ||
        !isSafePath(release_.game)) {
      error = "the release is incomplete";
      return false;
    }
    return true;
  }

 private:
  Release& release_;
  bool sawMagic_ = false;
  bool signed_ = false;
};

}  // namespace

bool parseRelease(std::string_view text, Release& release, std::string& error) {
  ReleaseLines lines(release, text.size());
  size_t position = 0;
  std::string_view line;
  while (nextLine(text, position, line)) {
    if (!lines.take(line, error)) return false;
  }
  return lines.finish(error);
}

bool parseReleaseFile(const std::filesystem::path& path, Release& release, std::string& error) {
  FileStream file(std::fopen(path.c_str(), "rb"));
  if (!file) return parseRelease("", release, error);
  struct stat st;
  const bool regular = ::fstat(fileno(file.get()), &st) == 0 && S_ISREG(st.st_mode);
  ReleaseLines lines(release, regular ? static_cast<size_t>(st.st_size) : 0);
  std::string cut;  // the start of a line that the end of a piece cut off
  bool refused = false;
  char piece[65536];
  size_t got;
  // Read to the end even after a refusal: a text that cannot be read whole counts as empty.
  while ((got = std::fread(piece, 1, sizeof piece, file.get())) > 0) {
    std::string_view rest(piece, got);
    for (size_t end; !refused && (end = rest.find('\n')) != std::string_view::npos;
         rest.remove_prefix(end + 1)) {
      std::string_view line = rest.substr(0, end);
      if (!cut.empty()) line = cut.append(line);
      refused = !lines.take(line, error);
      cut.clear();
    }
    if (!refused) cut.append(rest);
  }
  if (std::ferror(file.get())) return parseRelease("", release, error);
  if (refused) return false;
  if (!cut.empty() && !lines.take(cut, error)) return false;
  return lines.finish(error);
}

bool isSafePath(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.front() == '\\') return false;
  if (path.find_first_of(":\\") != std::string_view::npos) return false;
  // One '/' at the very end closes the last component instead of opening an empty one.
  if (path.back() == '/') path.remove_suffix(1);
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    std::string_view component = path.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (component.empty() || component == "." || component == "..") return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

bool isProgramOwnedPath(std::string_view path) {
  const std::string_view first = path.substr(0, path.find('/'));
  for (std::string_view owned : {".staging", "install.manifest", "install.source", "install.manifest.tmp",
                                 "install.source.tmp"}) {
    if (first == owned) return true;
  }
  return false;
}

bool isSafeLinkTarget(std::string_view linkPath, std::string_view target) {
  if (target.empty() || target.front() == '/' || target.front() == '\\') return false;
  if (target.find_first_of(":\\") != std::string_view::npos) return false;
  // Widened so that no count of '/' can overflow the counter.
  int64_t depth = 0;
  for (char c : linkPath) {
    if (c == '/') ++depth;
  }
  size_t start = 0;
  while (true) {
    size_t slash = target.find('/', start);
    std::string_view component = target.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (component == "..") {
      --depth;
    } else if (!component.empty() && component != ".") {
      ++depth;
    }
    if (depth < 0) return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

uint64_t totalSize(const Release& release) {
  uint64_t total = 0;
  for (const ReleaseFile& file : release.files) total += file.size;
  return total;
}
