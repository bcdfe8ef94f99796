// The release manifest: "varnholt-release 1" followed by keyword lines, parsed in one pass.
#include <cstdlib>
#include <string>

#include "release/release.h"

namespace {

constexpr std::string_view magicLine = "varnholt-release 1";
// "file " + 64 hex digits + " 0 x" + LF: no file line is shorter, so the text can hold no more
// file lines than its length over this.
constexpr size_t shortestFileLine = 5 + 64 + 4 + 1;

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isHexText(std::string_view text, size_t length) {
  if (text.size() != length) return false;
  for (char c : text) {
    if (!isHexDigit(c)) return false;
  }
  return true;
}

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

}  // namespace

bool parseRelease(std::string_view text, Release& release, std::string& error) {
  release = Release();
  size_t position = 0;
  std::string_view line;
  if (!nextLine(text, position, line) || line != magicLine) {
    error = "not a Varnholt release";
    return false;
  }
  // Room for every file line the text can hold, so that a large release is not copied as its
  // list grows; pages that stay unused are never touched.
  release.files.reserve(text.size() / shortestFileLine);
  while (nextLine(text, position, line)) {
    if (line.empty()) continue;
    size_t space = line.find(' ');
    std::string_view keyword = line.substr(0, space);
    std::string_view value =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    if (keyword == "version") {
      release.version = std::string(value);
    } else if (keyword == "protocol") {
      release.protocol = readProtocol(value);
    } else if (keyword == "game") {
      release.game = std::string(value);
    } else if (keyword == "file" || keyword == "exec") {
      if (!readFileLine(value, keyword == "exec", release, error)) return false;
    } else if (keyword == "link") {
      if (!readLinkLine(value, release, error)) return false;
    } else if (keyword == "signature") {
      break;
    } else {
      error = "unknown line: " + std::string(keyword);
      return false;
    }
  }
  if (release.version.empty() || release.game.empty() || release.files.empty() ||
      !isSafePath(release.game)) {
    error = "the release is incomplete";
    return false;
  }
  return true;
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
