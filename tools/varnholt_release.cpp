// varnholt-release: the publisher's tool. Makes the signing seed, publishes a game folder as a
// signed release tree for the release server, and checks a tree against a public key.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/publish.h"

namespace {

constexpr const char* usageText =
    "usage: varnholt-release keygen <seed-file>\n"
    "       varnholt-release publish <game-folder> <version> <game-path> <seed-file> <tree>\n"
    "       varnholt-release verify <tree> <public-key-hex>\n"
    "       varnholt-release digest <file>\n"
    "\n"
    "keygen   makes a new signing seed in <seed-file> (mode 0600; an existing file is never\n"
    "         overwritten) and prints the public key: 64 lower-case hex digits and a line feed.\n"
    "         Build the setup program with -DVARNHOLT_RELEASE_PUBLIC_KEY=<that key>.\n"
    "publish  copies every file of <game-folder> to <tree>/files/<hash> and writes the signed\n"
    "         <tree>/latest.manifest last; <game-path> is the game's program, relative to the\n"
    "         folder. Files with an execute bit are installed executable; symbolic links inside\n"
    "         the folder become links. Prints \"published <version>: <n> files, <n> links,\n"
    "         <n> bytes\".\n"
    "verify   checks the signature of <tree>/latest.manifest against the public key and every\n"
    "         file in <tree>/files. Prints one line per problem (\"missing: \", \"wrong size: \",\n"
    "         \"wrong digest: \"), or \"verified <version>: <n> files, <n> links\".\n"
    "digest   prints the BLAKE2b-256 digest of <file> as the release lists it.\n"
    "\n"
    "Exit status: 0 success, 1 failure (with a message on standard error), 2 usage.\n";

int usage() {
  std::fputs(usageText, stderr);
  return 2;
}

int fail(const std::string& message) {
  std::fflush(stdout);  // what was printed before comes before the message
  std::fprintf(stderr, "varnholt-release: %s\n", message.c_str());
  return 1;
}

int keygen(const std::string& seedFile) {
  unsigned char seed[32];
  std::string error;
  if (!createSeed(seedFile, seed, error)) return fail(error);
  std::string key = publicKeyHex(seed);
  sodium_memzero(seed, sizeof seed);
  std::printf("%s\n", key.c_str());
  return 0;
}

int publish(const std::vector<std::string>& args) {
  unsigned char seed[32];
  std::string error;
  if (!loadSeed(args[3], seed, error)) return fail(error);
  bool published = publishRelease(args[0], args[1], args[2], seed, args[4], error);
  sodium_memzero(seed, sizeof seed);
  if (!published) return fail(error);
  // The summary describes the manifest as written.
  std::string manifest;
  Release release;
  if (!readReleaseManifest(args[4], manifest, error) || !parseRelease(manifest, release, error)) {
    return fail(error);
  }
  std::printf("published %s: %zu files, %zu links, %llu bytes\n", release.version.c_str(),
              release.files.size(), release.links.size(),
              static_cast<unsigned long long>(totalSize(release)));
  return 0;
}

int verify(const std::string& tree, const std::string& keyHex) {
  unsigned char publicKey[32];
  if (keyHex.size() != 64 || !decodeHex(keyHex, publicKey, sizeof publicKey)) {
    return fail("the public key must be 64 hex digits");
  }
  Release release;
  std::vector<std::string> problems;
  std::string error;
  if (!verifyTree(tree, publicKey, release, problems, error)) return fail(error);
  for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
  if (!problems.empty()) {
    return fail(std::to_string(problems.size()) + (problems.size() == 1 ? " problem" : " problems") +
                " in " + tree);
  }
  std::printf("verified %s: %zu files, %zu links\n", release.version.c_str(), release.files.size(),
              release.links.size());
  return 0;
}

int digest(const std::string& file) {
  std::string text = fileDigest(file);
  if (text.empty()) return fail("could not read " + file);
  std::printf("%s\n", text.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  // Only keygen needs libsodium's set-up (its random numbers); hashing runs faster without
  // it, as in the setup program (see app/main.cpp there).
  if (command == "keygen" && args.size() == 1) {
    if (sodium_init() < 0) return fail("libsodium could not be initialised");
    return keygen(args[0]);
  }
  if (command == "publish" && args.size() == 5) return publish(args);
  if (command == "verify" && args.size() == 2) return verify(args[0], args[1]);
  if (command == "digest" && args.size() == 1) return digest(args[0]);
  return usage();
}
