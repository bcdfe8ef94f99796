// Feeds any text to parseRelease and checks what a successful parse promises (every path
// safe and none the program keeps for itself, every hash 64 hex digits, a complete release), that a failure names one of the
// parser's own messages, that nothing after a signature line is read, and that a record left
// over from an earlier parse does not leak into the next one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "release/release.h"

namespace {

void fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "parseRelease: %s %s\n", what, detail.c_str());
  std::abort();
}

bool isHexDigits(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

bool startsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool isParserMessage(const std::string& error) {
  return error == "not a Varnholt release" || error == "a file line is malformed" ||
         error == "a link line is malformed" || error == "the release is incomplete" ||
         startsWith(error, "unknown line: ") || startsWith(error, "a file's hash is malformed: ") ||
         startsWith(error, "a file's path leaves the install folder: ") ||
         startsWith(error, "a link leaves the install folder: ") ||
         startsWith(error, "a file's path is one the setup program keeps for itself: ") ||
         startsWith(error, "a link's path is one the setup program keeps for itself: ");
}

void checkComplete(const Release& release) {
  if (release.version.empty()) fail("accepted an empty version");
  if (release.game.empty() || !isSafePath(release.game)) fail("accepted the game path", release.game);
  if (release.files.empty()) fail("accepted a release without files");
  uint64_t sum = 0;
  for (const ReleaseFile& file : release.files) {
    if (!isHexDigits(file.hash)) fail("accepted the hash", file.hash);
    if (!isSafePath(file.path)) fail("accepted the file path", file.path);
    if (isProgramOwnedPath(file.path)) fail("accepted a file at a name the program keeps", file.path);
    sum += file.size;
  }
  if (totalSize(release) != sum) fail("totalSize differs from the sum of the sizes");
  for (const ReleaseLink& link : release.links) {
    if (!isSafePath(link.path)) fail("accepted the link path", link.path);
    if (isProgramOwnedPath(link.path)) fail("accepted a link at a name the program keeps", link.path);
    if (!isSafeLinkTarget(link.path, link.target)) fail("accepted the link target", link.target);
  }
}

// Kept across inputs on purpose: each parse must start from a cleared record.
Release leftover;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);

  Release fresh;
  std::string error;
  bool ok = parseRelease(text, fresh, error);
  if (ok) {
    if (!error.empty()) fail("touched the error text on success", error);
    checkComplete(fresh);
  } else if (!isParserMessage(error)) {
    fail("failed with an unknown message", error);
  }

  std::string reusedError;
  bool reusedOk = parseRelease(text, leftover, reusedError);
  if (reusedOk != ok || reusedError != error || (ok && fresh != leftover)) {
    fail("gave another result into a used record");
  }

  // Whatever follows a signature line is never read.
  std::string signedText = text;
  if (!signedText.empty() && signedText.back() != '\n') signedText += '\n';
  signedText += "signature 00\n\x01 not a line of any kind\nfile x";
  Release cut;
  std::string cutError;
  bool cutOk = parseRelease(signedText, cut, cutError);
  if (cutOk != ok || cutError != error || (ok && fresh != cut)) {
    fail("read past a signature line");
  }
  return 0;
}
