// The window offers the commit when every file of the latest release is in place but the
// record still names an older one (an update stopped just before recording it).
#include <gtest/gtest.h>

#include "tests/engine/release_fixture.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"
#include "tests/window/window_session.h"

namespace fs = std::filesystem;

TEST(WindowFlow, AnOlderRecordWithEveryFileInPlaceIsOfferedAsAnUpdate) {
  TempFolder sandbox;
  const fs::path install = sandbox.path() / "game";
  TestRelease older{"1.0", "bin/game", {{"bin/game", "#!/bin/sh\n", true}, {"data/a", "old a"}}, {}};
  TestRelease latest{"1.1", "bin/game", {{"bin/game", "#!/bin/sh\n", true}, {"data/a", "new a"}}, {}};
  const std::string olderManifest = signedManifest(older);
  publishTestRelease(sandbox.path() / "www/linux", latest);
  NginxServer server(sandbox.path() / "www");
  const std::string source = server.httpUrl() + "linux/";

  SetupRun first = runSetup(sandbox.path(), {"--quiet", "--source", source, "--dir", install.string()});
  ASSERT_EQ(first.exitCode, 0) << first.output;
  writeText(install / "install.manifest", olderManifest);  // as a run stopped before recording

  VirtualDisplay display;
  fs::create_directories(sandbox.path() / "home");
  SetupWindow window(display, sandbox.path() / "home", sandbox.path() / "window.log",
                     {"--source", source, "--dir", install.string()});
  ASSERT_TRUE(window.waitForLogLine("Varnholt 1.1 is out. - 1 MB to download (0 files).")) << window.output();
  ASSERT_TRUE(window.waitForPrimaryButton(sandbox.path() / "offer.png")) << window.output();
  window.pressKey("Return");
  ASSERT_TRUE(window.waitForLogLine("installed 1.1")) << window.output();
  EXPECT_EQ(readText(install / "install.manifest"), readText(sandbox.path() / "www/linux/latest.manifest"));
}
