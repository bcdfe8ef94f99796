// Runs start-up's option handling with fuzzed arguments, a fuzzed environment and a fuzzed
// "install.source" in a folder of its own, and checks what start-up promises: the install
// folder is absolute and lexically normal, and the source is empty or ends in "/" (and is the
// given value, or the first line of "install.source", or the default).
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/options.h"

namespace fs = std::filesystem;

namespace {

fs::path scratch;  // the working folder; holds "install.source" for inputs that name it

void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "startupOptions: %s [%s]\n", what, detail.c_str());
  std::abort();
}

void writeText(const fs::path& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) fail("cannot write", path.string());
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file) != text.size()) {
    fail("cannot write", path.string());
  }
  std::fclose(file);
}

// An environment value without NUL bytes (setenv cannot carry them), or the variable removed.
void fuzzVariable(FuzzedDataProvider& input, const char* name) {
  if (input.ConsumeBool()) {
    unsetenv(name);
    return;
  }
  std::string value = input.ConsumeRandomLengthString(64);
  value = value.substr(0, value.find('\0'));
  setenv(name, value.c_str(), 1);
}

std::string pickArgument(FuzzedDataProvider& input) {
  static const char* const words[] = {"--update", "--repair", "--uninstall", "--quiet",
                                      "--no-register", "--source", "--dir", "--snap",
                                      "--log", "--updated", "", "."};
  uint8_t choice = input.ConsumeIntegral<uint8_t>();
  if (choice < 2 * std::size(words)) return words[choice / 2];
  if (choice < 2 * std::size(words) + 16) return scratch.string();
  // An argument of a real command line ends at its first NUL byte.
  std::string argument = input.ConsumeRandomLengthString(64);
  return argument.substr(0, argument.find('\0'));
}

void removeScratch() {
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A memory file system where there is one: rewriting a file on disk costs milliseconds.
  std::error_code ec;
  fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "varnholt-fuzz-XXXXXX").string();
  if (!mkdtemp(pattern.data())) fail("mkdtemp failed", pattern);
  scratch = pattern;
  std::atexit(removeScratch);
  if (chdir(pattern.c_str()) != 0) fail("chdir failed", pattern);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string sourceFile = input.ConsumeRandomLengthString(256);
  writeText(scratch / "install.source", sourceFile);
  fuzzVariable(input, "HOME");
  fuzzVariable(input, "USERPROFILE");
  fuzzVariable(input, "XDG_DATA_HOME");

  std::vector<std::string> arguments;
  while (input.remaining_bytes() > 0 && arguments.size() < 32) {
    arguments.push_back(pickArgument(input));
  }

  Options options = startupOptions(arguments);

  const fs::path& dir = options.installDir;
  if (!dir.is_absolute()) fail("install folder not absolute", dir.string());
  if (dir != dir.lexically_normal() || dir.native() != dir.lexically_normal().native()) {
    fail("install folder not lexically normal", dir.string());
  }
  if (!options.source.empty() && options.source.back() != '/') {
    fail("source does not end in /", options.source);
  }

  // The source the arguments and the folder call for.
  bool sourceGiven = false;
  std::string given;
  for (size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == "--update" || arguments[i] == "--repair" || arguments[i] == "--uninstall" ||
        arguments[i] == "--quiet" || arguments[i] == "--no-register") {
      continue;
    }
    if (arguments[i] == "--source") {
      sourceGiven = true;
      given = arguments[i + 1];
    }
    if (arguments[i] == "--source" || arguments[i] == "--dir" || arguments[i] == "--snap" ||
        arguments[i] == "--log") {
      ++i;
    }
  }
  std::string expected;
  if (sourceGiven) {
    expected = given;
  } else if (dir == scratch) {
    expected = sourceFile.substr(0, sourceFile.find_first_of("\r\n"));
    if (expected.empty()) expected = defaultBaseUrl();
  } else {
    return 0;  // another folder's "install.source": only the general promises hold
  }
  if (!expected.empty() && expected.back() != '/') expected += '/';
  if (options.source != expected) fail("source is not the one asked for", options.source);
  return 0;
}
