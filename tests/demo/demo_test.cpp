// The README's demo command, run headless as a newcomer would, into folders of its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "app/options.h"
#include "release/release.h"
#include "tests/support/process.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

TEST(DemoSlow, InstallsUpdatesAndStartsTheSampleGame) {
  TempFolder work;
  ProcessOptions options;
  options.env = {"VARNHOLT_DEMO_OUT=" + (work.path() / "out").string(),
                 "VARNHOLT_DEMO_BUILD=" + (work.path() / "build").string(),
                 "VARNHOLT_DEMO_HEADLESS=1", "DISPLAY", "WAYLAND_DISPLAY"};
  options.timeoutSeconds = 1200;
  ProcessResult run = runProcess({std::string(VARNHOLT_SOURCE_DIR) + "/scripts/demo"}, options);
  ASSERT_EQ(run.exitCode, 0) << run.output;

  const fs::path out = work.path() / "out";
  const fs::path install = out / "install";
  EXPECT_NE(run.output.find("  | installed 1.0\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("  | installed 1.1\n"), std::string::npos) << run.output;
  // The update fetches the changed program, the changed readme and the new notes only.
  EXPECT_NE(run.output.find("  | needed: 3 files, "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("files downloaded by the update: 3 "), std::string::npos) << run.output;

  Release installed;
  std::string error;
  ASSERT_TRUE(parseRelease(readFile(install / "install.manifest"), installed, error)) << error;
  EXPECT_EQ(installed.version, "1.1");
  EXPECT_TRUE(fs::exists(install / "data/notes-1.1.txt"));
  EXPECT_FALSE(fs::exists(install / "data/notes-1.0.txt"));
  EXPECT_FALSE(fs::exists(install / ".staging"));
  EXPECT_EQ(fs::read_symlink(install / "lib/libvarnholt-audio.so"), "libvarnholt-audio.so.1");
  EXPECT_TRUE(fs::exists(out / "data/applications/varnholt.desktop"));
  EXPECT_EQ(readFile(install / "started.log"),
            "Varnholt 1.1 started in " + install.string() + " with 1 argument(s): [" +
                (install / "bin/varnholt").string() + "]\n");

  // No server is left running: its port refuses connections soon after the demo ends.
  size_t at = run.output.find("release server: http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos);
  int port = std::stoi(run.output.substr(at + 34));
  bool refused = false;
  for (int i = 0; i < 50 && !refused; ++i) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    refused = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
    close(s);
    if (!refused) usleep(100000);
  }
  EXPECT_TRUE(refused) << "the demo's server still answers on port " << port;
}
