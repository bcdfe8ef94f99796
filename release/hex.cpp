// Hex texts of keys, signatures and digests, through libsodium's constant-time coders.
#include <sodium.h>

#include "release/release.h"

bool decodeHex(std::string_view text, unsigned char* out, size_t count) {
  if (text.size() != 2 * count) return false;
  size_t decoded = 0;
  // No characters to skip and no end pointer: any byte that is not a hex digit fails.
  return sodium_hex2bin(out, count, text.data(), text.size(), nullptr, &decoded, nullptr) == 0 &&
         decoded == count;
}

bool isHexText(std::string_view text, size_t length) {
  if (text.size() != length) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

std::string hexText(const unsigned char* bytes, size_t count) {
  std::string text(count * 2 + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), bytes, count);
  text.pop_back();  // the terminator sodium_bin2hex writes
  return text;
}
