// The release key the tests, the fuzz harnesses and the test builds use: its seed file, the
// seed's digits, and the public key that the seed gives.
#pragma once

#include <string>

inline const std::string testSeedFile = VARNHOLT_SOURCE_DIR "/tests/keys/test-release.seed";
inline const std::string testSeedHex = "9f0e444c69f77a49bd0be89db92c38fe713e0963165cca12faf5712d7657120f";
inline const std::string testPublicKeyHex = "c008b814a7d269a1fa3c6528b19201a24d797912db9996ff02a1ff356e45552b";
