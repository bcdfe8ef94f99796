// Checks isSafePath, isSafeLinkTarget and isProgramOwnedPath against a second formulation of the same rules,
// written here plainly from their wording (split into components first, then judge), and
// aborts on any disagreement.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "release/release.h"

namespace {

std::vector<std::string> componentsOf(const std::string& path) {
  std::vector<std::string> parts(1);
  for (char c : path) {
    if (c == '/') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

bool hasForbiddenCharacter(const std::string& text) {
  return text.find(':') != std::string::npos || text.find('\\') != std::string::npos;
}

// Not empty, not rooted, no ':' or '\', and no empty, "." or ".." component, where one '/' at
// the very end yields no empty last component.
bool referenceSafePath(const std::string& path) {
  if (path.empty()) return false;
  if (path[0] == '/' || path[0] == '\\') return false;
  if (hasForbiddenCharacter(path)) return false;
  std::string trimmed = path;
  if (trimmed.back() == '/') trimmed.pop_back();
  for (const std::string& part : componentsOf(trimmed)) {
    if (part.empty() || part == "." || part == "..") return false;
  }
  return true;
}

// The depth starts at the number of '/' in the link path; ".." climbs one level, a named
// component descends one, empty and "." stay; the depth may never go below zero.
bool referenceSafeLinkTarget(const std::string& linkPath, const std::string& target) {
  if (target.empty()) return false;
  if (target[0] == '/' || target[0] == '\\') return false;
  if (hasForbiddenCharacter(target)) return false;
  int64_t depth = 0;
  for (char c : linkPath) depth += c == '/' ? 1 : 0;
  for (const std::string& part : componentsOf(target)) {
    if (part == "..") {
      depth -= 1;
    } else if (!part.empty() && part != ".") {
      depth += 1;
    }
    if (depth < 0) return false;
  }
  return true;
}

// The first component, with one '/' at the very end taken away, is one of the names the
// program keeps in the install folder.
bool referenceProgramOwned(const std::string& path) {
  std::string trimmed = path;
  if (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
  const std::string first = componentsOf(trimmed).front();
  for (const char* owned : {".staging", "install.manifest", "install.source", "install.manifest.tmp",
                            "install.source.tmp"}) {
    if (first == owned) return true;
  }
  return false;
}

void disagree(const char* rule, const std::string& a, const std::string& b, bool program) {
  std::fprintf(stderr, "%s disagrees (program says %s) for [%s] [%s]\n", rule,
               program ? "safe" : "unsafe", a.c_str(), b.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string linkPath = input.ConsumeRandomLengthString(4096);
  std::string target = input.ConsumeRemainingBytesAsString();

  bool program = isSafePath(linkPath);
  if (program != referenceSafePath(linkPath)) disagree("isSafePath", linkPath, "", program);
  program = isSafePath(target);
  if (program != referenceSafePath(target)) disagree("isSafePath", target, "", program);
  program = isProgramOwnedPath(linkPath);
  if (program != referenceProgramOwned(linkPath)) disagree("isProgramOwnedPath", linkPath, "", program);
  program = isSafeLinkTarget(linkPath, target);
  if (program != referenceSafeLinkTarget(linkPath, target)) {
    disagree("isSafeLinkTarget", linkPath, target, program);
  }
  return 0;
}
