#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "release/release.h"
#include "tools/publish.h"
#include "tests/keys/test_key.h"

namespace {

const std::string notSigned = "the release is not signed";
const std::string malformed = "the release's signature is malformed";
const std::string noMatch = "the release's signature does not match: it was not published by Varnholt";
const std::string knownPublicKey = testPublicKeyHex;

class ReleaseSignature : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(decodeHex(testSeedHex, seed));
    ASSERT_TRUE(decodeHex(knownPublicKey, publicKey));
    // An empty line before the signature line, so that the signed part ends in two LFs.
    signedPart = "varnholt-release 1\nversion 2.1\nprotocol 1\ngame run.sh\n"
                 "exec 00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff 9 run.sh\n\n";
    signedText = signManifest(signedPart, seed);
    signatureHex = signedText.substr(signedPart.size() + 10, 128);
  }

  // Runs verifyRelease; returns "" on success, the error otherwise.
  std::string verify(const std::string& text) {
    Release release;
    std::string error;
    if (verifyRelease(text, publicKey, release, error)) return "";
    return error;
  }

  std::string withSignature(const std::string& tail) { return signedPart + "signature " + tail; }

  // The signature with S replaced by a 256-bit little-endian number.
  std::string withScalar(const unsigned char s[32]) {
    Signature signature;
    EXPECT_TRUE(decodeHex(signatureHex, signature));
    std::memcpy(signature.data() + 32, s, 32);
    return withSignature(hexText(signature) + "\n");
  }

  SigningSeed seed;
  PublicKey publicKey;
  std::string signedPart;
  std::string signedText;
  std::string signatureHex;
};

TEST(DecodeHex, AcceptsExactlyTwoDigitsPerByte) {
  struct Case {
    std::string text;
    size_t count;
    bool ok;
    std::vector<unsigned char> bytes;
  };
  const std::vector<Case> cases = {
      {"", 0, true, {}},
      {"00ff7A", 3, true, {0x00, 0xff, 0x7a}},
      {"AbCdEf", 3, true, {0xab, 0xcd, 0xef}},
      {"0", 1, false, {}},
      {"000", 1, false, {}},
      {"0000", 1, false, {}},
      {"0g", 1, false, {}},
      {"g0", 1, false, {}},
      {" 0", 1, false, {}},
      {"0 ", 1, false, {}},
      {"0x", 1, false, {}},
      {"-1", 1, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    unsigned char out[8] = {};
    ASSERT_EQ(decodeHex(c.text, out, c.count), c.ok);
    if (c.ok) {
      EXPECT_EQ(std::vector<unsigned char>(out, out + c.count), c.bytes);
    }
  }
}

TEST_F(ReleaseSignature, KnownAnswerKeyAndSignedManifest) {
  EXPECT_EQ(publicKeyHex(seed), knownPublicKey);
  EXPECT_EQ(signedText, signedPart + "signature " + signatureHex + "\n");
  EXPECT_EQ(signatureHex.find_first_not_of("0123456789abcdef"), std::string::npos);
  Release release;
  std::string error = "untouched";
  ASSERT_TRUE(verifyRelease(signedText, publicKey, release, error));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(release.version, "2.1");
  EXPECT_EQ(release.game, "run.sh");
  ASSERT_EQ(release.files.size(), 1u);
  // Signing is deterministic: the same text gives the same signature.
  EXPECT_EQ(signManifest(signedPart, seed), signedText);
}

TEST_F(ReleaseSignature, ChecksPresenceAndFormOfTheSignatureLine) {
  std::string upper = signatureHex;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  struct Case {
    std::string text;
    std::string error;  // "" when the text is accepted
  };
  const std::vector<Case> cases = {
      {withSignature(signatureHex + "\n"), ""},
      {withSignature(signatureHex), ""},
      {withSignature(signatureHex + "\n\n"), ""},
      {withSignature(signatureHex + "   "), ""},
      {withSignature(signatureHex + "\r\n"), ""},
      {withSignature(signatureHex + " \r\n \n\r\n"), ""},
      {withSignature(upper + "\n"), ""},
      {"", notSigned},
      {"0123456789", notSigned},
      {"\nsignature", notSigned},
      {"\nsignature ", malformed},
      {signedPart, notSigned},
      {"signature " + signatureHex + "\n", notSigned},
      {signedPart + "signature\t" + signatureHex + "\n", notSigned},
      {signedPart + "Signature " + signatureHex + "\n", notSigned},
      {signedPart + "signature\n", notSigned},
      {withSignature(""), malformed},
      {withSignature("\n"), malformed},
      {withSignature(" " + signatureHex + "\n"), malformed},
      {withSignature("\t" + signatureHex), malformed},
      {withSignature(signatureHex + "\t\n"), malformed},
      {withSignature(signatureHex + "\nversion 3\n"), malformed},
      {withSignature(signatureHex + "0\n"), malformed},
      {withSignature(signatureHex.substr(0, 127) + "\n"), malformed},
      {withSignature(signatureHex.substr(0, 127) + "g\n"), malformed},
      {withSignature(signatureHex.substr(0, 64) + "\n"), malformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(verify(c.text), c.error);
  }
}

TEST_F(ReleaseSignature, RefusesSignaturesThatDoNotMatch) {
  SigningSeed otherSeed;
  otherSeed.fill(7);
  std::string fromOtherKey = signManifest(signedPart, otherSeed);
  EXPECT_EQ(verify(fromOtherKey), noMatch);

  Signature signature;
  ASSERT_TRUE(decodeHex(signatureHex, signature));
  static const unsigned char order[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                          0xa2, 0xde, 0xf9, 0xde, 0x14, 0, 0, 0, 0, 0, 0,
                                          0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
  // S + L names the same point as S, so only the range check refuses it.
  unsigned char sPlusL[32];
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    unsigned sum = signature[32 + i] + order[i] + carry;
    sPlusL[i] = static_cast<unsigned char>(sum);
    carry = sum >> 8;
  }
  ASSERT_EQ(carry, 0u);
  EXPECT_EQ(verify(withScalar(sPlusL)), noMatch);
  EXPECT_EQ(verify(withScalar(order)), noMatch);
  unsigned char allOnes[32];
  std::memset(allOnes, 0xff, sizeof allOnes);
  EXPECT_EQ(verify(withScalar(allOnes)), noMatch);
  unsigned char zero[32] = {};
  EXPECT_EQ(verify(withScalar(zero)), noMatch);

  // R replaced by an encoding that is no point of the curve: for y = 2 the curve equation
  // gives x^2 = (y^2 - 1) / (d y^2 + 1), which is not a square modulo 2^255 - 19.
  PublicKey notAPoint{2};
  ASSERT_FALSE(crypto_core_ed25519_is_valid_point(notAPoint.data()));
  Signature badR = signature;
  std::memcpy(badR.data(), notAPoint.data(), 32);
  EXPECT_EQ(verify(withSignature(hexText(badR) + "\n")), noMatch);
  EXPECT_FALSE(checkSignature(badR, publicKey, signedPart));

  // Keys that are not usable points: never accepted, never a crash.
  const PublicKey identity{1};
  const PublicKey zeroKey{};
  for (const PublicKey& key : {notAPoint, identity, zeroKey}) {
    EXPECT_FALSE(checkSignature(signature, key, signedPart));
  }
  EXPECT_TRUE(checkSignature(signature, publicKey, signedPart));
}

TEST_F(ReleaseSignature, EveryChangedByteOfTheSignedPartBreaksTheSignature) {
  for (size_t i = 0; i < signedPart.size(); ++i) {
    for (unsigned char change : {0x01, 0x20, 0x80}) {
      std::string text = signedText;
      text[i] = static_cast<char>(text[i] ^ change);
      SCOPED_TRACE("byte " + std::to_string(i) + " ^ " + std::to_string(change));
      // The LF that ends the signed part is what marks the signature line: without it there is none.
      EXPECT_EQ(verify(text), i + 1 == signedPart.size() ? notSigned : noMatch);
    }
  }
  // Bytes added or removed are changes too.
  EXPECT_EQ(verify("\n" + signedText), noMatch);
  EXPECT_EQ(verify(signedText.substr(1)), noMatch);
  std::string inserted = signedText;
  inserted.insert(signedPart.size() - 1, "\n");
  EXPECT_EQ(verify(inserted), noMatch);
}

TEST_F(ReleaseSignature, ChecksTheSignatureBeforeTheContent) {
  Release release;
  release.version = "kept";
  std::string error;
  std::string badContent = signManifest("varnholt-release 1\nbogus\n", seed);
  badContent[20] = 'B';
  EXPECT_FALSE(verifyRelease(badContent, publicKey, release, error));
  EXPECT_EQ(error, noMatch);
  EXPECT_EQ(release.version, "kept");  // a refused signature leaves the record alone

  EXPECT_EQ(verify(signManifest("varnholt-release 1\nbogus\n", seed)), "unknown line: bogus");
  EXPECT_EQ(verify(signManifest("varnholt-release 1\nversion 1\n", seed)), "the release is incomplete");
  // CRs are signed bytes like any other; the parser then refuses the magic line.
  std::string crlf = signedPart;
  for (size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2)) crlf.insert(at, "\r");
  EXPECT_EQ(verify(signManifest(crlf, seed)), "not a Varnholt release");
}

TEST_F(ReleaseSignature, TheLastOfTwoSignatureLinesCounts) {
  // The outer signature covers the inner signature line and the lines after it; the parser
  // stops at the inner one, so those lines are signed but never read.
  std::string twice = signManifest(signedText + "bogus line never read\n", seed);
  Release release;
  std::string error;
  ASSERT_TRUE(verifyRelease(twice, publicKey, release, error)) << error;
  EXPECT_EQ(release.version, "2.1");

  std::string innerChanged = twice;
  innerChanged[signedPart.size() + 10] ^= 0x01;  // first digit of the inner signature
  EXPECT_EQ(verify(innerChanged), noMatch);

  // Only the last signature line is checked: a stale inner one does not matter.
  std::string staleInner = signedPart + "signature " + std::string(128, '0') + "\nversion 9\n";
  EXPECT_EQ(verify(signManifest(staleInner, seed)), "");
}

TEST_F(ReleaseSignature, SignsATextWithoutAFinalLineFeedOnALineOfItsOwn) {
  std::string text = signManifest("varnholt-release 1\nversion 1\ngame g\nfile " + std::string(64, 'a') + " 1 g", seed);
  EXPECT_EQ(verify(text), "");
  EXPECT_NE(text.find(" 1 g\nsignature "), std::string::npos);
}

}  // namespace
