// The release signature: EdDSA over edwards25519 with BLAKE2b-512 on the last signature line.
#include <sodium.h>

#include <cstring>

#include "release/release.h"

namespace {

constexpr std::string_view signatureMarker = "\nsignature ";

// The order L of the edwards25519 base point, little-endian.
constexpr unsigned char groupOrder[32] = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// A scalar above the group order would let one signature be written in several ways.
bool isBelowGroupOrder(const unsigned char scalar[32]) {
  for (int i = 31; i >= 0; --i) {
    if (scalar[i] < groupOrder[i]) return true;
    if (scalar[i] > groupOrder[i]) return false;
  }
  return false;  // equal
}

}  // namespace

bool checkSignature(const Signature& signature, const PublicKey& publicKey, std::string_view message) {
  const unsigned char* r = signature.data();
  const unsigned char* s = signature.data() + 32;
  if (!isBelowGroupOrder(s)) return false;

  // h = BLAKE2b-512(R || A || message) mod L
  unsigned char wideHash[64];
  crypto_generichash_state state;
  if (crypto_generichash_init(&state, nullptr, 0, sizeof wideHash) != 0 ||
      crypto_generichash_update(&state, r, 32) != 0 ||
      crypto_generichash_update(&state, publicKey.data(), publicKey.size()) != 0 ||
      crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(message.data()),
                                message.size()) != 0 ||
      crypto_generichash_final(&state, wideHash, sizeof wideHash) != 0) {
    return false;
  }
  unsigned char h[32];
  crypto_core_ed25519_scalar_reduce(h, wideHash);

  // R' = [S]B - [h]A. libsodium refuses an identity result and a key that is not a valid
  // point of the prime-order group; either way the signature does not count.
  unsigned char sB[32];
  unsigned char hA[32];
  unsigned char expectedR[32];
  if (crypto_scalarmult_ed25519_base_noclamp(sB, s) != 0) return false;
  if (crypto_scalarmult_ed25519_noclamp(hA, h, publicKey.data()) != 0) return false;
  if (crypto_core_ed25519_sub(expectedR, sB, hA) != 0) return false;
  return std::memcmp(expectedR, r, 32) == 0;
}

bool verifyRelease(std::string_view text, const PublicKey& publicKey, Release& release,
                   std::string& error) {
  if (text.size() < signatureMarker.size()) {
    error = "the release is not signed";
    return false;
  }
  size_t marker = text.rfind(signatureMarker);
  if (marker == std::string_view::npos) {
    error = "the release is not signed";
    return false;
  }
  std::string_view signedPart = text.substr(0, marker + 1);
  std::string_view signatureText = text.substr(marker + signatureMarker.size());
  while (!signatureText.empty() &&
         (signatureText.back() == ' ' || signatureText.back() == '\r' || signatureText.back() == '\n')) {
    signatureText.remove_suffix(1);
  }
  Signature signature;
  if (!decodeHex(signatureText, signature)) {
    error = "the release's signature is malformed";
    return false;
  }
  if (!checkSignature(signature, publicKey, signedPart)) {
    error = "the release's signature does not match: it was not published by Varnholt";
    return false;
  }
  return parseRelease(signedPart, release, error);
}
