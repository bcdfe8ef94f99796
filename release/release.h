// Release manifests (records, parser and path rules), the release signature, and the
// BLAKE2b-256 digest of files and streams. Everything here is free of shared state and may
// run on any thread. It needs no libsodium initialisation (see app/main.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

struct ReleaseFile {
  std::string hash;
  uint64_t size = 0;
  std::string path;
  bool executable = false;
  bool operator==(const ReleaseFile&) const = default;
};

struct ReleaseLink {
  std::string target;
  std::string path;
  bool operator==(const ReleaseLink&) const = default;
};

struct Release {
  std::string version;
  int32_t protocol = 0;
  std::string game;
  std::vector<ReleaseFile> files;
  std::vector<ReleaseLink> links;
  bool operator==(const Release&) const = default;
};

// Parses a manifest text; on failure fills error and returns false.
[[nodiscard]] bool parseRelease(std::string_view text, Release& release, std::string& error);
// The same for the text of the file at path, read a piece at a time rather than whole: a file
// that is missing or cannot be read to its end counts as an empty text.
[[nodiscard]] bool parseReleaseFile(const std::filesystem::path& path, Release& release, std::string& error);
[[nodiscard]] bool isSafePath(std::string_view path);
[[nodiscard]] bool isSafeLinkTarget(std::string_view linkPath, std::string_view target);
// True when path is, or lies under, a name the setup program keeps for itself in the install
// folder: the staging folder, the two state files and their temporary names.
[[nodiscard]] bool isProgramOwnedPath(std::string_view path);
uint64_t totalSize(const Release& release);

// The publisher's key compiled into the program: 64 lower-case hex digits, or "" when the
// build carries none.
extern const char* const releasePublicKey;

// The release key and the signature over edwards25519 with BLAKE2b-512.
constexpr size_t publicKeyBytes = 32;
constexpr size_t signatureBytes = 64;
using PublicKey = std::array<unsigned char, publicKeyBytes>;
using Signature = std::array<unsigned char, signatureBytes>;

// True when text has exactly 2 * count hex digits (either case); fills count bytes of out.
[[nodiscard]] bool decodeHex(std::string_view text, unsigned char* out, size_t count);
template <size_t count>
[[nodiscard]] bool decodeHex(std::string_view text, std::array<unsigned char, count>& out) {
  return decodeHex(text, out.data(), count);
}
// True when text is exactly length hex digits (either case).
[[nodiscard]] bool isHexText(std::string_view text, size_t length);
// The bytes as lower-case hex digits, two per byte.
std::string hexText(const unsigned char* bytes, size_t count);
template <size_t count>
std::string hexText(const std::array<unsigned char, count>& bytes) {
  return hexText(bytes.data(), count);
}

// Checks the last signature line with the key, then parses the signed part.
[[nodiscard]] bool verifyRelease(std::string_view text, const PublicKey& publicKey, Release& release,
                                 std::string& error);
// False for any malformed or failing signature.
[[nodiscard]] bool checkSignature(const Signature& signature, const PublicKey& publicKey,
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
  // libsodium's BLAKE2b state, kept here without its header (the sizes are checked beside the
  // code that uses it).
  alignas(64) unsigned char state_[384];
};
std::string finishDigest(DigestStream& stream);
