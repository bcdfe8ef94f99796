#include "app/options.h"

#include <fcntl.h>

#include <cstdlib>
#include <cstdio>
#include <system_error>

#include "release/file_guards.h"
#include "release/files.h"
#include "release/release.h"

namespace fs = std::filesystem;

namespace {

const char* const releaseServerRoot = VARNHOLT_RELEASE_SERVER;

struct ParsedArguments {
  Options options;
  bool sourceGiven = false;
};

ParsedArguments parseArguments(const std::vector<std::string>& arguments) {
  ParsedArguments parsed;
  Options& o = parsed.options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    if (a == "--update") {
      o.update = true;
    } else if (a == "--repair") {
      o.repair = true;
    } else if (a == "--uninstall") {
      o.uninstall = true;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--no-register") {
      o.noRegister = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (hasValue && a == "--source") {
      o.source = arguments[++i];
      parsed.sourceGiven = true;
    } else if (hasValue && a == "--dir") {
      o.installDir = arguments[++i];
    } else if (hasValue && a == "--snap") {
      o.snapshotPath = arguments[++i];
    } else if (hasValue && a == "--log") {
      o.logPath = arguments[++i];
    }
  }
  return parsed;
}

std::string firstLine(const std::string& text) {
  return text.substr(0, text.find_first_of("\n\r"));
}

}  // namespace

fs::path homeFolder() {
  if (const char* home = std::getenv("HOME")) return home;
  if (const char* profile = std::getenv("USERPROFILE")) return profile;
  std::error_code ec;
  return fs::current_path(ec);
}

fs::path dataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg) return xdg;
  return homeFolder() / ".local" / "share";
}

fs::path firstExisting(const std::vector<fs::path>& candidates) {
  for (const fs::path& candidate : candidates) {
    std::error_code ec;
    if (fs::exists(candidate, ec)) return candidate;
  }
  return {};
}

std::string readFile(const fs::path& path) {
  // A descriptor rather than a stream: reading a folder must give "", not an exception.
  std::string content;
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.isOpen()) return content;
  const bool failed = !readAll(file.get(), content);
  // Two returns, not a conditional expression: that would copy the content it returns.
  if (failed) return {};
  return content;
}

std::string defaultBaseUrl() {
  return std::string(releaseServerRoot) + "linux" + "/";
}

Options startupOptions(const std::vector<std::string>& arguments) {
  ParsedArguments parsed = parseArguments(arguments);
  Options& o = parsed.options;

  if (o.installDir.empty()) o.installDir = dataFolder() / "varnholt";
  std::error_code ec;
  fs::path absolute = fs::absolute(o.installDir, ec);
  if (!ec) o.installDir = absolute;
  o.installDir = o.installDir.lexically_normal();

  if (!parsed.sourceGiven) {
    o.source = firstLine(readFile(o.installDir / "install.source"));
    if (o.source.empty()) o.source = defaultBaseUrl();
  }
  if (!o.source.empty() && o.source.back() != '/') o.source += '/';
  return o;
}

std::string versionText(const char* releaseKey) {
  const std::string key = releaseKey;
  return std::string("Varnholt Setup ") + VARNHOLT_SETUP_VERSION + "\n" + "release server: " + defaultBaseUrl() + "\n" +
         "release key: " + (key.empty() ? "none (this build installs nothing)" : key.substr(0, 16) + "...") + "\n";
}

RunMode chooseRunMode(const Options& options) {
  if (options.version) return RunMode::Version;
  if (options.uninstall) return RunMode::Uninstall;
  if (options.quiet) return RunMode::Quiet;
  if (!options.snapshotPath.empty()) return RunMode::Snapshot;
  return RunMode::Window;
}

const char* const controlCharacterRefusal =
    "The install folder's path holds a control character (such as a line break); choose another folder with --dir.";

bool hasControlCharacter(const std::filesystem::path& path) {
  for (const char c : path.native()) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}
