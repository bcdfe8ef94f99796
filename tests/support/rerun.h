// Running the current test again in a child process: for tests that need a fresh process (to
// measure its peak memory), a private mount namespace (a small tmpfs, or a test CA standing
// in for the system's CA bundle through ProcessOptions::trustedCa), or both.
//
//   TEST(Suite, Name) {
//     ProcessOptions options;
//     options.trustedCa = testCertificates().caCertificate.string();
//     if (rerunInChild(options)) return;  // the parent checked that the child passed
//     ... the test body, run in the child only ...
//   }
#pragma once

#include "tests/support/process.h"

// In the parent: runs this test in a child with options (and, with privateMounts, in a mount
// namespace of its own, so mounts made there vanish with it), expects it to pass, returns true.
// In the child: returns false at once.
bool rerunInChild(const ProcessOptions& options = {}, bool privateMounts = false);
