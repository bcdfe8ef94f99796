// Lays the links of a release out in a real folder, as the commit does, and lets the kernel
// judge the result: each link is made, followed with leadsInside and taken away again when it
// leads out, and once all are made each is followed again. Then the kernel resolves every link
// that stayed and creates folders and a file through it and through the paths of the release's
// files that parentInside lets through: nothing may appear outside the install folder, and
// nothing may be placed at a name the program keeps for itself. Aborts on any breach.
#include <fuzzer/FuzzedDataProvider.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "engine/contained.h"
#include "release/release.h"

namespace fs = std::filesystem;

namespace {

// An install folder inside a folder of its own: whatever the links do, "outside" is the rest
// of that folder, which must hold nothing but the install folder.
struct Playground {
  Playground() {
    char pattern[] = "/tmp/varnholt-link-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    outer = pattern;
    root = outer / "game";
    fs::create_directory(root);
  }
  ~Playground() {
    std::error_code ec;
    fs::remove_all(outer, ec);
  }
  fs::path outer;
  fs::path root;
};

void breach(const char* what, const std::string& path) {
  std::fprintf(stderr, "%s: [%s]\n", what, path.c_str());
  std::abort();
}

void expectNothingOutside(const Playground& ground, const std::string& path) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(ground.outer, ec)) {
    if (entry.path() != ground.root) breach("something was made outside the install folder through", path);
  }
}

bool inside(const fs::path& root, const fs::path& real) {
  const std::string r = root.string();
  const std::string p = real.string();
  return p == r || (p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/');
}

std::string pathFrom(FuzzedDataProvider& input) {
  // Short names, so that the links meet each other.
  static const char* const names[] = {"a", "b", "l", "up", "d", ".staging", "install.manifest", "x"};
  std::string path;
  const int parts = input.ConsumeIntegralInRange(1, 3);
  for (int i = 0; i < parts; ++i) {
    if (i > 0) path += '/';
    path += input.ConsumeBool() ? names[input.ConsumeIntegralInRange<size_t>(0, 7)] : input.ConsumeRandomLengthString(6);
  }
  return path;
}

std::string targetFrom(FuzzedDataProvider& input) {
  static const char* const parts[] = {".", "..", "a", "b", "l", "up", "d", "x"};
  std::string target;
  const int count = input.ConsumeIntegralInRange(1, 5);
  for (int i = 0; i < count; ++i) {
    if (i > 0) target += '/';
    target += parts[input.ConsumeIntegralInRange<size_t>(0, 7)];
  }
  return target;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Playground ground;
  const fs::path root = fs::canonical(ground.root);

  // The links, as the parser and the commit let them be made.
  std::vector<std::string> made;
  const int links = input.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < links; ++i) {
    const std::string path = pathFrom(input);
    const std::string target = targetFrom(input);
    if (!isSafePath(path) || !isSafeLinkTarget(path, target) || isProgramOwnedPath(path)) continue;
    std::string reason;
    if (!parentInside(root, path, reason)) continue;
    std::error_code ec;
    const fs::path at = installedEntry(root, path);
    fs::create_directories(at.parent_path(), ec);
    fs::remove_all(at, ec);
    fs::create_symlink(target, at, ec);
    if (ec) continue;
    if (!leadsInside(root, path, reason)) {
      fs::remove(at, ec);
      continue;
    }
    made.push_back(path);
  }
  for (const std::string& path : made) {
    std::string reason;
    std::error_code ec;
    if (!leadsInside(root, path, reason)) fs::remove(installedEntry(root, path), ec);
  }
  expectNothingOutside(ground, "the links themselves");

  // What stayed, resolved by the kernel.
  for (const std::string& path : made) {
    std::error_code ec;
    const fs::path at = installedEntry(root, path);
    if (!fs::is_symlink(fs::symlink_status(at, ec))) continue;
    const fs::path real = fs::canonical(at, ec);
    if (!ec && !inside(root, real)) breach("a link that stayed leads out", path);
    // Folders made through a link that leads nowhere yet land where the kernel takes them.
    fs::create_directories(at / "probe", ec);
    expectNothingOutside(ground, path);
  }

  // Files of the release, placed through whatever the links made.
  const int files = input.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < files; ++i) {
    const std::string path = pathFrom(input);
    if (!isSafePath(path) || isProgramOwnedPath(path)) continue;
    std::string reason;
    if (!parentInside(root, path, reason)) continue;
    std::error_code ec;
    const fs::path at = installedEntry(root, path);
    fs::create_directories(at.parent_path(), ec);
    if (fs::is_symlink(fs::symlink_status(at, ec))) fs::remove(at, ec);
    const int fd = ::open(at.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
    expectNothingOutside(ground, path);
  }
  return 0;
}
