// varnholt-release: the publisher's tool. Makes the signing seed, publishes a game folder as a
// signed release tree for the release server, and checks a tree against a public key.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <sodium.h>

#include "tools/publish.h"
#include "tools/server_check.h"
#include "tools/tool_output.h"

namespace {

constexpr const char* usageText =
    "usage: varnholt-release keygen <seed-file>\n"
    "       varnholt-release pubkey <seed-file>\n"
    "       varnholt-release publish <game-folder> <version> <game-path> <seed-file> <tree>\n"
    "                                [--dry-run] [--exclude PATTERN]... [--force]\n"
    "       varnholt-release verify <tree-or-https-url> <public-key-hex>\n"
    "       varnholt-release prune <tree> --keep N [--delete]\n"
    "       varnholt-release digest <file>\n"
    "\n"
    "keygen   makes a new signing seed in <seed-file> (mode 0600; an existing file is never\n"
    "         overwritten) and prints the public key: 64 lower-case hex digits and a line feed.\n"
    "         Build the setup program with -DVARNHOLT_RELEASE_PUBLIC_KEY=<that key>.\n"
    "pubkey   prints the public key of the seed in <seed-file>.\n"
    "publish  copies every file of <game-folder> to <tree>/files/<hash>, keeps the signed manifest\n"
    "         as <tree>/manifests/<version>.manifest and writes <tree>/latest.manifest last;\n"
    "         files of 1 MiB or more get a block index, <tree>/files/<hash>.blocks, beside them.\n"
    "         <game-path> is the game's program, relative to the folder, and must be executable.\n"
    "         Files with an execute bit are installed executable; symbolic links inside the\n"
    "         folder become links. Prints the public key it signed with, then \"published\n"
    "         <version>: <n> files, <n> links, <n> bytes\". Refuses a seed file inside the game\n"
    "         folder, a file holding the seed, and a tree whose latest.manifest this seed did not\n"
    "         sign (--force replaces it). --dry-run lists what would be published and writes\n"
    "         nothing; --exclude leaves out files, links and folders whose name (or, for a pattern\n"
    "         with \"/\", whose path) matches the shell pattern.\n"
    "verify   checks the signature of latest.manifest against the public key and every file\n"
    "         the manifest names, in a tree on disk or on a live server (https://.../linux/)\n"
    "         through the setup program's own download code. Prints one line per problem\n"
    "         (\"missing: \", \"wrong size: \", \"wrong digest: \", and for a file's block index\n"
    "         \"missing index: \", \"wrong index: \"), or \"verified <version>: <n>\n"
    "         files, <n> links\".\n"
    "prune    lists the files in <tree>/files that neither latest.manifest nor the N newest\n"
    "         manifests in <tree>/manifests name, and the older manifests; --delete removes them.\n"
    "digest   prints the BLAKE2b-256 digest of <file> as the release lists it.\n"
    "\n"
    "Exit status: 0 success, 1 failure (with a message on standard error), 2 usage.\n";

int usage() {
  std::fputs(usageText, stderr);
  return 2;
}

void warn(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "varnholt-release: warning: %s\n", message.c_str());
}

int keygen(const std::string& seedFile) {
  SigningSeed seed;
  std::string error;
  if (!createSeed(seedFile, seed, error)) return fail(error);
  std::string key = publicKeyHex(seed);
  sodium_memzero(seed.data(), seed.size());
  std::printf("%s\n", key.c_str());
  return 0;
}

int pubkey(const std::string& seedFile) {
  SigningSeed seed;
  std::string error;
  if (!loadSeed(seedFile, seed, error)) return fail(error);
  std::string key = publicKeyHex(seed);
  sodium_memzero(seed.data(), seed.size());
  if (std::string warning = seedFileWarning(seedFile); !warning.empty()) warn(warning);
  std::printf("%s\n", key.c_str());
  return 0;
}

int publish(const std::vector<std::string>& args) {
  PublishOptions options;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--dry-run") {
      options.dryRun = true;
    } else if (args[i] == "--force") {
      options.force = true;
    } else if (args[i] == "--exclude" && i + 1 < args.size()) {
      options.excludes.push_back(args[++i]);
    } else if (args[i].rfind("--", 0) == 0) {
      return usage();
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 5) return usage();
  options.seedFile = positional[3];
  SigningSeed seed;
  std::string error;
  if (!loadSeed(options.seedFile, seed, error)) return fail(error);
  if (std::string warning = seedFileWarning(options.seedFile); !warning.empty()) warn(warning);
  const std::string key = publicKeyHex(seed);
  PublishOutcome outcome;
  bool published = publishRelease(positional[0], positional[1], positional[2], seed, positional[4], options,
                                  outcome, error);
  sodium_memzero(seed.data(), seed.size());
  for (const std::string& warning : outcome.warnings) warn(warning);
  if (!published) return fail(error);
  const Release& release = outcome.release;
  if (options.dryRun) {
    for (const ReleaseFile& file : release.files) {
      std::printf("%s %s (%llu bytes)\n", file.executable ? "exec" : "file", file.path.c_str(),
                  static_cast<unsigned long long>(file.size));
    }
    for (const ReleaseLink& link : release.links) std::printf("link %s -> %s\n", link.path.c_str(), link.target.c_str());
  }
  std::printf("signed with public key %s\n", key.c_str());
  std::printf("%s %s: %zu files, %zu links, %llu bytes%s\n", options.dryRun ? "would publish" : "published",
              release.version.c_str(), release.files.size(), release.links.size(),
              static_cast<unsigned long long>(totalSize(release)), options.dryRun ? " (dry run: nothing written)" : "");
  return 0;
}

// The tool that holds the seed links no network code: a live server is checked by
// varnholt-server-check, which lies beside it (in the build folder as in an installed bin/)
// and takes its place, so that its output and exit status are the command's own.
int checkServer(const std::string& url, const std::string& keyHex) {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return fail("could not find where varnholt-release lies (/proc/self/exe: " + ec.message() + ")");
  const std::string checker = (self.parent_path() / "varnholt-server-check").string();
  std::fflush(stdout);
  char* const argv[] = {const_cast<char*>(checker.c_str()), const_cast<char*>(url.c_str()),
                        const_cast<char*>(keyHex.c_str()), nullptr};
  ::execv(checker.c_str(), argv);
  const int reason = errno;
  if (reason == ENOENT) {
    return fail("checking a server needs " + checker + ", which is missing; install it beside varnholt-release");
  }
  return fail("could not start " + checker + " (" + std::strerror(reason) + ")");
}

int verify(const std::string& where, const std::string& keyHex) {
  PublicKey publicKey;
  if (!decodeHex(keyHex, publicKey)) {
    return fail("the public key must be 64 hex digits");
  }
  if (isReleaseUrl(where)) return checkServer(where, keyHex);
  Release release;
  std::vector<std::string> problems;
  std::string error;
  const bool checked = verifyTree(where, publicKey, release, problems, error);
  return reportCheck(where, checked, release, problems, error);
}

int prune(const std::vector<std::string>& args) {
  std::string tree;
  std::string keepText;
  bool remove = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--keep" && i + 1 < args.size()) {
      keepText = args[++i];
    } else if (args[i] == "--delete") {
      remove = true;
    } else if (args[i].rfind("--", 0) == 0 || !tree.empty()) {
      return usage();
    } else {
      tree = args[i];
    }
  }
  if (tree.empty() || keepText.empty()) return usage();
  if (keepText.find_first_not_of("0123456789") != std::string::npos || keepText.size() > 9) {
    return fail("--keep takes a number of releases, not " + keepText);
  }
  PruneResult result;
  std::string error;
  if (!pruneTree(tree, std::stoul(keepText), remove, result, error)) return fail(error);
  const char* verb = remove ? "removed" : "unused";
  for (const std::string& name : result.droppedManifests) std::printf("%s %s\n", verb, name.c_str());
  for (const std::string& name : result.unusedFiles) std::printf("%s %s\n", verb, name.c_str());
  std::string kept;
  for (const std::string& version : result.keptVersions) kept += (kept.empty() ? "" : ", ") + version;
  std::printf("%s %zu manifests and %zu files (%llu bytes); kept %s%s\n", remove ? "removed" : "would remove",
              result.droppedManifests.size(), result.unusedFiles.size(),
              static_cast<unsigned long long>(result.unusedBytes), kept.c_str(),
              remove ? "" : " (--delete removes them)");
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
  if (command == "pubkey" && args.size() == 1) return pubkey(args[0]);
  if (command == "publish") return publish(args);
  if (command == "verify" && args.size() == 2) return verify(args[0], args[1]);
  if (command == "prune") return prune(args);
  if (command == "digest" && args.size() == 1) return digest(args[0]);
  return usage();
}
