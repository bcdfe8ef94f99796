// The publisher's side of a release: signing seeds, signed manifests, and release trees as the
// release server serves them ("latest.manifest" and "files/<hash>").
//
// Manifests written here list, in this order: the line "varnholt-release 1", "version",
// "protocol 1", "game", the "file"/"exec" lines sorted by path, the "link" lines sorted by path
// (byte order), then the signature line.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "release/release.h"

// The secret from which the signing key is derived.
constexpr size_t seedBytes = 32;
using SigningSeed = std::array<unsigned char, seedBytes>;

// Seed files hold 64 hex digits and a line feed; mode 0600.
[[nodiscard]] bool loadSeed(const std::filesystem::path& seedFile, SigningSeed& seed, std::string& error);
// Makes a fresh random seed in a new file (never over an existing one), mode 0600.
[[nodiscard]] bool createSeed(const std::filesystem::path& seedFile, SigningSeed& seed, std::string& error);
// A warning when other users may read the seed file (group or others have read access), or "".
std::string seedFileWarning(const std::filesystem::path& seedFile);
PublicKey publicKeyFromSeed(const SigningSeed& seed);
std::string publicKeyHex(const SigningSeed& seed);

// EdDSA over edwards25519 with BLAKE2b-512: the 64-byte signature (R, S) of message.
Signature signMessage(std::string_view message, const SigningSeed& seed);
// The signed part followed by "signature " + 128 lower-case hex digits + "\n". A signed part
// that does not end in a line feed gets one first (it is then signed with it).
std::string signManifest(std::string_view signedPart, const SigningSeed& seed);

// The unsigned manifest text of release: magic line, version, protocol, game, then the files
// and links in the order the record holds them. Paths are written as they are.
std::string manifestText(const Release& release);

struct PublishOptions {
  // The seed file the seed came from: refused when it lies inside the game folder.
  std::filesystem::path seedFile;
  // Shell patterns (fnmatch). One without "/" leaves out every file, link or folder of that
  // name anywhere; one with "/" is matched against the whole path from the game folder's top.
  std::vector<std::string> excludes;
  bool dryRun = false;  // measure and check everything, write nothing
  bool force = false;   // replace a latest.manifest that this seed did not sign
};

struct PublishOutcome {
  Release release;                    // as published, or as it would be with dryRun
  std::vector<std::string> warnings;  // each one line, without a prefix
};

// Publishes gameFolder as a release tree in tree/ ("files/<hash>" per distinct content, written
// once, with "files/<hash>.blocks" beside those of at least blockIndexThreshold bytes; "manifests/<version>.manifest" and "latest.manifest" signed, the latter written last
// and atomically). Files with an execute bit give "exec" lines, others "file"; symbolic links
// inside the folder give "link" lines. Every path that cannot be published is named in one
// error, a line each. gamePath must name an executable file (or a link to one) of the folder.
// A tree whose latest.manifest this seed did not sign is refused unless options.force. On
// failure "latest.manifest" is untouched.
[[nodiscard]] bool publishRelease(const std::filesystem::path& gameFolder, const std::string& version,
                                  const std::string& gamePath, const SigningSeed& seed,
                                  const std::filesystem::path& tree, const PublishOptions& options,
                                  PublishOutcome& outcome, std::string& error);
// The same with default options.
[[nodiscard]] bool publishRelease(const std::filesystem::path& gameFolder, const std::string& version,
                                  const std::string& gamePath, const SigningSeed& seed,
                                  const std::filesystem::path& tree, std::string& error);

// Orders versions by their numeric parts ("1.10" after "1.9", "2.0-beta3" after "2.0-beta2"):
// negative, zero or positive. Versions with the same numbers compare equal.
int compareVersions(const std::string& a, const std::string& b);

// Reads <tree>/latest.manifest as it is.
[[nodiscard]] bool readReleaseManifest(const std::filesystem::path& tree, std::string& text, std::string& error);

// Checks a release tree: the signature of "latest.manifest" against publicKey (error filled and
// false when it cannot be read, is not signed by that key or does not parse), then every file:
// present in "files/", with the right size and digest. Each problem found there is one line in
// problems ("missing: <path> (files/<hash>)", "wrong size: <path> (<n> bytes, expected <m>)",
// "wrong digest: <path> (files/<hash>)"). A sound file of at least blockIndexThreshold bytes
// needs its block index: "missing index: <path> (files/<hash>.blocks)", or "wrong index: ..."
// when it is malformed or its sums are not those of the file. The tree is sound when the result
// is true and problems is empty.
[[nodiscard]] bool verifyTree(const std::filesystem::path& tree, const PublicKey& publicKey,
                              Release& release, std::vector<std::string>& problems, std::string& error);

// Files in <tree>/files that no kept manifest names. The kept manifests are latest.manifest (with
// its copy in <tree>/manifests) and the keep newest others there, by version; the rest are dropped. Nothing is removed
// unless remove is true. A manifest that does not parse stops everything (error filled).
struct PruneResult {
  std::vector<std::string> keptVersions;
  std::vector<std::string> droppedManifests;  // "manifests/<name>"
  std::vector<std::string> unusedFiles;       // "files/<hash>"
  uint64_t unusedBytes = 0;
};
[[nodiscard]] bool pruneTree(const std::filesystem::path& tree, size_t keep, bool remove, PruneResult& result,
                             std::string& error);
