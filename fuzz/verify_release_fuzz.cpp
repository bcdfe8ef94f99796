// Feeds verifyRelease in two ways. Signed: the input is signed with the test seed
// (tests/keys/test-release.seed), so every mutation reaches the parser through a valid
// signature; the outcome must be exactly parseRelease's on the signed part, trailing blanks
// after the signature must not matter, and any changed byte of the signed part must be refused
// as not published by Varnholt. Raw: the input as it comes; only the known messages may come
// back, and whatever is accepted must be what the parser makes of the part before the last
// signature line.
//
// Input: one byte of flags, then (when tampering) two bytes of position, then the text.
//   bit 0: raw mode     bit 1: change one byte of the signed part
//   bits 2-4: which blanks follow the signature line
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <sodium.h>

#include "release/release.h"
#include "tests/keys/test_key.h"
#include "tools/publish.h"

namespace {

const char* const notPublished = "the release's signature does not match: it was not published by Varnholt";

SigningSeed seed;
PublicKey publicKey;

void fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "verifyRelease: %s %s\n", what, detail.c_str());
  std::abort();
}

bool startsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool isSignatureMessage(const std::string& error) {
  return error == "the release is not signed" || error == "the release's signature is malformed" ||
         error == notPublished;
}

bool isParserMessage(const std::string& error) {
  return error == "not a Varnholt release" || error == "a file line is malformed" ||
         error == "a link line is malformed" || error == "the release is incomplete" ||
         startsWith(error, "unknown line: ") || startsWith(error, "a file's hash is malformed: ") ||
         startsWith(error, "a file's path leaves the install folder: ") ||
         startsWith(error, "a link leaves the install folder: ");
}

// verifyRelease must give what parseRelease gives for the signed part.
void expectParse(std::string_view text, std::string_view signedPart) {
  Release verified;
  std::string verifyError;
  bool verifiedOk = verifyRelease(text, publicKey, verified, verifyError);
  Release parsed;
  std::string parseError;
  bool parsedOk = parseRelease(signedPart, parsed, parseError);
  if (verifiedOk != parsedOk || verifyError != parseError) {
    fail("differs from the parser:", verifyError + " / " + parseError);
  }
  if (verifiedOk && verified != parsed) fail("gave another release than the parser");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (sodium_init() < 0) fail("sodium_init failed");
  std::string error;
  if (!loadSeed(testSeedFile, seed, error)) fail(error.c_str());
  if (!decodeHex(testPublicKeyHex, publicKey)) fail("bad test key");
  if (publicKeyFromSeed(seed) != publicKey) fail("the test seed does not give the test key");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  const bool raw = flags & 1;
  const bool tamper = flags & 2;
  size_t skip = 1;
  size_t position = 0;
  if (tamper && !raw) {
    if (size < 3) return 0;
    position = data[1] | (size_t(data[2]) << 8);
    skip = 3;
  }
  std::string input(reinterpret_cast<const char*>(data + skip), size - skip);

  if (raw) {
    Release release;
    std::string error;
    bool ok = verifyRelease(input, publicKey, release, error);
    if (!ok && !isSignatureMessage(error) && !isParserMessage(error)) fail("unknown message", error);
    if (ok || isParserMessage(error)) {
      size_t line = input.rfind("\nsignature ");
      if (line == std::string::npos) fail("passed the signature check without a signature line");
      expectParse(input, std::string_view(input).substr(0, line + 1));
    }
    return 0;
  }

  static const char* const blanks[] = {"", "\n", " ", "  \r\n", "\r\n\n", "\n\n\n", " \r \n", "\r"};
  std::string signedPart = input;
  if (signedPart.empty() || signedPart.back() != '\n') signedPart += '\n';
  std::string text = signManifest(input, seed);
  if (text.compare(0, signedPart.size(), signedPart) != 0) fail("signManifest changed the signed part");
  text += blanks[(flags >> 2) & 7];

  if (!tamper) {
    expectParse(text, signedPart);
    return 0;
  }
  // Any changed byte before the line feed that precedes the signature line breaks the signature.
  if (signedPart.size() < 2) return 0;
  size_t at = position % (signedPart.size() - 1);
  text[at] = char(text[at] ^ (data[1] | 1));
  Release release;
  std::string error;
  if (verifyRelease(text, publicKey, release, error)) fail("accepted a changed manifest");
  if (error != notPublished) fail("refused a changed manifest with", error);
  return 0;
}
