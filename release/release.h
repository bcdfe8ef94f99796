// Release manifests (records, parser and path rules), the release signature, and the
// BLAKE2b-256 digest of files and streams. Everything here is free of shared state and may
// run on any thread. It needs no libsodium initialisation (see app/main.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <sodium.h>

struct ReleaseFile {
  std::string hash;
  uint64_t size = 0;
  std::string path;
  bool executable = false;
};

struct ReleaseLink {
  std::string target;
  std::string path;
};

struct Release {
  std::string version;
  int32_t protocol = 0;
  std::string game;
  std::vector<ReleaseFile> files;
  std::vector<ReleaseLink> links;
};

// Parses a manifest text; on failure fills error and returns false.
bool parseRelease(std::string_view text, Release& release, std::string& error);
// The same for the text of the file at path, read a piece at a time rather than whole: a file
// that is missing or cannot be read to its end counts as an empty text.
bool parseReleaseFile(const std::filesystem::path& path, Release& release, std::string& error);
bool isSafePath(std::string_view path);
bool isSafeLinkTarget(std::string_view linkPath, std::string_view target);
// True when path is, or lies under, a name the setup program keeps for itself in the install
// folder: the staging folder, the two state files and their temporary names.
bool isProgramOwnedPath(std::string_view path);
uint64_t totalSize(const Release& release);

// The publisher's key compiled into the program: 64 lower-case hex digits, or "" when the
// build carries none. A variable so that tests can swap it.
extern const char* releasePublicKey;

// True when text has exactly 2 * count hex digits; fills count bytes of out.
bool decodeHex(std::string_view text, unsigned char* out, size_t count);
// Checks the last signature line with the 32-byte key, then parses the signed part.
bool verifyRelease(std::string_view text, const unsigned char* publicKey, Release& release,
                   std::string& error);
// EdDSA over edwards25519 with BLAKE2b-512; false for any malformed or failing signature.
bool checkSignature(const unsigned char signature[64], const unsigned char publicKey[32],
                    std::string_view message);

// BLAKE2b-256 of a whole file as 64 lower-case hex digits, or "" if it cannot be opened.
std::string fileDigest(const std::filesystem::path& path);

// BLAKE2b-256 over data as it arrives. Begun on construction; finished once.
class DigestStream {
 public:
  DigestStream();
  void add(const void* data, size_t length);
  friend std::string finishDigest(DigestStream& stream);

 private:
  crypto_generichash_state state_;
};
std::string finishDigest(DigestStream& stream);
