#include "tests/support/test_files.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "release/release.h"

namespace fs = std::filesystem;

void writeText(const fs::path& path, const std::string& text) {
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("could not write " + path.string());
}

void writeText(const fs::path& path, const std::string& text, fs::perms mode) {
  writeText(path, text);
  fs::permissions(path, mode);
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string digestOf(const std::string& bytes) {
  DigestStream stream;
  stream.add(bytes.data(), bytes.size());
  return finishDigest(stream);
}
