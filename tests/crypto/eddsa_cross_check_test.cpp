// Signatures checked both ways against an independent EdDSA-with-BLAKE2b built from the noble
// libraries (tests/crypto/eddsa_blake2b.js).
#include <gtest/gtest.h>
#include <sodium.h>

#include <fstream>
#include <string>
#include <vector>

#include "release/release.h"
#include "tests/support/process.h"
#include "tests/keys/test_key.h"
#include "tests/support/temp_folder.h"
#include "tools/publish.h"

namespace {


// Runs the script on jobs, one a line; returns its answers, one a line.
std::vector<std::string> runNoble(const TempFolder& folder, const std::vector<std::string>& jobs) {
  std::filesystem::path jobsFile = folder.path() / "jobs";
  {
    std::ofstream out(jobsFile);
    for (const std::string& job : jobs) out << job << '\n';
  }
  ProcessOptions options;
  options.env = {"NODE_PATH=/opt/varnholt-deps/noble/node_modules"};
  options.timeoutSeconds = 120;
  ProcessResult result = runProcess(
      {"node", std::string(VARNHOLT_SOURCE_DIR) + "/tests/crypto/eddsa_blake2b.js", jobsFile.string()}, options);
  if (result.exitCode != 0) return {"failed (" + std::to_string(result.exitCode) + "): " + result.output};
  std::vector<std::string> answers;
  size_t start = 0;
  for (size_t end; (end = result.output.find('\n', start)) != std::string::npos; start = end + 1) {
    answers.push_back(result.output.substr(start, end - start));
  }
  return answers;
}

std::string messageHex(const std::string& message) {
  return message.empty() ? "-" : hexText(reinterpret_cast<const unsigned char*>(message.data()), message.size());
}

TEST(EdDsaCrossCheck, AgreesWithAnIndependentImplementationBothWays) {
  TempFolder folder;
  const std::string manifest =
      "varnholt-release 1\nversion 3.0\nprotocol 1\ngame bin/game\n"
      "exec 00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff 734 bin/game\n"
      "file ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100 98 data/base pak/levels.dat\n"
      "link ../lib/libaudio.so.2\tbin/libaudio.so.2\n";
  std::vector<std::string> messages = {manifest};
  // BLAKE2b works in 128-byte blocks; R and the key fill the first 64 bytes of the challenge.
  for (size_t size : {0, 1, 63, 64, 65, 127, 128, 129, 1000}) {
    std::string message(size, '\0');
    for (size_t i = 0; i < size; ++i) message[i] = static_cast<char>(i * 7 + 3);
    messages.push_back(message);
  }
  SigningSeed randomSeed;
  randombytes_buf(randomSeed.data(), randomSeed.size());
  const std::vector<std::string> seeds = {testSeedHex, hexText(randomSeed)};

  struct Expectation {
    std::string what;
    std::string answer;  // what noble must answer; "" for a signature checked afterwards
    std::string seedHex;
    std::string message;
  };
  std::vector<std::string> jobs;
  std::vector<Expectation> expectations;
  for (const std::string& seedHex : seeds) {
    SigningSeed seed;
    ASSERT_TRUE(decodeHex(seedHex, seed));
    const PublicKey publicKey = publicKeyFromSeed(seed);
    jobs.push_back("public-key " + seedHex);
    expectations.push_back({"public key of " + seedHex, hexText(publicKey), seedHex, ""});
    for (const std::string& message : messages) {
      const Signature signature = signMessage(message, seed);
      std::string changed = message.empty() ? std::string(1, '\0') : message;
      changed.back() = static_cast<char>(changed.back() ^ 0x01);
      jobs.push_back("sign " + seedHex + " " + messageHex(message));
      expectations.push_back({"noble signature", "", seedHex, message});
      jobs.push_back("verify " + hexText(publicKey) + " " + hexText(signature) + " " + messageHex(message));
      expectations.push_back({"our signature under noble", "valid", seedHex, message});
      jobs.push_back("verify " + hexText(publicKey) + " " + hexText(signature) + " " + messageHex(changed));
      expectations.push_back({"our signature on a changed message under noble", "invalid", seedHex, message});
    }
  }

  std::vector<std::string> answers = runNoble(folder, jobs);
  ASSERT_EQ(answers.size(), jobs.size()) << (answers.empty() ? "" : answers.front());
  EXPECT_EQ(answers[0], testPublicKeyHex);  // the known answer
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Expectation& e = expectations[i];
    SCOPED_TRACE(e.what + ", seed " + e.seedHex + ", message of " + std::to_string(e.message.size()) + " bytes");
    if (!e.answer.empty()) {
      EXPECT_EQ(answers[i], e.answer);
      continue;
    }
    // A signature made by noble: the program accepts it, and makes the very same one itself
    // (both derive the nonce from the seed, so signing is deterministic).
    SigningSeed seed;
    Signature nobleSignature;
    ASSERT_TRUE(decodeHex(e.seedHex, seed));
    const PublicKey publicKey = publicKeyFromSeed(seed);
    ASSERT_TRUE(decodeHex(answers[i], nobleSignature)) << answers[i];
    EXPECT_TRUE(checkSignature(nobleSignature, publicKey, e.message));
    EXPECT_EQ(hexText(signMessage(e.message, seed)), answers[i]);
    if (e.message == manifest) {
      Release release;
      std::string error;
      EXPECT_TRUE(verifyRelease(manifest + "signature " + answers[i] + "\n", publicKey, release, error)) << error;
      EXPECT_EQ(release.version, "3.0");
    }
  }
}

}  // namespace
