// The release key the tests, the fuzz harnesses and the test builds use: its seed file, the
// seed's digits, and the public key that the seed gives. The digits are read from
// tests/keys/test-release.seed and tests/keys/test-release.pub when the build is configured.
#pragma once

#include <string>

inline const std::string testSeedFile = VARNHOLT_SOURCE_DIR "/tests/keys/test-release.seed";
inline const std::string testSeedHex = VARNHOLT_TEST_SEED_HEX;
inline const std::string testPublicKeyHex = VARNHOLT_TEST_PUBLIC_KEY;
