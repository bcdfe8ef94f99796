// What the publisher's tool prints: its failure line and the outcome of a release check. Shared
// by varnholt-release and varnholt-server-check, which speaks for it.
#pragma once

#include <string>
#include <vector>

#include "release/release.h"

// Prints "varnholt-release: <message>" on standard error, after what standard output holds;
// returns the exit status 1.
int fail(const std::string& message);

// Prints the outcome of checking the release at where: the error when the check could not be
// made, else one line per problem and their count, else "verified <version>: <n> files, <n>
// links". Returns the exit status: 0 when the release is sound, else 1.
int reportCheck(const std::string& where, bool checked, const Release& release,
                const std::vector<std::string>& problems, const std::string& error);
