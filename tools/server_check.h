// Checking a live release server the way the setup program sees it: its own download code
// fetches "latest.manifest" and every file the manifest names.
#pragma once

#include <string>
#include <vector>

#include "release/release.h"

// True for a text that starts with "https://" or "http://". Inline: the publisher's tool asks it
// without linking the network code.
inline bool isReleaseUrl(const std::string& text) {
  return text.rfind("https://", 0) == 0 || text.rfind("http://", 0) == 0;
}

// Like verifyTree, for the release below url (a "/" is appended when it has none). Problems
// read "missing: <path> (files/<hash>: <reason>)", "wrong size: <path> (<n> bytes, expected
// <m>)", "wrong digest: <path> (files/<hash>)", and for the block index of a large file
// "missing index: <path> (files/<hash>.blocks: <reason>)" and "wrong index: <path>
// (files/<hash>.blocks)". Needs curl's global set-up done.
[[nodiscard]] bool verifyServer(const std::string& url, const PublicKey& publicKey, Release& release,
                                std::vector<std::string>& problems, std::string& error);
