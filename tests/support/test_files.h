// Small files for tests: written and read whole, and the digest a release lists for content.
#pragma once

#include <filesystem>
#include <string>

// Writes text to path, its folders made first; throws when the file cannot be written.
void writeText(const std::filesystem::path& path, const std::string& text);
// The same, then gives the file mode.
void writeText(const std::filesystem::path& path, const std::string& text, std::filesystem::perms mode);
// The whole file, or "" when it cannot be read.
std::string readText(const std::filesystem::path& path);
// BLAKE2b-256 of bytes as 64 lower-case hex digits.
std::string digestOf(const std::string& bytes);
