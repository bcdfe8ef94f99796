// The two desktop menu entries: one starts the game, one starts the setup program again to
// look for a new version. Both point into the install folder; nothing is copied out of it.
#include <system_error>

#include "app/options.h"
#include "app/status_board.h"
#include "desktop/desktop.h"

namespace fs = std::filesystem;

const std::vector<fs::path> fusermountCandidates = {"/usr/bin/fusermount3", "/bin/fusermount3",
                                              "/usr/bin/fusermount", "/bin/fusermount"};

namespace {

// A string value of the key file: a backslash and the line breaks are escaped, so that no
// folder name can end the line and add keys of its own.
std::string stringValue(const std::string& text) {
  std::string value;
  for (char c : text) {
    switch (c) {
      case '\\': value += "\\\\"; break;
      case '\n': value += "\\n"; break;
      case '\r': value += "\\r"; break;
      case '\t': value += "\\t"; break;
      default: value += c;
    }
  }
  return value;
}

// One path as a quoted argument of an Exec value. Inside the quotes '"', '`', '$' and '\'
// take a backslash; the key file's own string escapes then double every backslash and turn
// line breaks and tabs into "\n", "\r" and "\t"; a '%' is written "%%" so that no field code is seen.
std::string execArgument(const std::string& text) {
  std::string quoted;
  for (char c : text) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  std::string value = "\"";
  for (char c : stringValue(quoted)) {
    if (c == '%') value += '%';
    value += c;
  }
  return value + "\"";
}

}  // namespace

bool hasFusermount(const std::vector<fs::path>& candidates) {
  // Follows links: a dangling link is no program.
  return !firstExisting(candidates).empty();
}

void writeMenuEntry(const MenuEntryContext& context, const std::string& fileName,
                    const std::string& name, const std::string& command, const std::string& comment) {
  std::string text = "[Desktop Entry]\n"
                     "Type=Application\n"
                     "Name=" + name + "\n"
                     "Comment=" + comment + "\n"
                     "Exec=" + command + "\n"
                     "Path=" + stringValue(context.board.options.installDir.string()) + "\n"
                     "Icon=" + stringValue(context.iconPath.string()) + "\n"
                     "Terminal=false\n"
                     "Categories=Game;RolePlaying;\n";
  bool written = writeFileAtomically(context.applicationsFolder / fileName, text);
  logLine(context.board, "menu entry " + fileName + (written ? ": written" : ": not written"));
}

void registerMenuEntries(StatusBoard& board, const std::vector<fs::path>& fusermounts) {
  const fs::path& installDir = board.options.installDir;
  MenuEntryContext context{board, installDir / "assets" / "images" / "icon" / "app-icon-256.png",
                           dataFolder() / "applications"};
  std::error_code ec;
  // A folder that cannot be made shows up as two entries not written.
  fs::create_directories(context.applicationsFolder, ec);

  std::string updateCommand = execArgument((installDir / "VarnholtSetup.AppImage").string());
  // Without FUSE the AppImage cannot mount itself; its runtime can unpack and run instead.
  if (!hasFusermount(fusermounts)) updateCommand += " --appimage-extract-and-run";

  writeMenuEntry(context, "varnholt.desktop", "Varnholt",
                 execArgument((installDir / gameProgram(board)).string()), "A Norse action RPG");
  writeMenuEntry(context, "varnholt-update.desktop", "Update Varnholt", updateCommand,
                 "Look for a new version of Varnholt");
}
