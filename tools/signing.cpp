// Signing seeds and EdDSA signatures over edwards25519 with BLAKE2b-512, the scheme the
// setup program checks.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/publish.h"

#include "release/file_guards.h"
#include "release/files.h"

namespace {

constexpr size_t seedHexLength = 64;


// Wipes secret bytes when they go out of scope.
template <size_t size>
struct SecretBytes {
  unsigned char bytes[size];
  ~SecretBytes() { sodium_memzero(bytes, size); }
};

void blake2b512(unsigned char out[64], std::initializer_list<std::string_view> parts) {
  crypto_generichash_state state;
  // Cannot fail: no key and a 64-byte output are within BLAKE2b's limits.
  (void)crypto_generichash_init(&state, nullptr, 0, 64);
  for (std::string_view part : parts) {
    (void)crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(part.data()),
                                    part.size());
  }
  (void)crypto_generichash_final(&state, out, 64);
}

std::string_view bytesView(const unsigned char* bytes, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(bytes), size);
}

// The secret scalar a (clamped, then reduced modulo L for the scalar arithmetic) and the
// nonce prefix, both from BLAKE2b-512 of the seed.
void expandSeed(const SigningSeed& seed, unsigned char scalar[32], unsigned char prefix[32]) {
  SecretBytes<64> expanded;
  blake2b512(expanded.bytes, {bytesView(seed.data(), seed.size())});
  expanded.bytes[0] &= 248;
  expanded.bytes[31] &= 127;
  expanded.bytes[31] |= 64;
  std::memcpy(prefix, expanded.bytes + 32, 32);
  SecretBytes<64> wide{};
  std::memcpy(wide.bytes, expanded.bytes, 32);
  crypto_core_ed25519_scalar_reduce(scalar, wide.bytes);
}

// A = [a]B for an expanded seed's scalar a.
PublicKey publicKeyOfScalar(const unsigned char scalar[32]) {
  PublicKey publicKey;
  // Only fails for a scalar of zero, which a clamped scalar never is modulo L.
  (void)crypto_scalarmult_ed25519_base_noclamp(publicKey.data(), scalar);
  return publicKey;
}

}  // namespace

bool loadSeed(const std::filesystem::path& seedFile, SigningSeed& seed, std::string& error) {
  FileDescriptor file(open(seedFile.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    error = "could not read the seed file " + seedFile.string() + " (" + std::strerror(errno) + ")";
    return false;
  }
  // One byte more than a seed line may hold, to tell a longer file apart.
  SecretBytes<seedHexLength + 2> text;
  size_t length = 0;
  while (length < sizeof text.bytes) {
    ssize_t count = read(file.get(), text.bytes + length, sizeof text.bytes - length);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      error = "could not read the seed file " + seedFile.string() + " (" + std::strerror(errno) + ")";
      return false;
    }
    if (count == 0) break;
    length += static_cast<size_t>(count);
  }
  std::string_view content = bytesView(text.bytes, length);
  if (!content.empty() && content.back() == '\n') content.remove_suffix(1);
  if (!decodeHex(content, seed)) {
    error = "the seed file " + seedFile.string() + " does not hold 64 hex digits";
    sodium_memzero(seed.data(), seed.size());
    return false;
  }
  return true;
}

bool createSeed(const std::filesystem::path& seedFile, SigningSeed& seed, std::string& error) {
  randombytes_buf(seed.data(), seed.size());
  SecretBytes<seedHexLength + 2> text;
  sodium_bin2hex(reinterpret_cast<char*>(text.bytes), sizeof text.bytes, seed.data(), seed.size());
  text.bytes[seedHexLength] = '\n';

  FileDescriptor file(open(seedFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (file.get() < 0) {
    if (errno == EEXIST) {
      error = "the seed file " + seedFile.string() + " already exists; it was left as it was";
    } else {
      error = "could not create the seed file " + seedFile.string() + " (" + std::strerror(errno) + ")";
    }
    return false;
  }
  bool written = fchmod(file.get(), 0600) == 0 &&
                 writeAll(file.get(), reinterpret_cast<const char*>(text.bytes), seedHexLength + 1);
  if (written) written = fsync(file.get()) == 0;
  int savedErrno = errno;
  if (!file.closeChecked() && written) {
    written = false;
    savedErrno = errno;
  }
  if (!written) {
    std::error_code ignored;
    std::filesystem::remove(seedFile, ignored);  // a seed that was not stored whole is no seed
    error = "could not write the seed file " + seedFile.string() + " (" + std::strerror(savedErrno) + ")";
    sodium_memzero(seed.data(), seed.size());
    return false;
  }
  return true;
}

std::string seedFileWarning(const std::filesystem::path& seedFile) {
  struct stat status = {};
  if (stat(seedFile.c_str(), &status) != 0 || (status.st_mode & (S_IRGRP | S_IROTH)) == 0) return "";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
  return "the seed file " + seedFile.string() + " can be read by other users (mode " + mode +
         "); make it private: chmod 600 " + seedFile.string();
}

PublicKey publicKeyFromSeed(const SigningSeed& seed) {
  SecretBytes<32> scalar;
  SecretBytes<32> prefix;
  expandSeed(seed, scalar.bytes, prefix.bytes);
  return publicKeyOfScalar(scalar.bytes);
}

std::string publicKeyHex(const SigningSeed& seed) { return hexText(publicKeyFromSeed(seed)); }

Signature signMessage(std::string_view message, const SigningSeed& seed) {
  SecretBytes<32> scalar;
  SecretBytes<32> prefix;
  expandSeed(seed, scalar.bytes, prefix.bytes);
  const PublicKey publicKey = publicKeyOfScalar(scalar.bytes);
  Signature signature;

  // r = BLAKE2b-512(prefix || M) mod L, R = [r]B
  SecretBytes<64> wide;
  SecretBytes<32> nonce;
  blake2b512(wide.bytes, {bytesView(prefix.bytes, 32), message});
  crypto_core_ed25519_scalar_reduce(nonce.bytes, wide.bytes);
  unsigned char* r = signature.data();
  unsigned char* s = signature.data() + 32;
  // A nonce of zero would need a BLAKE2b output that is a multiple of L: not a real case.
  (void)crypto_scalarmult_ed25519_base_noclamp(r, nonce.bytes);

  // h = BLAKE2b-512(R || A || M) mod L, S = r + h * a mod L
  unsigned char challengeWide[64];
  unsigned char challenge[32];
  blake2b512(challengeWide, {bytesView(r, 32), bytesView(publicKey.data(), publicKey.size()), message});
  crypto_core_ed25519_scalar_reduce(challenge, challengeWide);
  SecretBytes<32> product;
  crypto_core_ed25519_scalar_mul(product.bytes, challenge, scalar.bytes);
  crypto_core_ed25519_scalar_add(s, nonce.bytes, product.bytes);
  return signature;
}

std::string signManifest(std::string_view signedPart, const SigningSeed& seed) {
  std::string text(signedPart);
  // The signature line must start a line of its own, or the program would not find it.
  if (text.empty() || text.back() != '\n') text += '\n';
  const Signature signature = signMessage(text, seed);
  text += "signature ";
  text += hexText(signature);
  text += '\n';
  return text;
}
