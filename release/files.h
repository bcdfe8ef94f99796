// Whole-file reading, hashing and writing through an open descriptor, each retried after a
// signal. On failure errno holds the reason of the call that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "release/release.h"

// Writes every byte; a write that takes nothing counts as an input/output error (EIO).
[[nodiscard]] bool writeAll(int fd, const char* data, size_t length);
// Appends what is left of the file to content.
[[nodiscard]] bool readAll(int fd, std::string& content);
// Adds the rest of the file, but never more than limit bytes, to digest; count is how many.
[[nodiscard]] bool digestAll(int fd, DigestStream& digest, uint64_t& count,
                             uint64_t limit = std::numeric_limits<uint64_t>::max());
